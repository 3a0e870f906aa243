#include "app/hostport.h"
#include "app/console.h"
#include "app/network.h"
#include "app/sessionview.h"
#include "voice/voicecapture.h"

namespace seafold {

VoiceCapture& HostPort::capture() const
{
    return mHost.audio().capture;
}

bool HostPort::isClient() const
{
    return mHost.isClient();
}

bool HostPort::takesPart() const
{
    return mHost.takesPart();
}

void HostPort::sendMovement(double dx, double dy, double dz)
{
    // Kept while there is no connection too: a new one starts from it.
    mMovedX += dx;
    mMovedY += dy;
    mMovedZ += dz;
    if (HostUser* host = mHost.hostUser()) {
        host->move(dx, dy, dz);
        mPostedInput = true;
    } else if (serverConnection() && serverConnection()->sendMovement(dx, dy, dz))
        mPostedInput = true;
}

void HostPort::sendHeading(double yawDegrees)
{
    mHeadingDegrees = yawDegrees;
    mTurned = true;
    if (HostUser* host = mHost.hostUser()) {
        host->turn(Orientation::fromYawDegrees(yawDegrees));
        mPostedInput = true;
    } else if (serverConnection() && serverConnection()->sendOrientation(Orientation::fromYawDegrees(yawDegrees)))
        mPostedInput = true;
}

void HostPort::sendInput()
{
    if (!mPostedInput || !gNetInterface)
        return;
    mPostedInput = false;
    gNetInterface->serviceConnections();
}

double HostPort::sendIntervalMsOf(const ClientRecord& record) const
{
    // The server hears each client on its own connection; a client
    // hears everyone through the server.
    const SimpleEventConnection* over = record.connection ? record.connection.get() : serverConnection();
    if (!over)
        return DefaultSendIntervalMs;
    // Between adaptive peers a packet leaves as soon as there is something
    // to send: a mover's states come at its frame rate, one per frame of a
    // 60 Hz display.
    constexpr double AdaptiveMoveIntervalMs = 16;
    return over->adaptiveByHandshake() ? AdaptiveMoveIntervalMs : double(over->sendInterval());
}

void HostPort::announceSelection(const std::string& meshName)
{
    mSelection = meshName;
    mSelected = true;
    if (HostUser* host = mHost.hostUser()) {
        host->select(meshName);
        mPostedInput = true;
    } else if (serverConnection())
        serverConnection()->c2sEntitySelection(StringPtr(meshName.c_str()));
}

// A new connection to the server: the server knows nothing of this user,
// so the model and where the user moved it go again.
void HostPort::rejoin(SimpleEventConnection& connection)
{
    if (mSelected)
        connection.c2sEntitySelection(StringPtr(mSelection.c_str()));
    if (mMovedX != 0 || mMovedY != 0 || mMovedZ != 0)
        connection.sendMovement(mMovedX, mMovedY, mMovedZ);
    if (mTurned)
        connection.sendOrientation(Orientation::fromYawDegrees(mHeadingDegrees));
}

void HostPort::setPushToTalk(bool held)
{
    // With voice activation the microphone is open already.
    if (voiceActivation())
        return;
    if (held)
        openMicrophone();
    else
        capture().stop();
}

void HostPort::toggleSelfMute()
{
    Session& session = appSession();
    // Muting while deafened is hearing again, unmuted.
    if (session.deafened())
        session.setOwnVoice(false, false);
    else
        session.setOwnVoice(!session.mutedByChoice(), false);
    followOwnMute();
}

void HostPort::toggleDeafen()
{
    Session& session = appSession();
    session.setOwnVoice(session.mutedByChoice(), !session.deafened());
    followOwnMute();
}

bool HostPort::selfMuted() const
{
    return appSession().ownMuted();
}

bool HostPort::deafened() const
{
    return appSession().deafened();
}

void HostPort::followOwnMute()
{
    if (appSession().ownMuted())
        capture().stop();
    else if (voiceActivation() && capture().status() != CaptureStatus::Running)
        openMicrophone();
}

void HostPort::setMasterVolume(float volume)
{
    mHost.audio().sound.setMasterVolume(volume);
}

float HostPort::masterVolume() const
{
    return mHost.audio().sound.masterVolume();
}

SessionPort::Microphone HostPort::microphone() const
{
    switch (capture().status()) {
    case CaptureStatus::Running:
        return capture().transmitting() ? Microphone::Capturing : Microphone::Listening;
    case CaptureStatus::Failed:
        return Microphone::Unavailable;
    case CaptureStatus::Off:
        break;
    }
    return Microphone::Off;
}
std::string HostPort::microphoneProblem() const
{
    return capture().failure();
}

bool HostPort::voiceActivation() const
{
    return capture().processing() && capture().processing()->voiceActivation();
}
void HostPort::setVoiceActivation(bool on)
{
    if (!capture().processing() || on == voiceActivation())
        return;
    capture().stop();
    capture().processing()->setVoiceActivation(on);
    if (on)
        openMicrophone();
}

void HostPort::setVoiceVolume(const std::string& name, bool muted, float volume)
{
    ListenerVolumes& volumes = appSession().listenerVolumes();
    volumes.setMuted(name, muted);
    volumes.setVolume(name, volume);
}
bool HostPort::voiceMuted(const std::string& name) const
{
    return appSession().listenerVolumes().muted(name);
}
float HostPort::voiceVolume(const std::string& name) const
{
    return appSession().listenerVolumes().volume(name);
}

SubscriptionId HostPort::subscribeSpeakers(std::function<void(uint64_t)> heard)
{
    return subscribeSpeakersOf(appSession(), std::move(heard));
}
void HostPort::unsubscribe(SubscriptionId id)
{
    appSession().unsubscribe(id);
}
void HostPort::placeVoices(const VoicePlacer& where)
{
    placeSessionVoices(appSession(), where);
}

bool HostPort::sendChat(const std::string& text)
{
    if (HostUser* host = mHost.hostUser())
        return host->chat(text);
    return serverConnection() && serverConnection()->isEstablished() && serverConnection()->sendChat(text);
}
SubscriptionId HostPort::subscribeChat(std::function<void(const std::string&, const std::string&)> heard)
{
    SessionListener listener;
    // The server's words come with no sender: no user goes without a name.
    listener.onServerText = [heard](const char* text) { heard(std::string(), text); };
    listener.onChat = std::move(heard);
    return appSession().subscribe(std::move(listener));
}

void HostPort::describeSession(SessionStatus& status)
{
    seafold::describeSession(gClients, serverConnection(), mHost.isClient(), appSession().ownName(), status);
    const ListenerVolumes& volumes = appSession().listenerVolumes();
    for (PersonStatus& person : status.people) {
        person.muted = volumes.muted(person.name);
        person.volume = volumes.volume(person.name);
    }
    status.admitted = !mHost.isClient() || mHost.link().admitted();
    status.ownMuted = appSession().ownMuted();
    status.ownDeafened = appSession().deafened();
    // Only a server that asked is answered: one that did not is not
    // "checking the password".
    status.passwordSent = serverConnection() && serverConnection()->passwordAnswered();
    if (!mHost.isClient())
        describeHosting(status);
}

void HostPort::describeHosting(SessionStatus& status)
{
    if (!gNetInterface)
        return;
    const NetAddress bound = gNetInterface->boundAddress();
    if (mJoinAddresses.empty() && bound.netNum[0] == 0) {
        for (const BroadcastInterface& local : listBroadcastInterfaces()) {
            NetAddress reachable = local.address;
            reachable.port = bound.port;
            mJoinAddresses.push_back(plainAddress(reachable) + " (" + local.name + ")");
        }
    }
    status.joinAddresses = mJoinAddresses;
    status.keyFingerprint = mHost.serverKeyFingerprint();
    status.passwordSet = !appSession().settings().password.empty();
    status.userLimit = mHost.options().maxClients;
    status.moderates = mHost.operatorConsole() != nullptr;
}

void HostPort::moderate(Moderation what, const std::string& name, uint32_t minutes)
{
    OperatorConsole* console = mHost.operatorConsole();
    if (mHost.isClient() || !console)
        return;
    switch (what) {
    case Moderation::Kick:
        console->kick(name, "by the host");
        break;
    case Moderation::Ban:
        console->ban(name, minutes ? std::to_string(minutes) : std::string());
        break;
    case Moderation::Mute:
    case Moderation::Unmute:
        console->mute(name, what == Moderation::Mute);
        break;
    }
}

float HostPort::talkLevel() const
{
    return capture().transmitting() ? talkLevelOf(capture().level()) : 0.0f;
}

// Starts capture; when there is none, the console says why (once for
// each new reason).
void HostPort::openMicrophone()
{
    if (appSession().ownMuted())
        return;
    // Opening the microphone makes the sound system below the audio
    // library report a missing card on standard error, as at start-up.
    AudioOutputCapture output;
    capture().start();
    tellCaptureFailure(capture());
}

} // namespace seafold
