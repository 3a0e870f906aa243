// The windowed program started without a mode: the start window over the
// sea, and the session the user picks there. The window lists the servers
// found on the local network (searched again every few seconds, or on
// Refresh) and the user's favourites; "Join" joins the one picked or typed,
// under the name typed; "Host a session" asks for the server's name, port,
// password and user limit and starts a server on every interface, in which
// the user takes part (a port in use is answered with a free one). The
// scene is shown once the server has taken the join, or at once when
// hosting; "Leave session" in Escape's menu brings the window back. A join that cannot work (a refusal that waiting will
// not change, a port in use, a bad address) is told in the window, and the
// user corrects it and tries again; a session the server ends later (a
// kick, a ban) brings the user back to the window the same way. Each try
// is a new session host; the scene stays.
#pragma once

#include "app/app.h"
#include "app/commandline.h"
#include "session/discovery.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace seafold {

class SessionHost;
class StartWindow;
class WindowPort;
class WindowedFrontEnd;
struct StartServerRow;

// The servers as the list shows them: `found` now, with those of the last
// search (`before`) that have not answered again yet, and the `favourites`
// (host:port) whether they answer or not; in the list's steady order
// (sortServerRows).
// `joinedBefore`: the servers this user joined before (KnownServers), by address.
std::vector<StartServerRow> serverRows(const std::vector<FoundServer>& found, const std::vector<StartServerRow>& before,
                                       const std::vector<std::string>& favourites,
                                       const std::map<std::string, std::string>& joinedBefore);

// Whether a server with `classes` event classes (0: not told) can be
// joined by this program.
bool joinableEventClasses(uint32_t classes);

class StartFlow {
public:
    // `frontEnd`, `port` and `audio` outlive the flow; the port is the one
    // the scene was made with.
    StartFlow(const ProgramOptions& options, WindowedFrontEnd& frontEnd, WindowPort& port, Audio& audio);
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
    // The session ends: back to the window, saying `why` (empty: quietly;
    // `problem`: shown as one).
    void endSession(const std::string& why, bool problem = true);
    void onConnectionState(const std::string& state, const std::string& reason);
    // Why the join or the session ended for good, as the window says it.
    std::string endedText() const;
    // The picked (or typed) server becomes a favourite, or stops being one.
    void toggleFavourite();

    ProgramOptions mOptions;
    WindowedFrontEnd& mFrontEnd;
    WindowPort& mPort;
    Audio& mAudio;
    std::unique_ptr<SessionHost> mHost;
    LoopHooks mHostHooks;
    State mState = State::Choosing;
    bool mFilled = false;
    std::string mJoining; // the address of the join under way
    std::map<std::string, std::string> mKnownServers; // read each search round
    // A server remembered under another key that refused our join: the
    // next Join of this address accepts its new key (the window's way to
    // say --accept-new-key, once the user has read why).
    std::string mNewKeyOffered;
    std::string mName;    // the name it joins or hosts with
    std::string mPassword; // the password it joins with (empty: none)
    // What the connection said last, and whether the link gave up.
    std::string mLastState;
    std::string mLastReason;
    bool mConnected = false;
    uint32_t mConnectedAt = 0;
    bool mGaveUp = false;
    bool mLeaveAsked = false; // "Leave session" in Escape's menu
    // The search for servers: one finder a round.
    std::unique_ptr<DiscoveryFinder> mFinder;
    bool mSearching = false; // a round is under way (its finder may have failed)
    uint32_t mRoundStarted = 0;
    std::vector<StartServerRow> mLastRound; // what the last round found
};

} // namespace seafold
