// Where the subsystems plug their steps into the one start-up and main loop.
#include "app/app.h"
#include "app/console.h"
#include "app/network.h"
#include "session/clientvoice.h"
#include "session/simpleeventconnection.h"
#include "sound/sound.h"
#include "voice/voicecapture.h"

namespace seafold {

void chooseAudioDevices(Audio& audio, const ProgramOptions& options, std::function<void(const std::string&)> note)
{
    audio.capture.setBackend(createCaptureBackend(options.captureFile(), options.shared.inputDevice));
    audio.soundSetup.device = options.shared.outputDevice;
    audio.soundSetup.masterVolume = options.shared.masterVolume;
    auto tell = [note](const std::string& text) {
        consoleLine(text);
        if (note)
            note(text);
    };
    audio.capture.setNotice(tell);
    audio.sound.setNotice(tell);
}

LoopHooks soundLoopHooks(Audio& audio)
{
    LoopHooks hooks;
    hooks.initSound = [&audio] { initSoundQuietly(audio.sound, audio.soundSetup); };
    hooks.closeSound = [&audio] {
        audio.capture.close();
        audio.sound.close();
    };
    return hooks;
}

LoopHooks standardLoopHooks(SessionHost& host)
{
    // Each press speaks what the server understands: Opus frames to a
    // server of version 1, LPC-10 otherwise.
    // A server that takes part speaks Opus to its clients of version 1,
    // at the rate of the slowest one.
    Audio& audio = host.audio();
    audio.capture.setModeChooser(
        [&host] { return voiceModeFor(host.hostUser() ? host.hostUser()->slowestListener() : serverConnection()); });
    // The voice tick's frames go to the server (from a server that takes
    // part: to its clients): Opus as c2sVoiceFrames,
    // LPC-10 as c2sVoice with this user's name as the server knows it;
    // without a connection to the server they are dropped.
    audio.capture.setSender([&host, &audio](const RefPtr<ByteBuffer>& frames) {
        const VoiceCapture& capture = audio.capture;
        // Muted by the user's own choice: nothing goes out, whatever opened
        // the microphone (a scripted speaker opens its own).
        if (appSession().ownMuted())
            return;
        if (HostUser* speaker = host.hostUser()) {
            if (capture.mode().codec == VoiceCodecId::Opus)
                speaker->sendVoiceFrames(frames, capture.tickEndsSpurt(), audio.sound.time());
            return;
        }
        if (!serverConnection())
            return;
        if (capture.mode().codec == VoiceCodecId::Opus) {
            serverConnection()->sendVoiceFrames(frames, capture.tickEndsSpurt());
            followLinkRate(*serverConnection()); // for the next frame
        } else
            serverConnection()->c2sVoice(false, frames, StringPtr(appSession().ownName().c_str()));
    });
    LoopHooks hooks = soundLoopHooks(audio);
    hooks.startNetwork = [&host](const CommandLine& line) { return host.start(line); };
    hooks.receivePackets = [&host] { host.receivePackets(); };
    hooks.serviceConnections = [&host] { host.serviceConnections(); };
    // The pause also ends when the voice capture's next frame is whole.
    hooks.msUntilDue = [&audio](uint32_t longest) {
        const uint32_t network = gNetInterface ? gNetInterface->msUntilDue(longest) : longest;
        return audio.capture.msUntilFrame(network);
    };
    hooks.waitForPackets = [&host](uint32_t ms) { host.waitForPackets(ms); };
    hooks.voiceTime = [&audio](uint32_t wholeMs) {
        if (audio.capture.tickDue(wholeMs))
            audio.capture.tick();
    };
    hooks.updateSound = [&host, &audio] {
        // A frame of a fixed codec leaves on the pass it becomes whole: the
        // voice countdown only moves in steps of at least MinTickMs.
        if (audio.capture.frameDue())
            audio.capture.tick();
        // Deafened: the voices are still decoded (their decoders follow
        // the speech) but nothing of them is queued or heard.
        audio.sound.setVoicesSilenced(appSession().deafened());
        serviceVoices(appSession());
        if (HostUser* speaker = host.hostUser())
            speaker->serviceVoice(audio.sound.time());
        applyListenerVolumes(appSession());
        audio.sound.update();
    };
    hooks.leaveSession = [&host] { host.stop(); };
    return hooks;
}

} // namespace seafold
