#include "app/network.h"
#include "app/console.h"
#include "app/keyfile.h"
#include "app/knownservers.h"
#include "app/lan.h"
#include "app/serverlink.h"

#include "app/sessionview.h"
#include "base/platform.h"
#include "voice/voicecapture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace seafold {

RefPtr<SessionInterface> gNetInterface;
Roster gClients;

namespace {

// Made by appSession, at the first call; lives as long as the process.
std::unique_ptr<Session> gSession;

// The size of the server's key pair in bytes: the 256-bit curve, the
// strength of the 128-bit cipher that the exchange keys.
constexpr uint32_t ServerKeyBytes = 32;

} // namespace

Session& appSession()
{
    // A server until the host says otherwise.
    if (!gSession)
        gSession = std::make_unique<Session>(gClients, true);
    return *gSession;
}

class SessionHost::Port : public SessionPort {
public:
    explicit Port(const SessionHost& host) : mHost(host) {}

    bool isClient() const override { return mHost.isClient(); }
    bool takesPart() const override { return mHost.takesPart(); }

    void sendMovement(double dx, double dy, double dz) override
    {
        // Kept while there is no connection too: a new one starts from it.
        mMovedX += dx;
        mMovedY += dy;
        mMovedZ += dz;
        if (HostUser* host = mHost.hostUser()) {
            host->move(dx, dy, dz);
            mPostedInput = true;
        } else if (gConnectionToServer && gConnectionToServer->sendMovement(dx, dy, dz))
            mPostedInput = true;
    }

    void sendHeading(double yawDegrees) override
    {
        mHeadingDegrees = yawDegrees;
        mTurned = true;
        if (HostUser* host = mHost.hostUser()) {
            host->turn(Orientation::fromYawDegrees(yawDegrees));
            mPostedInput = true;
        } else if (gConnectionToServer && gConnectionToServer->sendOrientation(Orientation::fromYawDegrees(yawDegrees)))
            mPostedInput = true;
    }

    void sendInput() override
    {
        if (!mPostedInput || !gNetInterface)
            return;
        mPostedInput = false;
        gNetInterface->serviceConnections();
    }

    double sendIntervalMsOf(const ClientRecord& record) const override
    {
        // The server hears each client on its own connection; a client
        // hears everyone through the server.
        const SimpleEventConnection* over = record.connection ? record.connection.get() : gConnectionToServer.get();
        return over ? double(over->sendInterval()) : DefaultSendIntervalMs;
    }

    void announceSelection(const std::string& meshName) override
    {
        mSelection = meshName;
        mSelected = true;
        if (HostUser* host = mHost.hostUser()) {
            host->select(meshName);
            mPostedInput = true;
        } else if (gConnectionToServer)
            gConnectionToServer->c2sEntitySelection(StringPtr(meshName.c_str()));
    }

    // A new connection to the server: the server knows nothing of this user,
    // so the model and where the user moved it go again.
    void rejoin(SimpleEventConnection& connection)
    {
        if (mSelected)
            connection.c2sEntitySelection(StringPtr(mSelection.c_str()));
        if (mMovedX != 0 || mMovedY != 0 || mMovedZ != 0)
            connection.sendMovement(mMovedX, mMovedY, mMovedZ);
        if (mTurned)
            connection.sendOrientation(Orientation::fromYawDegrees(mHeadingDegrees));
    }

    void setPushToTalk(bool held) override
    {
        // With voice activation the microphone is open already.
        if (voiceActivation())
            return;
        if (held)
            openMicrophone();
        else
            stopVoiceCapture();
    }

    Microphone microphone() const override
    {
        switch (captureStatus()) {
        case CaptureStatus::Running:
            return voiceTransmitting() ? Microphone::Capturing : Microphone::Listening;
        case CaptureStatus::Failed:
            return Microphone::Unavailable;
        case CaptureStatus::Off:
            break;
        }
        return Microphone::Off;
    }
    std::string microphoneProblem() const override { return captureFailure(); }

    bool voiceActivation() const override { return captureProcessing() && captureProcessing()->voiceActivation(); }
    void setVoiceActivation(bool on) override
    {
        if (!captureProcessing() || on == voiceActivation())
            return;
        stopVoiceCapture();
        captureProcessing()->setVoiceActivation(on);
        if (on)
            openMicrophone();
    }

