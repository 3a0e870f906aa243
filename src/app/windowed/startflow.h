// The windowed program started without a mode: the start window over the
// sea, and the session the user picks there. The window lists the servers
// found on the local network (searched again every few seconds); "Join"
// joins the one picked or typed, under the name typed; "Host a session"
// starts a server on every interface at the usual port, in which the user
// takes part. The scene is shown once the server has taken the join, or at
// once when hosting. A join that cannot work (a refusal that waiting will
// not change, a port in use, a bad address) is told in the window, and the
// user corrects it and tries again; a session the server ends later (a
// kick, a ban) brings the user back to the window the same way. Each try
// is a new session host; the scene stays.
#pragma once

#include "app/app.h"
#include "app/commandline.h"
#include "session/discovery.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace seafold {

class SessionHost;
class StartWindow;
class WindowPort;
class WindowedFrontEnd;
struct StartServerRow;

// The port a session hosted from the start window listens on, and the one
// a typed address without a port means.
constexpr uint16_t DefaultSessionPort = 28000;

// The servers as the list shows them: `found` now, with those of the last
// search (`before`) that have not answered again yet, in the order found.
std::vector<StartServerRow> serverRows(const std::vector<FoundServer>& found,
                                       const std::vector<StartServerRow>& before);

class StartFlow {
public:
    // `frontEnd` and `port` outlive the flow; the port is the one the scene
    // was made with.
    StartFlow(const ProgramOptions& options, WindowedFrontEnd& frontEnd, WindowPort& port);
    ~StartFlow();
    StartFlow(const StartFlow&) = delete;
    StartFlow& operator=(const StartFlow&) = delete;

    // The main loop's steps: each goes to the session running now, if any,
    // and after the packets are read, the window is served.
    LoopHooks hooks();

private:
    enum class State { Choosing, Joining, InSession };

    void service();
    void fillWindow();
    void search(uint32_t now);
    void join();
    void host();
    // Makes and starts a host for `attempt`; false, with why in the window,
    // when it cannot start.
    bool startSession(const ProgramOptions& given, bool hosting);
    void enterScene();
    // The session ends: back to the window, saying `why` (empty: quietly).
    void endSession(const std::string& why);
    void onConnectionState(const std::string& state, const std::string& reason);

    ProgramOptions mOptions;
    WindowedFrontEnd& mFrontEnd;
    WindowPort& mPort;
    std::unique_ptr<SessionHost> mHost;
    LoopHooks mHostHooks;
    State mState = State::Choosing;
    bool mFilled = false;
    std::string mJoining; // the address of the join under way
    std::string mName;    // the name it joins or hosts with
    // What the connection said last, and whether the link gave up.
    std::string mLastState;
    std::string mLastReason;
    bool mConnected = false;
    uint32_t mConnectedAt = 0;
    bool mGaveUp = false;
    // The search for servers: one finder a round.
    std::unique_ptr<DiscoveryFinder> mFinder;
    bool mSearching = false; // a round is under way (its finder may have failed)
    uint32_t mRoundStarted = 0;
    std::vector<StartServerRow> mLastRound; // what the last round found
};

} // namespace seafold
