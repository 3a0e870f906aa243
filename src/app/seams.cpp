// Where the subsystems plug their steps into the one start-up and main loop.
#include "app/app.h"
#include "app/console.h"
#include "app/network.h"
#include "sound/sound.h"
#include "voice/voicecapture.h"

namespace seafold {

namespace {

// The voice tick's frames go to the server as c2sVoice, with this user's
// name; without a connection to the server they are dropped.
void sendVoiceToServer(const RefPtr<ByteBuffer>& frames)
{
    if (gConnectionToServer)
        gConnectionToServer->c2sVoice(false, frames, StringPtr(gClientName.c_str()));
}

} // namespace

LoopHooks standardLoopHooks()
{
    gVoiceSender = sendVoiceToServer;
    LoopHooks hooks;
    hooks.initSound = [] { initSoundQuietly(); };
    hooks.startNetwork = startNetwork;
    hooks.receivePackets = receiveNetworkPackets;
    hooks.serviceConnections = serviceNetworkConnections;
    hooks.waitForPackets = waitForNetworkPackets;
    hooks.voiceTick = voiceTick;
    hooks.updateSound = updateSound;
    hooks.leaveSession = stopNetwork;
    hooks.closeSound = [] {
        closeVoiceCapture();
        closeSound();
    };
    return hooks;
}

} // namespace seafold
