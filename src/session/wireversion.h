// The wire's versions, in one place.
//
// Every event class (each remote call is one) carries a version. The class
// table is ordered by version, then by name, and a class's id is its place
// in that table, so classes added at a later version come after all the
// older ones and never renumber them. In the connect handshake each side
// offers its number of classes, and the connection uses the smaller count
// if it ends at a version border: a peer that knows only the older classes
// gets exactly the session it was built for, with its own id width.
//
//   version 0  the 21 calls every peer knows: ids 0 to 20, 5-bit ids.
//              Fixed: a peer built to this alone must keep working bit for bit.
//   version 1  Seafold's own additions, ids 21 and up, used only when the
//              other side offered them too: c2sVoiceFrames and
//              s2cVoiceFrames, Opus voice between Seafold peers
//              (voicesender.h). With a peer of version 0 the voice is
//              LPC-10 as specified, the server re-encoding an Opus speaker.
//              c2sOrientation, s2cOrientation: a user's model orientation
//              (orientationcoalescer.h). All in seafoldcalls.cpp.
//              The server's word of a client's name once it is taken in
//              (s2cYourName), the join password's exchange
//              (s2cPasswordRequired, c2sPasswordAnswer, s2cPasswordAccepted,
//              passwordexchange.h),
//              chat (c2sChat, s2cChat) and the server's own words
//              (s2cServerNotice), which no chat line can pass for.
//              What a client is told of another user beyond the name
//              (s2cUserMarks: who runs the server, who muted or deafened
//              themselves) and what a client says of itself (c2sOwnMarks:
//              muted, deafened; roster.h UserMarks).
//              Outside the event classes, in the connection layer: a sealed
//              connection's reset token, after the init vector in the
//              server's connect accept, and the two handshake-side packets
//              that use it, ResetQuery (first byte 32) and ResetAnswer
//              (33): a client asks its silent server, and a server that was
//              restarted with the same key answers with the token
//              (netinterface_reset.cpp). Given only to a peer of version 1
//              (NetInterface::setResetTokens); a peer of version 0 never
//              holds a token, never asks, and is never answered.
//
// So a new call is declared with SF_IMPLEMENT_SEAFOLD_RPC (never the plain
// SF_IMPLEMENT_RPC, which is version 0), and whoever sends one first asks
// speaksSeafold(connection): a posted call the peer does not know is
// refused, not sent.
#pragma once

#include <cstdint>

#include "net/eventconnection.h"
#include "net/rpc.h"

namespace seafold {

enum : int32_t {
    WireVersionBase = 0,    // the calls every peer knows
    WireVersionSeafold = 1, // Seafold's additions
};

// The number of event classes at version 0.
constexpr uint32_t BaseEventClassCount = 21;

// True when the peer at the other end of `connection` agreed on version 1.
inline bool speaksSeafold(const EventConnection& connection)
{
    return connection.sharesClassVersion(WireVersionSeafold);
}

} // namespace seafold

// A remote call of version 1: see above.
#define SF_IMPLEMENT_SEAFOLD_RPC(cls, name, guarantee, direction, params)                                         \
    SF_IMPLEMENT_RPC_EX(cls, name, ::seafold::NetClassGroupDefaultMask, ::seafold::WireVersionSeafold, guarantee, \
                        direction, params)
