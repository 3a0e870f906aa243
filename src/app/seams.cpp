// Where the subsystems plug their steps into the one start-up and main loop.
#include "app/app.h"
#include "app/console.h"
#include "app/network.h"
#include "sound/sound.h"
#include "voice/voicecapture.h"

namespace seafold {

LoopHooks standardLoopHooks(SessionHost& host)
{
    // The voice tick's frames go to the server as c2sVoice, with this user's
    // name as the server knows it; without a connection to the server they
    // are dropped.
    gVoiceSender = [](const RefPtr<ByteBuffer>& frames) {
        if (gConnectionToServer)
            gConnectionToServer->c2sVoice(false, frames, StringPtr(appSession().ownName().c_str()));
    };
    LoopHooks hooks;
    hooks.initSound = [] { initSoundQuietly(); };
    hooks.startNetwork = [&host](const CommandLine& line) { return host.start(line); };
    hooks.receivePackets = [&host] { host.receivePackets(); };
    hooks.serviceConnections = [&host] { host.serviceConnections(); };
    hooks.waitForPackets = [&host](uint32_t ms) { host.waitForPackets(ms); };
    hooks.voiceTime = [](uint32_t wholeMs) {
        if (voiceTickDue(wholeMs))
            voiceTick();
    };
    hooks.updateSound = updateSound;
    hooks.leaveSession = [&host] { host.stop(); };
    hooks.closeSound = [] {
        closeVoiceCapture();
        closeSound();
    };
    return hooks;
}

} // namespace seafold
