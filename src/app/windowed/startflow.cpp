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
#include "net/netbase.h"
#include "net/socket.h"
#include "scene/clientmodels.h"
#include "scene/peopleview.h"
#include "scene/scenedriver.h"
#include "scene/startwindow.h"
#include "session/endcode.h"
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

bool joinableEventClasses(uint32_t classes)
{
    // 0: the server did not say (an older answer). A server with more
    // classes than ours takes us at our own count; one with fewer must end
    // at a version border of our table.
    const uint32_t ours = NetClassRep::classCountUpToVersion(NetClassGroupDefault, NetClassTypeEvent,
                                                             appSession().settings().highestWireVersion);
    return classes == 0 || classes >= ours ||
           NetClassRep::isVersionBorderCount(NetClassGroupDefault, NetClassTypeEvent, classes);
}

std::vector<StartServerRow> serverRows(const std::vector<FoundServer>& found, const std::vector<StartServerRow>& before,
                                       const std::vector<std::string>& favourites,
                                       const std::map<std::string, std::string>& joinedBefore)
{
    std::vector<StartServerRow> rows;
    auto known = [&rows](const std::string& address) {
        return std::any_of(rows.begin(), rows.end(), [&address](const StartServerRow& row) { return row.address == address; });
    };
    for (const FoundServer& server : found) {
        StartServerRow row;
        row.name = server.name;
        row.users = server.users;
        row.address = plainAddress(server.address);
        row.roundTripMs = int32_t(server.roundTripMs);
        if (server.detailed) {
            row.limit = server.details.limit;
            row.locked = server.details.needsPassword;
            row.otherVersion = !joinableEventClasses(server.details.eventClasses);
        }
        rows.push_back(row);
    }
    // One round without an answer is not yet gone.
    for (const StartServerRow& old : before)
        if (!known(old.address) && old.roundTripMs >= 0)
            rows.push_back(old);
    // A favourite is listed whether it answers or not.
    for (const std::string& address : favourites) {
        if (!known(address)) {
            StartServerRow row;
            row.address = address;
            for (const StartServerRow& old : before)
                if (old.address == address)
                    row.name = old.name;
            rows.push_back(row);
        }
    }
    // Whether this user joined the server before and remembers its key.
    for (StartServerRow& row : rows) {
        row.favourite = std::find(favourites.begin(), favourites.end(), row.address) != favourites.end();
        row.trust = joinedBefore.count(row.address) ? "known server" : "new server";
    }
    sortServerRows(rows);
    return rows;
}

StartFlow::StartFlow(const ProgramOptions& options, WindowedFrontEnd& frontEnd, WindowPort& port, Audio& audio)
    : mOptions(options), mFrontEnd(frontEnd), mPort(port), mAudio(audio)
{
    // Leaving from Escape's menu: back to this window at the next pass (not
    // inside the frame that drew the menu).
    mFrontEnd.setOnLeave([this] { mLeaveAsked = true; });
}

StartFlow::~StartFlow()
{
    endSession(std::string());
}

