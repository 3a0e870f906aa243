#include "app/windowed/startflow.h"
#include "app/configoptions.h"
#include "app/console.h"
#include "app/knownservers.h"
#include "app/network.h"
#include "app/serverlink.h"
#include "app/sessionview.h"
#include "app/userconfig.h"
#include "app/windowport.h"
#include "base/platform.h"
#include "scene/clientmodels.h"
#include "scene/scenedriver.h"
#include "scene/startwindow.h"
#include "session/eventlog.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"
#include "sound/sound.h"
#include "voice/voicecapture.h"

#include <algorithm>
#include <cctype>

namespace seafold {

namespace {

// A new search every few seconds: a server that went away leaves the list
// within two rounds, a new one shows within one.
constexpr uint32_t SearchRoundMs = 3000;
// A server that says nothing of the join past this long after the
// connection is taken to have let the user in.
constexpr uint32_t SilentAdmissionMs = 1500;

void call(const std::function<void()>& hook)
{
    if (hook)
        hook();
}

} // namespace

std::vector<StartServerRow> serverRows(const std::vector<FoundServer>& found, const std::vector<StartServerRow>& before)
{
    std::vector<StartServerRow> rows;
    const KnownServers known(KnownServers::defaultPath());
    for (const FoundServer& server : found) {
        StartServerRow row;
        row.name = server.name;
        row.users = server.users;
        row.address = plainAddress(server.address);
        row.known = !known.remembered(row.address).empty();
        rows.push_back(row);
    }
    for (const StartServerRow& old : before) {
        bool again = std::any_of(rows.begin(), rows.end(),
                                 [&old](const StartServerRow& row) { return row.address == old.address; });
        if (!again)
            rows.push_back(old);
    }
    return rows;
}

StartFlow::StartFlow(const ProgramOptions& options, WindowedFrontEnd& frontEnd, WindowPort& port)
    : mOptions(options), mFrontEnd(frontEnd), mPort(port)
{
}

StartFlow::~StartFlow()
{
    endSession(std::string());
}

LoopHooks StartFlow::hooks()
{
    LoopHooks hooks = soundLoopHooks();
    hooks.startNetwork = [](const CommandLine&) { return true; };
    hooks.receivePackets = [this] {
        call(mHostHooks.receivePackets);
        service();
    };
    hooks.serviceConnections = [this] { call(mHostHooks.serviceConnections); };
    hooks.waitForPackets = [this](uint32_t ms) {
        if (mHostHooks.waitForPackets)
            mHostHooks.waitForPackets(ms);
        else
            sleepMilliseconds(ms);
    };
    hooks.voiceTime = [this](uint32_t wholeMs) {
        if (mHostHooks.voiceTime)
            mHostHooks.voiceTime(wholeMs);
    };
    hooks.updateSound = [this] {
        if (mHostHooks.updateSound)
            mHostHooks.updateSound();
        else
            updateSound();
    };
    hooks.leaveSession = [this] { endSession(std::string()); };
    return hooks;
}

void StartFlow::service()
{
    StartWindow& window = mFrontEnd.startWindow();
    if (!window.exists())
        return;
    const uint32_t now = getRealMilliseconds();
    if (!mFilled)
        fillWindow();
    if (mState != State::InSession)
        search(now);

    switch (window.takeAction()) {
    case StartWindow::Action::Join:
        join();
        break;
    case StartWindow::Action::Host:
        host();
        break;
    case StartWindow::Action::Quit:
        requestExit(0);
        return;
    case StartWindow::Action::None:
        break;
    }

    if (mGaveUp) {
        // A refusal that trying again will not change, or a session the
        // server ended for good: the user decides what next.
        std::string why = mLastReason.empty() ? "The server ended the session." : mLastReason;
        endSession((mState == State::InSession ? "The session ended: " : "Could not join " + mJoining + ": ") + why);
        return;
    }
    if (mState != State::Joining)
        return;
    if (mConnected) {
        // In once the server says the name it took us in under; a server
        // of version 0 (which has no password to ask for) at once; one
        // that says nothing, after a while without a refusal.
        const bool told = appSession().ownNameConfirmed();
        const bool plain = !serverConnection() || !speaksSeafold(*serverConnection());
        if (told || plain || uint32_t(now - mConnectedAt) >= SilentAdmissionMs) {
            enterScene();
            return;
        }
    }
    // How the join fares, as the link tells it.
    if (mLastState == "failed" || mLastState == "disconnected" || mLastState == "retrying")
        window.setStatus(mJoining + ": " + (mLastReason.empty() ? mLastState : mLastReason) +
                             "; trying again every 5 s. Press Join to try another address.",
                         true);
    else if (!mLastReason.empty())
        window.setStatus("Joining " + mJoining + ": " + mLastReason, false);
    else
        window.setStatus("Joining " + mJoining + " ...", false);
}

void StartFlow::fillWindow()
{
    mFilled = true;
    StartWindow& window = mFrontEnd.startWindow();
    window.setName(mOptions.shared.hostUserName);
    window.setAddress(mOptions.shared.lastServer);
    window.setStatus("Pick a server and press Join, or host a session for others to join.", false);
    window.show(true);
}

void StartFlow::search(uint32_t now)
{
    // A new round when the last is over (or there was none): a finder that
    // could not open its socket is tried again a round later, not each pass.
    if (!mSearching || uint32_t(now - mRoundStarted) >= SearchRoundMs) {
        if (mFinder)
            mLastRound = serverRows(mFinder->servers(), {});
        mSearching = true;
        mRoundStarted = now;
        mFinder = std::make_unique<DiscoveryFinder>(mOptions.shared.discoveryPort);
        if (!mFinder->start(now))
            mFinder = nullptr;
    }
    if (!mFinder)
        return;
    mFinder->poll(now);
    mFrontEnd.startWindow().setServers(serverRows(mFinder->servers(), mLastRound));
}

void StartFlow::join()
{
    StartWindow& window = mFrontEnd.startWindow();
    std::string name = trimmedText(window.name());
    std::string address, why;
    if (name.empty()) {
        window.setStatus("Type your name first: the others see you by it.", true);
        return;
    }
    if (!completeAddress(window.address(), DefaultSessionPort, &address, &why)) {
        window.setStatus(why, true);
        return;
    }
    // A join under way gives way to this one.
    endSession(std::string());
    ProgramOptions attempt = mOptions;
    attempt.line = CommandLine();
    attempt.line.isClient = true;
    attempt.line.addressText = address;
    attempt.line.clientName = name;
    const std::string password = window.password();
    if (!password.empty()) {
        if (attempt.shared.insecure) {
            window.setStatus("A password needs a sealed connection, and this program was started with --insecure.",
                             true);
            return;
        }
        attempt.shared.password = password;
        attempt.shared.secure = true;
    }
    mJoining = address;
    mName = name;
    if (!startSession(attempt, false))
        return;
    mState = State::Joining;
    window.setJoining(true);
    window.setStatus("Joining " + address + " ...", false);
}

void StartFlow::host()
{
    StartWindow& window = mFrontEnd.startWindow();
    std::string name = trimmedText(window.name());
    if (name.empty()) {
        window.setStatus("Type your name first: the others see you by it.", true);
        return;
    }
    endSession(std::string());
    ProgramOptions attempt = mOptions;
    attempt.line = CommandLine();
    attempt.line.addressText = "0.0.0.0:" + std::to_string(DefaultSessionPort);
    attempt.shared.hostUserName = name;
    mName = name;
    mJoining.clear();
    if (!startSession(attempt, true))
        return;
    enterScene();
}

bool StartFlow::startSession(const ProgramOptions& given, bool hosting)
{
    ProgramOptions attempt = given;
    // Another user than the one this program started for: theirs are the
    // choices the session starts with (their mutes, volumes, how they talk).
    const std::string user = hosting ? attempt.shared.hostUserName : attempt.line.clientName;
    if (user != mPort.user()) {
        applyUsersKeptChoices(userConfigFile(), user, attempt);
        mPort.setUser(user);
        mPort.setMuted(attempt.shared.muted);
        mPort.setVolumes(attempt.shared.volumes);
        mOptions.shared.muted = attempt.shared.muted;
        mOptions.shared.volumes = attempt.shared.volumes;
        mOptions.shared.voiceActivation = attempt.shared.voiceActivation;
        mOptions.headless.model = attempt.headless.model;
    }
    mConnected = false;
    mGaveUp = false;
    mLastState.clear();
    mLastReason.clear();
    mHost = std::make_unique<SessionHost>(attempt, gRendererScene);
    if (hosting)
        mHost->takePart();
    // Refused for good: back to the window (next pass), not the end of
    // the program.
    mHost->link().setOnGiveUp([this] { mGaveUp = true; });
    if (!mHost->start(attempt.line)) {
        std::string why = mHost->startError();
        mHost = nullptr;
        if (why.empty())
            why = "the session could not start.";
        why[0] = char(std::toupper(uint8_t(why[0])));
        mFrontEnd.startWindow().setStatus(why, true);
        return false;
    }
    mHostHooks = standardLoopHooks(*mHost);
    // What watches the session (the display, the event log, this flow)
    // watches each new one: a host's end lets every listener go.
    watchSessionForDisplay(appSession(), !hosting);
    if (gEventLog.active())
        gEventLog.watch(appSession(), gRendererScene);
    SessionListener states;
    states.onConnectionState = [this](const char* state, const char* reason) {
        onConnectionState(state ? state : "", reason ? reason : "");
    };
    appSession().subscribe(std::move(states));
    mPort.setTarget(&mHost->port());
    return true;
}

void StartFlow::onConnectionState(const std::string& state, const std::string& reason)
{
    mLastState = state;
    mLastReason = reason;
    if (state == "connected") {
        mConnected = true;
        mConnectedAt = getRealMilliseconds();
    }
}

void StartFlow::enterScene()
{
    mState = State::InSession;
    mFinder = nullptr;
    mSearching = false;
    StartWindow& window = mFrontEnd.startWindow();
    window.setJoining(false);
    window.setStatus(std::string(), false);
    window.show(false);
    // Kept for the next start.
    mPort.setUser(mName);
    mPort.remember("name", {mName});
    if (!mJoining.empty())
        mPort.remember("last-server", {mJoining});
    mOptions.shared.hostUserName = mName;
    if (!mJoining.empty())
        mOptions.shared.lastServer = mJoining;
    // The model picked last time (or in this run) goes to the new session.
    const std::string model = mPort.lastModel().empty() ? mOptions.headless.model : mPort.lastModel();
    if (!model.empty())
        mFrontEnd.selectOwnModel(model);
}

void StartFlow::endSession(const std::string& why)
{
    if (mHost) {
        mPort.setTarget(nullptr);
        stopVoiceCapture();
        mHost->stop();
        mHost = nullptr;
        mHostHooks = LoopHooks();
        // Nothing is left to send the voice to.
        gVoiceSender = nullptr;
        gVoiceModeChooser = nullptr;
    }
    mState = State::Choosing;
    mConnected = false;
    mGaveUp = false;
    // Quietly (another try, or the program's end, when the window may be
    // gone already): the window is not touched.
    if (why.empty())
        return;
    StartWindow& window = mFrontEnd.startWindow();
    window.setJoining(false);
    window.show(true);
    window.setStatus(why, true);
}

} // namespace seafold