    void setVoiceVolume(const std::string& name, bool muted, float volume) override
    {
        ListenerVolumes& volumes = appSession().listenerVolumes();
        volumes.setMuted(name, muted);
        volumes.setVolume(name, volume);
    }
    bool voiceMuted(const std::string& name) const override { return appSession().listenerVolumes().muted(name); }
    float voiceVolume(const std::string& name) const override { return appSession().listenerVolumes().volume(name); }

    SubscriptionId subscribeSpeakers(std::function<void(uint64_t)> heard) override
    {
        return subscribeSpeakersOf(appSession(), std::move(heard));
    }
    void unsubscribe(SubscriptionId id) override
    {
        if (gSession)
            gSession->unsubscribe(id);
    }
    void placeVoices(const VoicePlacer& where) override { placeSessionVoices(appSession(), where); }

    bool sendChat(const std::string& text) override
    {
        if (HostUser* host = mHost.hostUser())
            return host->chat(text);
        return gConnectionToServer && gConnectionToServer->isEstablished() && gConnectionToServer->sendChat(text);
    }
    SubscriptionId subscribeChat(std::function<void(const std::string&, const std::string&)> heard) override
    {
        SessionListener listener;
        // The server's words come with no sender: no user goes without a name.
        listener.onServerText = [heard](const char* text) { heard(std::string(), text); };
        listener.onChat = std::move(heard);
        return appSession().subscribe(std::move(listener));
    }

    void describeSession(SessionStatus& status) override
    {
        seafold::describeSession(gClients, gConnectionToServer, mHost.isClient(), appSession().ownName(), status);
        const ListenerVolumes& volumes = appSession().listenerVolumes();
        for (PersonStatus& person : status.people) {
            person.muted = volumes.muted(person.name);
            person.volume = volumes.volume(person.name);
        }
    }

    float talkLevel() const override { return voiceTransmitting() ? talkLevelOf(gVoiceLevel) : 0.0f; }

    // Starts capture; when there is none, the console says why (once for
    // each new reason).
    void openMicrophone()
    {
        // Opening the microphone makes the sound system below the audio
        // library report a missing card on standard error, as at start-up.
        AudioOutputCapture capture;
        startVoiceCapture();
        tellCaptureFailure();
    }

private:
    const SessionHost& mHost;
    std::string mSelection;
    bool mSelected = false;
    double mMovedX = 0, mMovedY = 0, mMovedZ = 0;
    double mHeadingDegrees = 0;
    bool mTurned = false;
    bool mPostedInput = false; // since the last sendInput
};

void tellCaptureFailure()
{
    static std::string told;
    const std::string why = captureFailure();
    if (!why.empty() && why != told)
        consoleLine("No microphone: " + why);
    told = why;
}

namespace {

// A server this user joins is remembered by its key; one that shows
// another key than before is refused (see knownservers.h), unless `accept`.
std::string checkKnownServer(const std::string& server, const std::string& shown, bool accept)
{
    const KnownServers known(KnownServers::defaultPath());
    const std::string remembered = known.remembered(server);
    if (remembered == shown)
        return std::string();
    if (!remembered.empty() && !accept)
        return changedServerKeyMessage(server, remembered, shown, known.path());
    std::string why;
    if (!known.remember(server, shown, &why))
        consoleLine("Could not remember the server's key: " + why + ".");
    else if (!remembered.empty())
        consoleLine("Took the new key of the server at " + server + " (" + shown + ") in place of " + remembered +
                    ".");
    return std::string();
}

// One console line per user joining, picking a model or leaving.
void tellRosterChange(Roster::Change change, const ClientRecord& record)
{
    consoleLine(rosterMessage(change, record, appSession().isServer()));
}

} // namespace

SessionHost::SessionHost(const ProgramOptions& options, ClientScene& scene)
    : mLine(options.line), mOptions(options.shared), mScene(scene), mLan(options.shared),
      mPort(std::make_unique<Port>(*this))
{
    // A new session starts a new link (an earlier host's may have stopped).
    gServerLink = ServerLink();
    gServerLink.setRetry(mOptions.retry);
    // A client that will not try again ends, and says so with its exit code.
    gServerLink.setOnGiveUp([] { requestExit(1); });
    SessionSettings settings = appSession().settings();
    if (mOptions.pingIntervalMs)
        settings.pingIntervalMs = mOptions.pingIntervalMs;
    settings.serverKeyFingerprint = mOptions.serverKey;
    settings.serverKeyCheck = [accept = mOptions.acceptNewKey](const NetAddress& server, const std::string& shown) {
        return checkKnownServer(plainAddress(server), shown, accept);
    };
    settings.flatVoice = mOptions.flatVoice;
    settings.highestWireVersion = mOptions.wireVersion;
    settings.password = mOptions.password;
    appSession().setSettings(settings);
    for (const std::string& name : mOptions.muted)
        appSession().listenerVolumes().setMuted(name, true);
    // Noise suppression, gain and voice detection for whatever is captured.
    setCaptureProcessing(std::make_unique<CaptureProcessing>(mOptions.voiceActivation));
    if (mOptions.simulate) {
        // A different run of drops and delays in every process.
        using namespace std::chrono;
        auto seed = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
        mSimulator = std::make_unique<NetworkSimulator>(uint32_t(seed), mOptions.simulation);
    }
}