LoopHooks StartFlow::hooks()
{
    LoopHooks hooks = soundLoopHooks(mAudio);
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
    hooks.msUntilDue = [this](uint32_t longest) {
        return mHostHooks.msUntilDue ? mHostHooks.msUntilDue(longest) : longest;
    };
    hooks.voiceTime = [this](uint32_t wholeMs) {
        if (mHostHooks.voiceTime)
            mHostHooks.voiceTime(wholeMs);
    };
    hooks.updateSound = [this] {
        if (mHostHooks.updateSound)
            mHostHooks.updateSound();
        else
            mAudio.sound.update();
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
    if (mLeaveAsked) {
        mLeaveAsked = false;
        if (mState != State::Choosing)
            endSession("You left the session. Join one or host one.", false);
    }
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
    case StartWindow::Action::Refresh:
        // A new round at once; the rows stay until it has answered.
        mSearching = false;
        break;
    case StartWindow::Action::Favourite:
        toggleFavourite();
        break;
    case StartWindow::Action::None:
        break;
    }

    if (mGaveUp) {
        // A refusal that trying again will not change, or a session the
        // server ended for good: the user decides what next.
        if (mState == State::Joining && classifyEnd(mLastReason) == EndCode::KeyChanged)
            mNewKeyOffered = mJoining;
        endSession(endedText());
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
    // How the join fares, as the link tells it, in sentences.
    const JoinStatus status = joinStatus(mJoining, mLastState, mLastReason, mConnected, !mPassword.empty());
    window.setStatus(status.text, status.problem);
}

void StartFlow::toggleFavourite()
{
    StartWindow& window = mFrontEnd.startWindow();
    std::string address = window.pickedServer();
    std::string why;
    if (address.empty() && !completeAddress(window.address(), DefaultSessionPort, &address, &why)) {
        window.setStatus("Pick a server in the list (or type its address) to keep it as a favourite.", true);
        return;
    }
    std::vector<std::string>& favourites = mOptions.shared.favourites;
    auto found = std::find(favourites.begin(), favourites.end(), address);
    const bool adding = found == favourites.end();
    if (adding)
        favourites.push_back(address);
    else
        favourites.erase(found);
    // Kept in the user's settings beside the last server.
    mPort.remember("favourite", favourites, true);
    window.setStatus(address + (adding ? " is a favourite now: it stays in the list." : " is no favourite now."),
                     false);
}

std::string StartFlow::endedText() const
{
    // What the user reads in the window: sentences, no codes.
    std::string why = reasonSentence(mLastState, mLastReason);
    if (!why.empty())
        why[0] = char(std::toupper(uint8_t(why[0])));
    if (!why.empty() && why.back() != '.')
        why += '.';
    if (mState == State::InSession)
        return "The session ended. " + (why.empty() ? std::string("The server ended it.") : why);
    if (mLastReason == WrongPasswordReason)
        return mJoining + " refused the join: wrong password. Type the right one and press Join.";
    if (mLastReason == PasswordRequiredReason)
        return mJoining + " needs a password: type it and press Join.";
    if (classifyEnd(mLastReason) == EndCode::KeyChanged) {
        // The console's sentence names an option; here the answer is a
        // second press of Join.
        if (mLastReason.find("offers no key") != std::string::npos)
            return "Did not join " + mJoining +
                   ": it offers no key, where it had one when you joined it before, so it may be another machine "
                   "posing as it. If it was started without a key on purpose (ask the person who runs it), press "
                   "Join again to join it unsealed this once.";
        return "Did not join " + mJoining +
               ": it shows another key than when you joined it before, so it may be another machine posing as it. "
               "If its key was changed on purpose (ask the person who runs it), press Join again to accept the new "
               "key.";
    }
    return "Could not join " + mJoining + ". " + (why.empty() ? std::string("The server ended the attempt.") : why);
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
            mLastRound = serverRows(mFinder->servers(), {}, {}, mKnownServers);
        // Read a round at a time, not every pass: a join made since (back
        // here, a round starts at once) shows in the next.
        mKnownServers = KnownServers(KnownServers::defaultPath()).rememberedServers();
        mSearching = true;
        mRoundStarted = now;
        mFinder = std::make_unique<DiscoveryFinder>(mOptions.shared.discoveryPort);
        if (!mFinder->start(now))
            mFinder = nullptr;
    }
    if (!mFinder)
        return;
    mFinder->poll(now);
    mFrontEnd.startWindow().setServers(
        serverRows(mFinder->servers(), mLastRound, mOptions.shared.favourites, mKnownServers));
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
    window.setJoining(false);
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
    // Only a Join right after the refusal, of the same server, accepts its
    // new key.
    attempt.shared.acceptNewKey = attempt.shared.acceptNewKey || address == mNewKeyOffered;
    mNewKeyOffered.clear();
    mJoining = address;
    mName = name;
    mPassword = password;
    if (!startSession(attempt, false))
        return;
    mState = State::Joining;
    window.setJoining(true);
    window.setStatus(joinStatus(address, "", "", false, !password.empty()).text, false);
}

