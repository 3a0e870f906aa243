// The calls of version 1 (wireversion.h), each handed to the part that owns
// it: a peer of the first wire version neither sends nor receives them.
#include "session/connectiontrace.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

namespace seafold {

// ---- Opus voice: unguaranteed on purpose (voicesender.h) ----

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, c2sVoiceFrames, Unguaranteed, DirClientToServer,
                         (uint32_t codec, uint32_t sequence, bool endsSpurt, RefPtr<ByteBuffer> frames))
{
    trace("c2sVoiceFrames", codec, sequence, endsSpurt, frames);
    mVoiceIn.receiveFrames(codec, sequence, endsSpurt, frames);
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cVoiceFrames, Unguaranteed, DirServerToClient,
                         (uint32_t codec, uint32_t sequence, bool endsSpurt, RefPtr<ByteBuffer> frames,
                          StringPtr speaker))
{
    trace("s2cVoiceFrames", codec, sequence, endsSpurt, frames, speaker);
    mClientEnd.playVoiceFrames(codec, sequence, endsSpurt, frames, speaker);
}

// ---- orientation (orientationcoalescer.h) ----

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, c2sOrientation, GuaranteedOrdered, DirClientToServer,
                         (double w, double x, double y, double z))
{
    trace("c2sOrientation", w, x, y, z);
    mRelays.turn(w, x, y, z);
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cOrientation, GuaranteedOrdered, DirServerToClient,
                         (double w, double x, double y, double z, StringPtr clientName))
{
    trace("s2cOrientation", w, x, y, z, clientName);
    mClientEnd.turn(w, x, y, z, clientName);
}

// ---- identity and the join password ----

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cYourName, GuaranteedOrdered, DirServerToClient, (StringPtr name))
{
    if (!mPassword.letInAfterProof())
        return;
    // Confirmed before it is told, so that whoever hears of it finds the
    // client let in (its "Connected" comes before the roster's lines).
    mClientEnd.confirmName(name);
    trace("s2cYourName", name);
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cUserMarks, GuaranteedOrdered, DirServerToClient,
                         (StringPtr name, uint32_t marks))
{
    mClientEnd.mark(name, marks);
    trace("s2cUserMarks", name, marks);
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, c2sOwnMarks, GuaranteedOrdered, DirClientToServer, (uint32_t marks))
{
    trace("c2sOwnMarks", marks);
    mRelays.mark(marks);
}

// Traced: what crosses the network here is nobody's secret.

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cPasswordRequired, GuaranteedOrdered, DirServerToClient,
                         (RefPtr<ByteBuffer> serverShare))
{
    trace("s2cPasswordRequired", serverShare);
    mPassword.answer(serverShare);
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, c2sPasswordAnswer, GuaranteedOrdered, DirClientToServer,
                         (RefPtr<ByteBuffer> clientShare, RefPtr<ByteBuffer> clientTag))
{
    trace("c2sPasswordAnswer", clientShare, clientTag);
    mPassword.receiveAnswer(clientShare, clientTag, [this](const std::string& name) { mMembership.join(name); });
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cPasswordAccepted, GuaranteedOrdered, DirServerToClient,
                         (RefPtr<ByteBuffer> serverTag))
{
    trace("s2cPasswordAccepted", serverTag);
    mPassword.accepted(serverTag);
}

// ---- chat (chat.h) ----

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, c2sChat, GuaranteedOrdered, DirClientToServer,
                         (RefPtr<ByteBuffer> data))
{
    trace("c2sChat", data);
    mChat.receive(data);
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cChat, GuaranteedOrdered, DirServerToClient,
                         (StringPtr sender, RefPtr<ByteBuffer> data))
{
    trace("s2cChat", sender, data);
    mClientEnd.chat(sender, data);
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cServerNotice, GuaranteedOrdered, DirServerToClient,
                         (RefPtr<ByteBuffer> data))
{
    trace("s2cServerNotice", data);
    mClientEnd.serverNotice(data);
}

} // namespace seafold