SessionHost::~SessionHost()
{
    stop();
}

SessionPort& SessionHost::port()
{
    return *mPort;
}

// The server's key pair: the one kept in --key-file, else in the user's
// state folder (made there the first time, the folder too), so that clients
// that joined before know the server again; a fresh one for this run with
// --new-key-each-start, or without a home folder. Clients that pin it learn
// its fingerprint from the start-up line. False, after saying why, when the
// key file cannot be used.
bool SessionHost::makeServerKey()
{
    RefPtr<AsymmetricKey> key;
    std::string path = mOptions.newKeyEachStart ? std::string() : mOptions.keyFile;
    std::string why;
    if (path.empty() && !mOptions.newKeyEachStart) {
        path = defaultServerKeyFile();
        if (!path.empty() && !makeOwnFolder(path.substr(0, path.rfind('/')), &why)) {
            failStart(why + ". Give the key's place with --key-file FILE, or use --new-key-each-start.");
            return false;
        }
    }
    if (path.empty()) {
        key = new AsymmetricKey(ServerKeyBytes);
        SF_ASSERT(key->isValid(), "The server's key pair could not be made.");
    } else {
        key = loadOrMakeKeyFile(path, ServerKeyBytes, &why);
        if (!key) {
            failStart(why + ".");
            return false;
        }
    }
    gNetInterface->setPrivateKey(key);
    mServerKeyFingerprint = keyFingerprint(key);
    return true;
}

bool SessionHost::start(const CommandLine& line)
{
    mLine = line;
    setSessionAddressText(line.addressText);
    gClients.setScene(&mScene);
    gClients.setOnChange(tellRosterChange);
    Session& session = appSession();
    session.setServer(!line.isClient);
    // Chat lines are console lines, on the server too, each on one line;
    // so is what the server's operator should hear of.
    SessionListener chat;
    chat.onChat = [](const std::string& sender, const std::string& text) {
        consoleLine(terminalText(sender) + ": " + terminalText(text));
    };
    chat.onNotice = [](const std::string& text) { consoleLine(terminalText(text)); };
    // What the server says for the user to read (a changed name, the
    // operator's lines) is a console line under "[server]", which no user's
    // chat line can start with (no name looks like "server"). Why it ended
    // the connection is already in the line that says the connection was
    // lost.
    chat.onServerText = [](const char* text) {
        static const std::string ended = "The server ended the connection: ";
        if (std::string(text).compare(0, ended.size(), ended) != 0)
            consoleLine(serverLine(text));
    };
    session.subscribe(std::move(chat));
    NetAddress target;
    target.parse(line.addressText.c_str());

    NetAddress bindAddress = line.isClient ? NetAddress(IPProtocol, AnyAddress, 0) : target;
    gNetInterface = new SessionInterface(bindAddress, session);
    if (!gNetInterface->socket().isValid()) {
        int error = gNetInterface->socket().setUpError();
        failStart(line.isClient ? std::string("cannot open a network socket: ") + std::strerror(error) + "."
                                : bindFailureMessage(bindAddress, error));
        gNetInterface = nullptr;
        return false;
    }
    if (mSimulator)
        gNetInterface->setNetworkSimulator(mSimulator.get());
    // --rate for every connection made or accepted; the limits for a server.
    gNetInterface->setDefaultRate(mOptions.rate);
    if (!line.isClient) {
        gNetInterface->setMaxConnections(mOptions.maxClients);
        gNetInterface->setMaxPerAddress(mOptions.maxPerAddress);
        gNetInterface->setQueueBudgetBytes(uint64_t(mOptions.maxQueuedMb) << 20);
    }
    // Sealed unless --insecure: a client asks for key exchange on every
    // attempt (and with --secure refuses a server that offers none); a
    // server makes its key pair now and offers it to every client that asks
    // (and with --secure refuses one that does not).
    gNetInterface->setAsksForKeyExchange(!mOptions.insecure);
    gNetInterface->setRequiresKeyExchange(mOptions.secure);

    if (!line.isClient) {
        gNetInterface->setAllowConnections(true);
        std::string listening = listeningMessage(gNetInterface->boundAddress());
        if (!mOptions.insecure) {
            if (!makeServerKey()) {
                gNetInterface = nullptr;
                return false;
            }
            listening +=
                std::string(mOptions.secure ? " (secure; " : " (") + "key fingerprint " + mServerKeyFingerprint + ")";
        }
        consoleLine(listening);
        // Offered as bound: with the port the socket has, not the one asked for.
        mLan.startResponder(gNetInterface->boundAddress());
        // Bans hold with the console off too; only commands need it.
        mOperator = std::make_unique<OperatorConsole>(mOptions.banFile);
        mOperator->start();
        if (mTakesPart)
            joinAsHost();
        return true;
    }
    // The link hears every state of the connection to the server, and adds
    // its own.
    gServerLink.watch(session);
    gServerLink.setUser(line.clientName);
    appSession().setOwnName(fitUtf8(line.clientName, MaxNameBytes));
    if (line.clientName.size() > MaxNameBytes)
        consoleLine("Your name is longer than " + std::to_string(MaxNameBytes) +
                    " bytes; it is cut to: " + terminalText(appSession().ownName()));
    gServerLink.setAfterRejoin([this](SimpleEventConnection& connection) { mPort->rejoin(connection); });
    if (line.joinsFoundServer())
        mLan.lookForServerLater(); // nobody answered at start-up
    else
        gServerLink.startAttempt(target, line.addressText);
    // A scripted speaker (--speak) opens its capture when it speaks.
    if (mOptions.voiceActivation && !mScriptedSpeech)
        mPort->openMicrophone();
    return true;
}

