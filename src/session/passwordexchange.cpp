#include "session/passwordexchange.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include "net/crypto.h"

#include <algorithm>

namespace seafold {

bool PasswordExchange::proof(const std::string& password, uint8_t proof[32])
{
    const RefPtr<ByteBuffer>& secret = mConnection.connectParams().sharedSecret;
    if (!mConnection.connectParams().usingCrypto || !secret || secret->size() == 0)
        return false;
    return hmacSha256(reinterpret_cast<const uint8_t*>(password.data()), password.size(), secret->data(),
                      secret->size(), proof);
}

void PasswordExchange::sendProof()
{
    Session* s = mConnection.session();
    if (!s || !speaksSeafold(mConnection))
        return;
    uint8_t bytes[32];
    const std::string& password = s->settings().password;
    const bool proven = !password.empty() && proof(password, bytes);
    RefPtr<ByteBuffer> data = new ByteBuffer(proven ? 32 : 0);
    if (proven)
        std::copy(bytes, bytes + 32, data->data());
    mConnection.c2sPasswordProof(data);
}

bool PasswordExchange::mustProve() const
{
    Session* s = mConnection.session();
    return s && !s->settings().password.empty() && !mProven;
}

void PasswordExchange::holdJoin(const std::string& name)
{
    mJoinHeld = true;
    mHeldJoinName = name;
}

void PasswordExchange::receiveProof(const RefPtr<ByteBuffer>& data, const std::function<void(const std::string&)>& join)
{
    Session* s = mConnection.session();
    if (!s || mProven)
        return;
    const std::string& password = s->settings().password;
    if (password.empty())
        return; // a server without a password takes everyone
    if (!data || data->size() == 0) {
        SF_LOG("LogSession", "%s: joined without a password; refused", mConnection.name());
        mConnection.refuse("A password is required");
        return;
    }
    if (!s->takePasswordGuess(mConnection.address().netNum[0], mConnection.now())) {
        SF_LOG("LogSession", "%s: too many password guesses from this host; refused", mConnection.name());
        mConnection.refuse("Too many password guesses from your address; wait a minute");
        return;
    }
    uint8_t expected[32];
    if (data->size() != 32 || !proof(password, expected) || !sameBytes(expected, data->data(), 32)) {
        SF_LOG("LogSession", "%s: wrong password", mConnection.name());
        mConnection.refuse("Wrong password");
        return;
    }
    SF_LOG("LogSession", "%s: password proven", mConnection.name());
    mProven = true;
    if (mJoinHeld) {
        mJoinHeld = false;
        join(mHeldJoinName);
    }
}

} // namespace seafold
