// The join password, a call of version 1. The password never crosses the
// network: the client sends HMAC-SHA-256 keyed by it over the shared secret
// of the connection's key exchange, which only the two ends know, so a
// proof is good for this one connection only. The server holds the join
// until the proof arrives, counts every guess per source host (at most
// Session::PasswordGuessesPerMinute a minute) and logs it.
#include "session/connectiontrace.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include "net/crypto.h"

#include <algorithm>

namespace seafold {

bool SimpleEventConnection::passwordProof(const std::string& password, uint8_t proof[32])
{
    const RefPtr<ByteBuffer>& secret = connectParams().sharedSecret;
    if (!connectParams().usingCrypto || !secret || secret->size() == 0)
        return false;
    return hmacSha256(reinterpret_cast<const uint8_t*>(password.data()), password.size(), secret->data(),
                      secret->size(), proof);
}

void SimpleEventConnection::sendPasswordProof()
{
    Session* s = session();
    if (!s || !speaksSeafold(*this))
        return;
    uint8_t proof[32];
    const std::string& password = s->settings().password;
    const bool proven = !password.empty() && passwordProof(password, proof);
    RefPtr<ByteBuffer> data = new ByteBuffer(proven ? 32 : 0);
    if (proven)
        std::copy(proof, proof + 32, data->data());
    c2sPasswordProof(data);
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, c2sPasswordProof, GuaranteedOrdered, DirClientToServer,
                         (RefPtr<ByteBuffer> data))
{
    // Not traced: the proof is nobody's business, not even the event log's.
    Session* s = session();
    if (!s || mPasswordProven)
        return;
    const std::string& password = s->settings().password;
    if (password.empty())
        return; // a server without a password takes everyone
    if (!data || data->size() == 0) {
        SF_LOG("LogSession", "%s: joined without a password; refused", name());
        refuse("A password is required");
        return;
    }
    if (!s->takePasswordGuess(address().netNum[0], now())) {
        SF_LOG("LogSession", "%s: too many password guesses from this host; refused", name());
        refuse("Too many password guesses from your address; wait a minute");
        return;
    }
    uint8_t expected[32];
    if (data->size() != 32 || !passwordProof(password, expected) || !sameBytes(expected, data->data(), 32)) {
        SF_LOG("LogSession", "%s: wrong password", name());
        refuse("Wrong password");
        return;
    }
    SF_LOG("LogSession", "%s: password proven", name());
    mPasswordProven = true;
    if (mJoinHeld) {
        mJoinHeld = false;
        join(mHeldJoinName);
    }
}

} // namespace seafold
