// The process's network side: the interface, the session with its roster,
// and in a client the connection to the server.
#pragma once

#include <memory>
#include <string>

#include "app/app.h"
#include "net/socket.h"
#include "scene/sessionport.h"
#include "session/simpleeventconnection.h"

namespace seafold {

// The one network interface of the process, server or client.
extern RefPtr<SessionInterface> gNetInterface;
// The roster: on the server every joined client, on a client the others.
extern Roster gClients;
// The session of this process (the program subscribes its listeners).
Session& appSession();
// Where other users' models are shown: the renderer's scene or the
// display-less one (not owned; set by the program before start-up).
extern ClientScene* gClientScene;

// The running session as the scene sees it: movements and selections go to
// the server over gConnectionToServer (nothing without one), push-to-talk
// drives voice capture.
SessionPort& appSessionPort();

// Network start-up: the interface (bound to the address in a server, to
// any port in a client), and in a client the first attempt to join the
// server (gServerLink). False, after saying why on standard error, when the
// socket cannot be made or bound: the program then ends with exit code 1.
bool startNetwork(const CommandLine& line);

// Packet reading and connection servicing, for the main loop.
void receiveNetworkPackets();
void serviceNetworkConnections();
// The loop's pause: up to `ms` milliseconds, less when a datagram arrives.
void waitForNetworkPackets(uint32_t ms);

// Drops, duplicates and delays outgoing datagrams; "DROP,DUP,MINMS,MAXMS"
// (percentages and milliseconds). False for a malformed setting.
bool parseNetworkSimulation(const std::string& text, NetworkSimulator::Settings* settings);
void setNetworkSimulation(const NetworkSimulator::Settings& settings, uint32_t seed);

// The options both programs take: the keep-alive interval, the rate of every
// connection, the most clients a server accepts, the network simulator,
// --secure and --server-key. Called before start-up.
void applySharedOptions(const SharedOptions& options);

// Ends every connection (peers are told) and closes the socket. The
// session's listeners are let go first: our own end is nobody leaving.
// Idempotent.
void stopNetwork();

} // namespace seafold
