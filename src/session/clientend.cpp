#include "session/clientend.h"
#include "session/chat.h"
#include "session/simpleeventconnection.h"

#include <cstdio>

namespace seafold {

void ClientEnd::forgetRoster()
{
    if (Session* s = mConnection.session())
        s->roster().clear();
}

void ClientEnd::report(const char* state, const char* reason)
{
    if (Session* s = mConnection.session())
        s->reportConnectionState(state, reason ? reason : "");
}

void ClientEnd::ended(const char* state, const char* reason)
{
    if (Session* s = mConnection.session())
        s->forgetServerConnection(&mConnection);
    report(state, reason);
}

void ClientEnd::disconnected(uint32_t reason, const char* message)
{
    if (reason == ReasonRemoteDisconnect && message && *message)
        showServerText((std::string("The server ended the connection: ") + message).c_str());
    ended("disconnected", message);
}

void ClientEnd::showServerText(const char* text)
{
    if (Session* s = mConnection.session()) {
        s->reportServerText(text);
        return;
    }
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

void ClientEnd::introduce(const StringPtr& name)
{
    if (Session* s = mConnection.session())
        s->roster().append(name.c_str(), nullptr);
}

void ClientEnd::mark(const StringPtr& name, uint32_t marks)
{
    if (Session* s = mConnection.session())
        if (ClientRecord* record = s->roster().find(name.c_str()))
            record->marks = marks;
}

void ClientEnd::leave(const StringPtr& name)
{
    if (Session* s = mConnection.session()) {
        s->roster().removeClient(name.c_str());
        s->speakerVoices().forget(name.c_str());
    }
}

void ClientEnd::showModel(const StringPtr& entityName, double x, double y, double z, const StringPtr& clientName)
{
    // A position that is no position shows the model at the origin.
    if (!isUsableMovement(x, y, z))
        x = y = z = 0;
    if (Session* s = mConnection.session())
        s->roster().setClientEntity(entityName.c_str(), float(x), float(y), float(z), clientName.c_str());
}

void ClientEnd::move(double dx, double dy, double dz, const StringPtr& clientName)
{
    if (!isUsableMovement(dx, dy, dz))
        return;
    if (Session* s = mConnection.session())
        s->roster().moveClient(float(dx), float(dy), float(dz), clientName.c_str());
}

void ClientEnd::turn(double w, double x, double y, double z, const StringPtr& clientName)
{
    if (!isUsableOrientation(w, x, y, z))
        return;
    if (Session* s = mConnection.session())
        s->roster().turnClient(unitOrientation(w, x, y, z), clientName.c_str());
}

void ClientEnd::confirmName(const StringPtr& name)
{
    Session* s = mConnection.session();
    // An empty name is no name: the server never gives one.
    if (s && name.length()) {
        s->confirmOwnName(name.c_str());
        // Let in: the others may now see what this user chose.
        if (s->ownMarks())
            mConnection.sendOwnMarks(s->ownMarks());
    }
}

// Each speaker through a decoder and a stream of its own: people talking at
// once are heard at once.
void ClientEnd::playVoice(const RefPtr<ByteBuffer>& data, const StringPtr& speaker)
{
    Session* s = mConnection.session();
    if (!s)
        return;
    s->speakerVoices().play(speaker.c_str(), data, s->roster());
    if (data)
        s->reportVoice(&mConnection, data);
    s->reportSpeaker(speaker.c_str());
}

void ClientEnd::playVoiceFrames(uint32_t codec, uint32_t sequence, bool endsSpurt, const RefPtr<ByteBuffer>& frames,
                                const StringPtr& speaker)
{
    Session* s = mConnection.session();
    std::vector<OpusFrameView> split;
    if (!s || codec != uint32_t(VoiceCodecId::Opus) || !splitVoiceFrames(frames, split))
        return;
    s->speakerVoices().playFrames(speaker.c_str(), sequence, endsSpurt, split, s->roster());
    if (!split.empty())
        s->reportSpeaker(speaker.c_str());
}

void ClientEnd::chat(const StringPtr& sender, const RefPtr<ByteBuffer>& data)
{
    // No user goes without a name: an empty one would pass for the
    // server's own words in the views.
    if (Session* s = mConnection.session())
        s->reportChat(sender.length() ? sender.c_str() : "?", chatText(data));
}

void ClientEnd::serverNotice(const RefPtr<ByteBuffer>& data)
{
    const std::string text = chatText(data);
    if (!text.empty())
        showServerText(text.c_str());
}

} // namespace seafold