namespace {

// A whole number from `low` to `high` typed in a field; false otherwise.
bool readNumber(const std::string& typed, uint32_t low, uint32_t high, uint32_t* value)
{
    const std::string text = trimmedText(typed);
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long number = std::stoul(text);
    if (number < low || number > high)
        return false;
    *value = uint32_t(number);
    return true;
}

// Whether a session could listen on `port` of every network now.
bool portFree(uint16_t port)
{
    Socket probe(NetAddress(IPProtocol, AnyAddress, port), Socket::DefaultBufferBytes, Socket::DefaultBufferBytes,
                 false, true);
    return probe.isValid();
}

// The first port after `taken` that a session could listen on (never the
// discovery port); 0 when none of the next few is.
uint16_t freePortAfter(uint16_t taken, uint16_t discoveryPort)
{
    constexpr uint32_t Tries = 50;
    for (uint32_t i = 1; i <= Tries && uint32_t(taken) + i <= 65535; ++i) {
        const uint16_t port = uint16_t(taken + i);
        if (port != discoveryPort && portFree(port))
            return port;
    }
    return 0;
}

} // namespace

void StartFlow::host()
{
    StartWindow& window = mFrontEnd.startWindow();
    std::string name = trimmedText(window.name());
    if (name.empty()) {
        window.showHostForm(false);
        window.setStatus("Type your name first: the others see you by it. Then host.", true);
        return;
    }
    HostChoice choice = window.hostChoice();
    uint32_t port = 0, limit = 0;
    if (!readNumber(choice.port, 1, 65535, &port)) {
        window.setStatus("The port is a number from 1 to 65535 (28000 unless that one is taken).", true);
        return;
    }
    if (!readNumber(choice.limit, 1, 4096, &limit)) {
        window.setStatus("The user limit is a number from 1 to 4096.", true);
        return;
    }
    const std::string serverName = trimmedText(choice.serverName).empty() ? name : trimmedText(choice.serverName);
    if (!choice.password.empty() && mOptions.shared.insecure) {
        window.setStatus("A password needs a sealed connection, and this program was started with --insecure.", true);
        return;
    }
    endSession(std::string());
    window.setJoining(false);
    // A port another program holds is answered with one that is free.
    if (!portFree(uint16_t(port))) {
        const uint16_t free = freePortAfter(uint16_t(port), mOptions.shared.discoveryPort);
        if (free == 0) {
            window.setStatus("Port " + std::to_string(port) + " is in use by another program. Type another port.",
                             true);
            return;
        }
        choice.port = std::to_string(free);
        window.setHostChoice(choice);
        window.setStatus("Port " + std::to_string(port) + " is in use by another program (another session?). Port " +
                             choice.port + " is free: press Start hosting to use it.",
                         true);
        return;
    }
    ProgramOptions attempt = mOptions;
    attempt.line = CommandLine();
    attempt.line.addressText = "0.0.0.0:" + std::to_string(port);
    attempt.shared.hostUserName = name;
    attempt.shared.serverName = serverName;
    attempt.shared.maxClients = limit;
    attempt.shared.password = choice.password;
    mName = name;
    mJoining.clear();
    if (!startSession(attempt, true))
        return;
    window.showHostForm(false);
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
        mPort.setKeptMasterVolume(attempt.shared.masterVolume);
        mOptions.shared.masterVolume = attempt.shared.masterVolume;
        mOptions.shared.muted = attempt.shared.muted;
        mOptions.shared.volumes = attempt.shared.volumes;
        mOptions.shared.voiceActivation = attempt.shared.voiceActivation;
        mOptions.headless.model = attempt.headless.model;
    }
    mConnected = false;
    mGaveUp = false;
    mLastState.clear();
    mLastReason.clear();
    mHost = std::make_unique<SessionHost>(attempt, gRendererScene, mAudio);
    if (hosting)
        mHost->takePart();
    // Refused for good: back to the window (next pass), not the end of
    // the program.
    mHost->link().setOnGiveUp([this] { mGaveUp = true; });
    if (!mHost->start(attempt.line)) {
        std::string why = mHost->startError();
        mHost = nullptr;
        // Nothing is under way: the buttons say what they do again.
        mFrontEnd.startWindow().setJoining(false);
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

void StartFlow::endSession(const std::string& why, bool problem)
{
    if (mHost) {
        mPort.setTarget(nullptr);
        mAudio.capture.stop();
        mHost->stop();
        mHost = nullptr;
        mHostHooks = LoopHooks();
        // Nothing is left to send the voice to.
        mAudio.capture.setSender(nullptr);
        mAudio.capture.setModeChooser(nullptr);
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
    window.setStatus(why, problem);
    // The search starts again: the list fills in at once.
    mSearching = false;
}

} // namespace seafold
