// What a server keeps for peers that have proven nothing yet: the identity
// token's secret and the allowance of challenge answers per source.
#include <gtest/gtest.h>

#include "net/handshake.h"

using namespace seafold;

namespace {

NetAddress loopbackPort(uint16_t port)
{
    NetAddress address;
    address.transport = IPProtocol;
    address.netNum[0] = 0x7F000001;
    address.port = port;
    return address;
}

Nonce nonceOf(uint8_t fill)
{
    Nonce nonce;
    for (auto& byte : nonce.data)
        byte = fill;
    return nonce;
}

} // namespace

// A client that got its challenge just before the secret changed must still
// be let in; a token must not outlive a second change (one minute at most).
TEST(HandshakeGuard, TokenCountsAcrossOneSecretChangeButNotTwo)
{
    HandshakeGuard guard;
    const NetAddress address = loopbackPort(28000);
    const Nonce nonce = nonceOf(7);
    const uint32_t token = guard.identityToken(address, nonce);
    const uint32_t step = PuzzleManager::NonceRefreshMs + 1;

    ASSERT_TRUE(guard.tick(step));
    EXPECT_TRUE(guard.isIdentityTokenValid(address, nonce, token));
    ASSERT_TRUE(guard.tick(2 * step));
    EXPECT_FALSE(guard.isIdentityTokenValid(address, nonce, token));
}

// A token shown from another address, or for another client nonce, is
// refused: otherwise one answered request would let a forger in anywhere.
TEST(HandshakeGuard, TokenIsRefusedForAnotherAddressOrNonce)
{
    HandshakeGuard guard;
    const NetAddress address = loopbackPort(28000);
    const Nonce nonce = nonceOf(7);
    const uint32_t token = guard.identityToken(address, nonce);
    ASSERT_TRUE(guard.isIdentityTokenValid(address, nonce, token));

    NetAddress otherHost = address;
    otherHost.netNum[0] = 0x7F000002;
    const struct {
        const char* what;
        NetAddress address;
        Nonce nonce;
    } cases[] = {
        {"other port", loopbackPort(28001), nonce},
        {"other host", otherHost, nonce},
        {"other nonce", address, nonceOf(8)},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(guard.isIdentityTokenValid(c.address, c.nonce, token)) << c.what;
}

// A source that was answered with more than its allowance is refused until
// the trickle has paid the debt back, and then answered again.
TEST(HandshakeGuard, SourceOverItsAllowanceIsRefusedUntilTheTrickleRepaysIt)
{
    HandshakeGuard guard;
    const NetAddress source = loopbackPort(28000);
    const uint32_t start = 1000;
    ASSERT_TRUE(guard.admitChallengeRequest(source, 10, start));
    // 100 bytes more than the full allowance.
    guard.chargeChallengeAnswer(source, HandshakeGuard::CreditMaxBytes + 100);

    // 100 bytes at 32 a second take over three seconds to earn back.
    EXPECT_FALSE(guard.admitChallengeRequest(source, 0, start));
    EXPECT_FALSE(guard.admitChallengeRequest(source, 0, start + 3000));
    EXPECT_TRUE(guard.admitChallengeRequest(source, 0, start + 3200));
}
