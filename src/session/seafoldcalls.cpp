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
    trace("s2cYourName", name);
    mClientEnd.confirmName(name);
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, c2sPasswordProof, GuaranteedOrdered, DirClientToServer,
                         (RefPtr<ByteBuffer> data))
{
    // Not traced: the proof is nobody's business, not even the event log's.
    mPassword.receiveProof(data, [this](const std::string& name) { mMembership.join(name); });
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

} // namespace seafold
