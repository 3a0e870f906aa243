// The process's network side: the interface, the session with its roster,
// and in a client the connection to the server.
#pragma once

#include <memory>
#include <string>

#include "app/app.h"
#include "app/lan.h"
#include "app/operator.h"
#include "net/socket.h"
#include "scene/sessionport.h"
#include "session/hostuser.h"
#include "session/simpleeventconnection.h"

namespace seafold {

// ---- process-wide network state -------------------------------------------------------
// Main thread only.

// The one network interface of the process, server or client. Written by
// SessionHost (made by start, let go by stop); read by the host's steps, the
// display-less program's statistics and the server link.
extern RefPtr<SessionInterface> gNetInterface;
// The roster: on the server every joined client, on a client the others.
// Changed by the session's remote calls and the server link; read by the
// console lines, the discovery responder, the panels and the statistics.
extern Roster gClients;
// The session of this process, made at the first call; the SessionHost sets
// it up from the options, the programs and panels subscribe their listeners.
Session& appSession();

// ---- the session host ---------------------------------------------------------------------

// A program's network: it keeps its own copy of the options (the mode, the
// address and name, the keep-alive interval, the rate of every connection,
// a server's limits, the network simulator, sealing (--secure, --insecure,
// --server-key), the discovery settings), makes the interface with them at
// start and owns what the interface borrows. One per program, alive longer
// than the main loop.
class SessionHost {
public:
    // Sets up the session at once (keep-alive interval, the pinned server
    // key, flat voice) and the server link (retrying). Other users' models
    // are shown in `scene`; voices play and capture runs through `audio`
    // (neither owned; both must outlive the host).
    SessionHost(const ProgramOptions& options, ClientScene& scene, Audio& audio);
    // Stops the network if the loop did not.
    ~SessionHost();
    SessionHost(const SessionHost&) = delete;
    SessionHost& operator=(const SessionHost&) = delete;

    // "-client auto", before start: see LanPresence::findServerToJoin.
    int findServerToJoin(CommandLine* line) { return mLan.findServerToJoin(line); }

    // Network start-up for `line` (the options' own, or with the address
    // that findServerToJoin found): the interface (bound to the address in a
    // server, to any port in a client), and in a client the first attempt to
    // join the server (gServerLink). False, after saying why on standard
    // error, when the socket cannot be made or bound: the program then ends
    // with exit code 1.
    bool start(const CommandLine& line);
    // Why start failed, as it was told.
    const std::string& startError() const { return mStartError; }

    // Packet reading and connection servicing, for the main loop.
    void receivePackets();
    void serviceConnections();
    // The loop's pause: up to `ms` milliseconds, less when a datagram arrives.
    void waitForPackets(uint32_t ms);

    // Ends every connection (peers are told) and closes the socket. The
    // session's listeners are let go first: our own end is nobody leaving.
    // Idempotent.
    void stop();

    bool isClient() const { return mLine.isClient; }
    // Before start: a server takes part in its own session as a user (the
    // windowed program), named by --name or the host name; its model,
    // moves, turns and voice go to every client. A server that does not
    // stays a pure host.
    void takePart() { mTakesPart = true; }
    // A client, or a server told to take part.
    bool takesPart() const { return mLine.isClient || mTakesPart; }
    // The program's sound output and voice capture.
    Audio& audio() const { return mAudio; }
    // The server's own user once it took part; none in a client.
    HostUser* hostUser() const { return mHostUser.get(); }
    const std::string& clientName() const { return mLine.clientName; }
    // A server's own key, once started; empty with --insecure.
    const std::string& serverKeyFingerprint() const { return mServerKeyFingerprint; }

    // The running session as the scene sees it: movements and selections go
    // to the server over gConnectionToServer (nothing without one),
    // push-to-talk drives voice capture.
    SessionPort& port();
    // The display-less program's --speak drives capture itself: voice
    // activation then gates what it says instead of opening the microphone.
    void setScriptedSpeech(bool scripted) { mScriptedSpeech = scripted; }

private:
    class Port;

    bool makeServerKey();
    void failStart(const std::string& why);
    // A server's own user joins its session (takePart).
    void joinAsHost();

    CommandLine mLine;
    SharedOptions mOptions;
    ClientScene& mScene;
    Audio& mAudio;
    // Lent to the interface; outlives it.
    std::unique_ptr<NetworkSimulator> mSimulator;
    std::string mServerKeyFingerprint;
    std::string mStartError;
    LanPresence mLan;
    std::unique_ptr<Port> mPort;
    bool mScriptedSpeech = false;
    std::unique_ptr<OperatorConsole> mOperator; // a server's, unless --no-console
    bool mTakesPart = false;
    std::unique_ptr<HostUser> mHostUser; // a server's own user, when it takes part
};

// A console line saying why `capture` could not start, once for each new
// reason (nothing when it started).
void tellCaptureFailure(const VoiceCapture& capture);

// Drops, duplicates and delays outgoing datagrams; "DROP,DUP,MINMS,MAXMS"
// (percentages and milliseconds). False for a malformed setting.
bool parseNetworkSimulation(const std::string& text, NetworkSimulator::Settings* settings);

} // namespace seafold