void SessionHost::failStart(const std::string& why)
{
    mStartError = why;
    startUpError(why);
}

void SessionHost::joinAsHost()
{
    const std::string asked = mOptions.hostUserName.empty() ? hostName() : mOptions.hostUserName;
    if (asked.size() > MaxNameBytes)
        consoleLine("Your name is longer than " + std::to_string(MaxNameBytes) +
                    " bytes; it is cut to: " + terminalText(fitUtf8(asked, MaxNameBytes)));
    mHostUser = std::make_unique<HostUser>(appSession());
    appSession().setOwnName(mHostUser->join(fitUtf8(asked, MaxNameBytes)));
    consoleLine("You take part in the session as " + terminalText(appSession().ownName()) + ".");
}

void SessionHost::receivePackets()
{
    if (!gNetInterface)
        return;
    gNetInterface->receivePackets();
    mLan.service();
    if (mOperator && mOptions.console)
        mOperator->poll();
}

void SessionHost::serviceConnections()
{
    if (!gNetInterface)
        return;
    gNetInterface->serviceConnections();
    if (isClient())
        gServerLink.service(gNetInterface->currentTime());
}

void SessionHost::waitForPackets(uint32_t ms)
{
    if (gNetInterface)
        gNetInterface->waitForPackets(ms);
    else
        sleepMilliseconds(ms);
}

bool parseNetworkSimulation(const std::string& text, NetworkSimulator::Settings* settings)
{
    unsigned drop = 0, duplicate = 0, minDelay = 0, maxDelay = 0;
    char tail;
    if (std::sscanf(text.c_str(), "%u,%u,%u,%u%c", &drop, &duplicate, &minDelay, &maxDelay, &tail) != 4)
        return false;
    if (drop > 100 || duplicate > 100 || minDelay > maxDelay || maxDelay > 60000)
        return false;
    settings->dropPercent = drop;
    settings->duplicatePercent = duplicate;
    settings->minDelayMs = minDelay;
    settings->maxDelayMs = maxDelay;
    return true;
}

void SessionHost::stop()
{
    mLan.stop();
    // Our own end is no user leaving and no connection lost: nobody watching
    // the session hears of it.
    gServerLink.stop();
    gServerLink.setAfterRejoin(nullptr);
    gServerLink.setOnGiveUp(nullptr);
    appSession().unsubscribeAll();
    appSession().setAdmission(nullptr);
    mOperator = nullptr;
    gClients.setOnChange(nullptr);
    mHostUser = nullptr;
    mScene.setOnModelChange(nullptr);
    // The interface tells every peer ("Shutdown") as it goes.
    gNetInterface = nullptr;
    gConnectionToServer = nullptr;
    gClients.clear();
    gClients.setScene(nullptr);
}

} // namespace seafold
