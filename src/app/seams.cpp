// Where the subsystems plug their steps into the one start-up and main loop.
//
// Each member left empty here is a step whose subsystem does not exist yet:
//   initSound, updateSound, closeSound - sound effects (OpenAL)
//   startNetwork                        - network interface and, in a client,
//                                         the connection to the server
//   receivePackets, serviceConnections  - the network interface's two steps
//   voiceTick                           - voice capture
#include "app/app.h"

namespace seafold {

LoopHooks standardLoopHooks()
{
    LoopHooks hooks;
    return hooks;
}

} // namespace seafold
