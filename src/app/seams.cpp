// Where the subsystems plug their steps into the one start-up and main loop.
//
// Still empty here:
//   initSound, updateSound, closeSound - sound effects (OpenAL)
//   voiceTick                           - voice capture
#include "app/app.h"
#include "app/network.h"

namespace seafold {

LoopHooks standardLoopHooks()
{
    LoopHooks hooks;
    hooks.startNetwork = startNetwork;
    hooks.receivePackets = receiveNetworkPackets;
    hooks.serviceConnections = serviceNetworkConnections;
    return hooks;
}

} // namespace seafold
