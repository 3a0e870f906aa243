// Where the subsystems plug their steps into the one start-up and main loop.
#include "app/app.h"
#include "app/console.h"
#include "app/network.h"
#include "session/clientvoice.h"
#include "session/simpleeventconnection.h"
#include "sound/sound.h"
#include "voice/voicecapture.h"

namespace seafold {

LoopHooks soundLoopHooks()
{
    LoopHooks hooks;
    hooks.initSound = [] { initSoundQuietly(); };
    hooks.closeSound = [] {
        closeVoiceCapture();
        closeSound();
    };
    return hooks;
}

LoopHooks standardLoopHooks(SessionHost& host)
{
    // Each press speaks what the server understands: Opus frames to a
    // server of version 1, LPC-10 otherwise.
    // A server that takes part speaks Opus to its clients of version 1,
    // at the rate of the slowest one.
    gVoiceModeChooser = [&host] {
        return voiceModeFor(host.hostUser() ? host.hostUser()->slowestListener() : serverConnection());
    };
    // The voice tick's frames go to the server (from a server that takes
    // part: to its clients): Opus as c2sVoiceFrames,
    // LPC-10 as c2sVoice with this user's name as the server knows it;
    // without a connection to the server they are dropped.
    gVoiceSender = [&host](const RefPtr<ByteBuffer>& frames) {
        if (HostUser* speaker = host.hostUser()) {
            if (voiceMode().codec == VoiceCodecId::Opus)
                speaker->sendVoiceFrames(frames, voiceTickEndsSpurt(), soundTime());
            return;
        }
        if (!serverConnection())
            return;
        if (voiceMode().codec == VoiceCodecId::Opus) {
            serverConnection()->sendVoiceFrames(frames, voiceTickEndsSpurt());
            followLinkRate(*serverConnection()); // for the next frame
        } else
            serverConnection()->c2sVoice(false, frames, StringPtr(appSession().ownName().c_str()));
    };
    LoopHooks hooks = soundLoopHooks();
    hooks.startNetwork = [&host](const CommandLine& line) { return host.start(line); };
    hooks.receivePackets = [&host] { host.receivePackets(); };
    hooks.serviceConnections = [&host] { host.serviceConnections(); };
    hooks.waitForPackets = [&host](uint32_t ms) { host.waitForPackets(ms); };
    hooks.voiceTime = [](uint32_t wholeMs) {
        if (voiceTickDue(wholeMs))
            voiceTick();
    };
    hooks.updateSound = [&host] {
        serviceVoices(appSession());
        if (HostUser* speaker = host.hostUser())
            speaker->serviceVoice(soundTime());
        applyListenerVolumes(appSession());
        updateSound();
    };
    hooks.leaveSession = [&host] { host.stop(); };
    return hooks;
}

} // namespace seafold
