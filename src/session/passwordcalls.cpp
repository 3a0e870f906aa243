// The join password, calls of version 1. The password never crosses the
// network, and nothing that does lets anyone test guesses offline: the two
// ends run a password-authenticated key exchange (PasswordExchange) bound
// to this connection's own key exchange.
//
//   s2cPasswordRequired  server -> client, once the connection is up, only
//                        when the server has a password: the server's share
//   c2sPasswordAnswer    client -> server, only in answer to it: the
//                        client's share and tag (both empty without a
//                        password)
//   s2cPasswordAccepted  server -> client, when the client's tag was good:
//                        the server's tag, which the client checks
//
// The server holds the join until the answer is good, counts every guess
// per source host (at most Session::PasswordGuessesPerMinute a minute) and
// tells its operator of every wrong one.
#include "session/connectiontrace.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include "net/crypto.h"
#include "net/passwordexchange.h"

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

bool SimpleEventConnection::passwordChannel(std::array<uint8_t, 32>* channel)
{
    const RefPtr<ByteBuffer>& secret = connectParams().sharedSecret;
    if (!connectParams().usingCrypto || !secret || secret->size() == 0)
        return false;
    return hmacSha256(secret->data(), secret->size(), reinterpret_cast<const uint8_t*>(ChannelLabel),
                      sizeof ChannelLabel - 1, channel->data());
}

std::unique_ptr<PasswordExchange> SimpleEventConnection::startPasswordExchange(const std::string& password)
{
    std::array<uint8_t, 32> channel;
    if (password.empty() || !passwordChannel(&channel))
        return nullptr;
    const auto role = connectParams().isInitiator ? PasswordExchange::Role::Client : PasswordExchange::Role::Server;
    auto exchange = std::make_unique<PasswordExchange>(role, password, channel.data(), channel.size());
    return exchange->usable() ? std::move(exchange) : nullptr;
}

void SimpleEventConnection::askForPassword()
{
    Session* s = session();
    if (!s || s->settings().password.empty() || !speaksSeafold(*this))
        return;
    // Without a sealed connection there is nothing to bind the exchange
    // to: the join is refused when it comes.
    mPasswordExchange = startPasswordExchange(s->settings().password);
    if (!mPasswordExchange)
        return;
    const PasswordExchange::Share& share = mPasswordExchange->share();
    s2cPasswordRequired(bufferOf(share.data(), share.size()));
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cPasswordRequired, GuaranteedOrdered, DirServerToClient,
                         (RefPtr<ByteBuffer> serverShare))
{
    trace("s2cPasswordRequired", serverShare);
    Session* s = session();
    if (!s || mPasswordExchange)
        return;
    // Only now, and only to this server, does the client answer at all.
    mPasswordExchange = startPasswordExchange(s->settings().password);
    if (!mPasswordExchange) {
        c2sPasswordAnswer(new ByteBuffer(0), new ByteBuffer(0)); // the server says what is missing
        return;
    }
    if (!holds(serverShare, PasswordExchange::ShareBytes) ||
        !mPasswordExchange->takeOtherShare(serverShare->data(), serverShare->size())) {
        if (ConnectionOwner* owner = netInterface())
            owner->disconnect(this, ReasonSelfDisconnect, "The server's password exchange is malformed");
        return;
    }
    const PasswordExchange::Share& share = mPasswordExchange->share();
    const PasswordExchange::Tag tag = mPasswordExchange->ownTag();
    c2sPasswordAnswer(bufferOf(share.data(), share.size()), bufferOf(tag.data(), tag.size()));
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, c2sPasswordAnswer, GuaranteedOrdered, DirClientToServer,
                         (RefPtr<ByteBuffer> clientShare, RefPtr<ByteBuffer> clientTag))
{
    // Traced: what crosses the network here is nobody's secret.
    trace("c2sPasswordAnswer", clientShare, clientTag);
    Session* s = session();
    if (!s || mPasswordProven || !mPasswordExchange)
        return;
    if (!clientShare || clientShare->size() == 0) {
        s->reportNotice(peerText() + " tried to join without the password; refused");
        refuse("A password is required");
        return;
    }
    if (!s->takePasswordGuess(address().netNum[0], now())) {
        SF_LOG("LogSession", "%s: too many password guesses from this host; refused", name());
        refuse("Too many password guesses from your address; wait a minute");
        return;
    }
    const bool good = holds(clientShare, PasswordExchange::ShareBytes) && holds(clientTag, PasswordExchange::TagBytes) &&
                      mPasswordExchange->takeOtherShare(clientShare->data(), clientShare->size()) &&
                      mPasswordExchange->checkOtherTag(clientTag->data(), clientTag->size());
    if (!good) {
        SF_LOG("LogSession", "%s: wrong password", name());
        s->reportNotice("Wrong password guess from " + peerText() +
                        (mJoinHeld ? " (asking to join as \"" + mHeldJoinName + "\")" : std::string()));
        refuse("Wrong password");
        return;
    }
    SF_LOG("LogSession", "%s: password proven", name());
    mPasswordProven = true;
    const PasswordExchange::Tag tag = mPasswordExchange->ownTag();
    s2cPasswordAccepted(bufferOf(tag.data(), tag.size()));
    mPasswordExchange.reset();
    if (mJoinHeld) {
        mJoinHeld = false;
        join(mHeldJoinName);
    }
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cPasswordAccepted, GuaranteedOrdered, DirServerToClient,
                         (RefPtr<ByteBuffer> serverTag))
{
    trace("s2cPasswordAccepted", serverTag);
    if (!mPasswordExchange)
        return;
    const bool proven = holds(serverTag, PasswordExchange::TagBytes) &&
                        mPasswordExchange->checkOtherTag(serverTag->data(), serverTag->size());
    mPasswordExchange.reset();
    if (proven)
        return;
    // It took a guess it could not have checked: not the server we meant.
    if (ConnectionOwner* owner = netInterface())
        owner->disconnect(this, ReasonSelfDisconnect,
                          "The server did not prove that it knows the password: this may not be the server you meant");
}

} // namespace seafold
