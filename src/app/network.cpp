#include "app/network.h"
#include "app/console.h"
#include "app/knownservers.h"
#include "app/lan.h"
#include "app/refusal.h"
#include "app/serverlink.h"
#include "app/sessionview.h"
#include "base/platform.h"
#include "sound/audiodevices.h"
#include "session/wireversion.h"
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

} // namespace

Session& appSession()
{
    // A server until the host says otherwise.
    if (!gSession)
        gSession = std::make_unique<Session>(gClients, true);
    return *gSession;
}

void tellCaptureFailure(const VoiceCapture& capture)
{
    static std::string told;
    const std::string why = capture.failure();
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
    std::string unreadable;
    const std::map<std::string, std::string> servers = known.rememberedServers(&unreadable);
    if (!unreadable.empty()) {
        consoleLine("The server's key is not checked against the servers you joined before: " + unreadable + ".");
        return std::string();
    }
    const auto found = servers.find(server);
    const std::string remembered = found == servers.end() ? std::string() : found->second;
    if (remembered == shown)
        return std::string();
    if (!remembered.empty() && !accept)
        return changedServerKeyMessage(server, remembered, shown, known.path());
    // A server that offers no key has nothing to remember it by; one known
    // by its key keeps that key for the next time.
    if (shown.empty()) {
        if (!remembered.empty())
            consoleLine("Joining the server at " + server + " unsealed, as told; it is still remembered by the key " +
                        remembered + ".");
        return std::string();
    }
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

void applySessionSettings(Session& session, const SharedOptions& options)
{
    SessionSettings settings = session.settings();
    if (options.pingIntervalMs)
        settings.pingIntervalMs = options.pingIntervalMs;
    settings.serverKeyFingerprint = options.serverKey;
    settings.serverKeyCheck = [accept = options.acceptNewKey](const NetAddress& server, const std::string& shown) {
        return checkKnownServer(plainAddress(server), shown, accept);
    };
    settings.flatVoice = options.flatVoice;
    settings.highestWireVersion = options.wireVersion;
    settings.password = options.password;
    session.setSettings(settings);
    for (const std::string& name : options.muted)
        session.listenerVolumes().setMuted(name, true);
    for (const auto& [name, volume] : options.volumes)
        session.listenerVolumes().setVolume(name, volume);
    if (options.startMuted || options.startDeafened)
        session.setOwnVoice(options.startMuted, options.startDeafened);
}

bool wantsEchoCancellation(const SharedOptions& options)
{
    using Echo = SharedOptions::EchoChoice;
    if (options.echoCancellation != Echo::Auto)
        return options.echoCancellation == Echo::On;
    // An open microphone hears the speakers whatever they are; with
    // push-to-talk only speakers in the room make an echo, and a headset's
    // name says what it is (the sound system names it after the device:
    // "Headset", "Headphones", "USB Earphones"). Unsure is open speakers.
    if (options.voiceActivation)
        return true;
    const std::string output = options.outputDevice.empty() ? defaultPlaybackDevice() : options.outputDevice;
    return !looksLikeHeadset(output);
}

namespace {

// --net-sim: a different run of drops and delays in every process.
std::unique_ptr<NetworkSimulator> makeSimulator(const SharedOptions& options)
{
    if (!options.simulate)
        return nullptr;
    using namespace std::chrono;
    auto seed = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return std::make_unique<NetworkSimulator>(uint32_t(seed), options.simulation);
}

} // namespace

SessionHost::SessionHost(const ProgramOptions& options, ClientScene& scene, Audio& audio)
    : mLine(options.line), mOptions(options.shared), mScene(scene), mAudio(audio), mSimulator(makeSimulator(options.shared)),
      mLan(options.shared, &mLink), mPort(std::make_unique<HostPort>(*this))
{
    mLink.setRetry(mOptions.retry);
    // A client that will not try again ends, and says so with its exit code.
    mLink.setOnGiveUp([] { requestExit(1); });
    applySessionSettings(appSession(), mOptions);
    appSession().setSoundPool(&mAudio.sound);
    // Noise suppression, gain and voice detection for whatever is captured.
    auto processing = std::make_unique<CaptureProcessing>(mOptions.voiceActivation);
    // What the user set in the Settings window before this session holds.
    const CaptureProcessing* before = mAudio.capture.processing();
    processing->setActivationSettings(before ? before->thresholdDb() : mOptions.voiceThresholdDb,
                                      before ? before->holdMs() : mOptions.voiceHoldMs);
    if (wantsEchoCancellation(mOptions)) {
        SoundPool& sound = mAudio.sound;
        processing->setEchoCancellation([&sound](int16_t* out, uint32_t count, uint32_t rate, uint32_t after) {
            sound.readPlayed(out, count, rate, after);
        });
    }
    mAudio.capture.setProcessing(std::move(processing));
}

SessionHost::~SessionHost()
{
    stop();
    // The program's audio may go before the session does.
    appSession().setSoundPool(nullptr);
}

SessionPort& SessionHost::port()
{
    return *mPort;
}

const std::string& SessionHost::serverKeyFingerprint() const
{
    static const std::string none;
    return mServer ? mServer->keyFingerprint() : none;
}

// The interface with every setting of the options. False, after saying why,
// when the socket cannot be made or bound.
bool SessionHost::openInterface(const CommandLine& line)
{
    NetAddress target;
    target.parse(line.addressText.c_str());
    NetAddress bindAddress = line.isClient ? NetAddress(IPProtocol, AnyAddress, 0) : target;
    gNetInterface = new SessionInterface(bindAddress, appSession());
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
    // Between Seafold peers the link sets the pace (--rate caps it).
    gNetInterface->setAdaptiveRate(WireVersionSeafold, mOptions.rateCapped);
    // A Seafold client of a sealed connection is given a reset token, so it
    // hears at once when this server was restarted with the same key.
    gNetInterface->setResetTokens(WireVersionSeafold);
    if (!line.isClient) {
        gNetInterface->setMaxConnections(mOptions.maxClients);
        gNetInterface->setMaxPerAddress(mOptions.maxPerAddress);
        gNetInterface->setQueueBudgetBytes(uint64_t(mOptions.maxQueuedMb) << 20);
    }
    // Sealed unless --insecure: a client asks for key exchange on every
    // attempt (and with --secure refuses a server that offers none); a
    // server makes its key pair and offers it to every client that asks (and
    // with --secure refuses one that does not).
    gNetInterface->setAsksForKeyExchange(!mOptions.insecure);
    gNetInterface->setRequiresKeyExchange(mOptions.secure);
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
    if (!openInterface(line))
        return false;
    if (line.isClient) {
        startClient(line);
        return true;
    }
    mServer = std::make_unique<ServerSide>(mOptions);
    std::string why;
    if (!mServer->start(mLan, mTakesPart, &why)) {
        failStart(why);
        mServer = nullptr;
        gNetInterface = nullptr;
        return false;
    }
    return true;
}

void SessionHost::startClient(const CommandLine& line)
{
    Session& session = appSession();
    // The link hears every state of the connection to the server, and adds
    // its own.
    mLink.watch(session);
    mLink.setUser(line.clientName);
    session.setOwnName(fitUtf8(line.clientName, MaxNameBytes));
    if (line.clientName.size() > MaxNameBytes)
        consoleLine("Your name is longer than " + std::to_string(MaxNameBytes) +
                    " bytes; it is cut to: " + terminalText(session.ownName()));
    mLink.setAfterRejoin([this](SimpleEventConnection& connection) { mPort->rejoin(connection); });
    if (line.joinsFoundServer()) {
        mLan.lookForServerLater(); // nobody answered at start-up
    } else {
        NetAddress target;
        target.parse(line.addressText.c_str());
        mLink.startAttempt(target, line.addressText);
    }
    // A scripted speaker (--speak) opens its capture when it speaks.
    if (mOptions.voiceActivation && !mScriptedSpeech)
        mPort->openMicrophone();
}

void SessionHost::failStart(const std::string& why)
{
    mStartError = why;
    startUpError(why);
}

void SessionHost::receivePackets()
{
    if (!gNetInterface)
        return;
    gNetInterface->receivePackets();
    mLan.service();
    if (mServer)
        mServer->poll();
}

void SessionHost::serviceConnections()
{
    if (!gNetInterface)
        return;
    gNetInterface->serviceConnections();
    if (isClient())
        mLink.service(gNetInterface->currentTime());
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
    mLink.stop();
    mLink.setAfterRejoin(nullptr);
    mLink.setOnGiveUp(nullptr);
    appSession().unsubscribeAll();
    appSession().setAdmission(nullptr);
    appSession().setJoinAdmission(nullptr);
    gClients.setOnChange(nullptr);
    mServer = nullptr;
    mScene.setOnModelChange(nullptr);
    // The interface tells every peer ("Shutdown") as it goes.
    gNetInterface = nullptr;
    appSession().setServerConnection(nullptr);
    gClients.clear();
    gClients.setScene(nullptr);
}

} // namespace seafold
