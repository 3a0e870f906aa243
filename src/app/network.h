// The process's network side: the interface, the session with its roster,
// and in a client the connection to the server.
#pragma once

#include <memory>
#include <string>

#include "app/app.h"
#include "app/hostport.h"
#include "app/lan.h"
#include "app/serverlink.h"
#include "app/serverside.h"
#include "net/socket.h"
#include "scene/sessionport.h"
#include "session/hostuser.h"
#include "session/simpleeventconnection.h"

namespace seafold {

// Whether captured sound goes through the echo canceller: --echo-cancellation
// on or off, else on unless push-to-talk goes with an output whose name
// says it is a headset.
bool wantsEchoCancellation(const SharedOptions& options);

// ---- process-wide network state -------------------------------------------------------
// Main thread only.

// The one network interface of the process, server or client. Written by
// SessionHost (made by start, let go by stop); read by the host's steps, the
// display-less program's statistics, the server link and the operator's
// console. Global because the connection's remote calls that the interface
// runs reach the session through it while no SessionHost is in their reach
// (the interface outlives none of its callers' frames).
extern RefPtr<SessionInterface> gNetInterface;
// The roster: on the server every joined client, on a client the others.
// Changed by the session's remote calls and the server link; read by the
// console lines, the discovery responder, the panels and the statistics.
// Global because the scene's panels and the session's calls share it with
// the session that appSession makes before any host exists.
extern Roster gClients;
// The session of this process, made at the first call; the SessionHost sets
// it up from the options, the programs and panels subscribe their listeners.
Session& appSession();
// The client's connection to the server as the session keeps it, or none
// (a server, or a client between attempts).
inline SimpleEventConnection* serverConnection()
{
    return appSession().serverConnection();
}

// ---- the session host ---------------------------------------------------------------------

// A program's network: it keeps its own copy of the options, makes the
// interface with them at start and owns what the interface borrows. Its
// parts each do one job: the session's settings (applySessionSettings), the
// network simulator, the socket (start), the client's link to its server
// (ServerLink), what a server adds (ServerSide: key, responder, operator's
// console, own user), the local network (LanPresence) and the scene's port
// (HostPort). One per session, alive longer than the main loop.
class SessionHost {
public:
    // Sets up the session at once (keep-alive interval, the pinned server
    // key, flat voice, mutes and volumes, capture processing) and the server
    // link (retrying). Other users' models are shown in `scene`; voices
    // play and capture runs through `audio` (neither owned; both must
    // outlive the host).
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
    // join the server. False, after saying why on standard error, when the
    // socket cannot be made or bound: the program then ends with exit code 1.
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
    // The server's own user once it took part; none in a client.
    HostUser* hostUser() const { return mServer ? mServer->hostUser() : nullptr; }
    // A server's operator console once started (null in a client).
    OperatorConsole* operatorConsole() const { return mServer ? mServer->operatorConsole() : nullptr; }
    // The options the host was made with.
    const SharedOptions& options() const { return mOptions; }
    // The program's sound output and voice capture.
    Audio& audio() const { return mAudio; }
    const std::string& clientName() const { return mLine.clientName; }
    // A server's own key, once started; empty with --insecure.
    const std::string& serverKeyFingerprint() const;

    // A client's link to its server (attempts, retries, giving up).
    ServerLink& link() { return mLink; }
    const ServerLink& link() const { return mLink; }

    // The running session as the scene sees it.
    SessionPort& port();
    // The display-less program's --speak drives capture itself: voice
    // activation then gates what it says instead of opening the microphone.
    void setScriptedSpeech(bool scripted) { mScriptedSpeech = scripted; }

private:
    bool openInterface(const CommandLine& line);
    void startClient(const CommandLine& line);
    void failStart(const std::string& why);

    CommandLine mLine;
    SharedOptions mOptions;
    ClientScene& mScene;
    Audio& mAudio;
    // Lent to the interface; outlives it.
    std::unique_ptr<NetworkSimulator> mSimulator;
    std::string mStartError;
    ServerLink mLink;
    LanPresence mLan;
    std::unique_ptr<HostPort> mPort;
    bool mScriptedSpeech = false;
    bool mTakesPart = false;
    std::unique_ptr<ServerSide> mServer; // a server's, once started
};

// The session's settings from the options: the keep-alive interval, the
// pinned server key, flat voice, the wire version, the password, and what
// this listener mutes and how loud it hears whom.
void applySessionSettings(Session& session, const SharedOptions& options);

// A console line saying why capture could not start, once for each new
// reason (nothing when it started).
void tellCaptureFailure(const VoiceCapture& capture);

// Drops, duplicates and delays outgoing datagrams; "DROP,DUP,MINMS,MAXMS"
// (percentages and milliseconds). False for a malformed setting.
bool parseNetworkSimulation(const std::string& text, NetworkSimulator::Settings* settings);

} // namespace seafold
