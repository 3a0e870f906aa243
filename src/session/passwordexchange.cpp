#include "session/passwordexchange.h"
#include "session/endcode.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include "net/cpace.h"
#include "net/crypto.h"

#include <algorithm>

namespace seafold {

namespace {

const char ChannelLabel[] = "Seafold join password channel";

RefPtr<ByteBuffer> bufferOf(const uint8_t* data, size_t size)
{
    RefPtr<ByteBuffer> buffer = new ByteBuffer(uint32_t(size));
    std::copy(data, data + size, buffer->data());
    return buffer;
}

bool holds(const RefPtr<ByteBuffer>& buffer, size_t size)
{
    return buffer && buffer->size() == size;
}

} // namespace

PasswordExchange::PasswordExchange(SimpleEventConnection& connection) : mConnection(connection) {}

PasswordExchange::~PasswordExchange() = default;

bool PasswordExchange::channel(std::array<uint8_t, 32>* channel) const
{
    const RefPtr<ByteBuffer>& secret = mConnection.connectParams().sharedSecret;
    if (!mConnection.connectParams().usingCrypto || !secret || secret->size() == 0)
        return false;
    return hmacSha256(secret->data(), secret->size(), reinterpret_cast<const uint8_t*>(ChannelLabel),
                      sizeof ChannelLabel - 1, channel->data());
}

std::unique_ptr<CpaceExchange> PasswordExchange::start(const std::string& password) const
{
    std::array<uint8_t, 32> bound;
    if (password.empty() || !channel(&bound))
        return nullptr;
    const auto role = mConnection.connectParams().isInitiator ? CpaceExchange::Role::Client
                                                               : CpaceExchange::Role::Server;
    auto exchange = std::make_unique<CpaceExchange>(role, password, bound.data(), bound.size());
    return exchange->usable() ? std::move(exchange) : nullptr;
}

void PasswordExchange::ask()
{
    Session* s = mConnection.session();
    if (!s || s->settings().password.empty() || !speaksSeafold(mConnection))
        return;
    // Without a sealed connection there is nothing to bind the exchange
    // to: the join is refused when it comes.
    mExchange = start(s->settings().password);
    if (!mExchange)
        return;
    const CpaceExchange::Share& share = mExchange->share();
    mConnection.s2cPasswordRequired(bufferOf(share.data(), share.size()));
}

void PasswordExchange::answer(const RefPtr<ByteBuffer>& serverShare)
{
    Session* s = mConnection.session();
    if (!s || mExchange)
        return;
    // Only now, and only to this server, does the client answer at all.
    mExchange = start(s->settings().password);
    if (!mExchange) {
        mConnection.c2sPasswordAnswer(new ByteBuffer(0), new ByteBuffer(0)); // the server says what is missing
        return;
    }
    if (!holds(serverShare, CpaceExchange::ShareBytes) ||
        !mExchange->takeOtherShare(serverShare->data(), serverShare->size())) {
        if (ConnectionOwner* owner = mConnection.netInterface())
            owner->disconnect(&mConnection, ReasonSelfDisconnect, "The server's password exchange is malformed");
        return;
    }
    const CpaceExchange::Share& share = mExchange->share();
    const CpaceExchange::Tag tag = mExchange->ownTag();
    mAnswered = true;
    mConnection.c2sPasswordAnswer(bufferOf(share.data(), share.size()), bufferOf(tag.data(), tag.size()));
}

void PasswordExchange::receiveAnswer(const RefPtr<ByteBuffer>& clientShare, const RefPtr<ByteBuffer>& clientTag,
                                     const std::function<void(const std::string&)>& join)
{
    Session* s = mConnection.session();
    if (!s || mProven || !mExchange)
        return;
    if (!clientShare || clientShare->size() == 0) {
        s->reportNotice(mConnection.peerText() + " tried to join without the password; refused");
        mConnection.refuse(PasswordRequiredReason);
        return;
    }
    const uint32_t host = mConnection.address().netNum[0];
    if (!s->mayGuessPassword(host, mConnection.now())) {
        SF_LOG("LogSession", "%s: too many password guesses from this host; refused", mConnection.name());
        s->reportNotice("Password guess from " + mConnection.peerText() + " turned away unchecked: " +
                        std::to_string(Session::PasswordGuessesPerMinute) +
                        " wrong ones from that address in the last minute");
        mConnection.refuse("Too many password guesses from your address; wait a minute");
        return;
    }
    const bool good = holds(clientShare, CpaceExchange::ShareBytes) && holds(clientTag, CpaceExchange::TagBytes) &&
                      mExchange->takeOtherShare(clientShare->data(), clientShare->size()) &&
                      mExchange->checkOtherTag(clientTag->data(), clientTag->size());
    if (!good) {
        s->countWrongPasswordGuess(host, mConnection.now());
        SF_LOG("LogSession", "%s: wrong password", mConnection.name());
        s->reportNotice("Wrong password guess from " + mConnection.peerText() +
                        (mJoinHeld ? " (asking to join as \"" + mHeldJoinName + "\")" : std::string()));
        mConnection.refuse(WrongPasswordReason);
        return;
    }
    SF_LOG("LogSession", "%s: password proven", mConnection.name());
    mProven = true;
    const CpaceExchange::Tag tag = mExchange->ownTag();
    mConnection.s2cPasswordAccepted(bufferOf(tag.data(), tag.size()));
    mExchange.reset();
    if (mJoinHeld) {
        mJoinHeld = false;
        join(mHeldJoinName);
    }
}

namespace {
const char* const UnprovenServerReason =
    "The server did not prove that it knows the password: this may not be the server you meant";
}

void PasswordExchange::accepted(const RefPtr<ByteBuffer>& serverTag)
{
    if (!mExchange)
        return;
    const bool proven =
        holds(serverTag, CpaceExchange::TagBytes) && mExchange->checkOtherTag(serverTag->data(), serverTag->size());
    mExchange.reset();
    if (proven)
        return;
    // It took a guess it could not have checked: not the server we meant.
    if (ConnectionOwner* owner = mConnection.netInterface())
        owner->disconnect(&mConnection, ReasonSelfDisconnect, UnprovenServerReason);
}

bool PasswordExchange::letInAfterProof()
{
    // The exchange is kept from the answer until the server's tag checked
    // out; a server that lets the user in meanwhile never sent one.
    if (!mAnswered || !mExchange)
        return true;
    mExchange.reset();
    if (ConnectionOwner* owner = mConnection.netInterface())
        owner->disconnect(&mConnection, ReasonSelfDisconnect, UnprovenServerReason);
    return false;
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

} // namespace seafold
