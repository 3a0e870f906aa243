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

// Key agreements: a host gets its limit at once and then one per
// 1000/limit ms; another host is not held back by it; all hosts together
// stop at the overall limit.
TEST(HandshakeGuard, KeyAgreementsStopAtTheLimitPerHostAndOverall)
{
    HandshakeGuard guard;
    const uint32_t start = 1000;
    auto host = [](uint32_t n) {
        NetAddress address = loopbackPort(28000);
        address.netNum[0] += n;
        return address;
    };
    auto admitted = [&](const NetAddress& from, uint32_t now, int tries) {
        int count = 0;
        for (int i = 0; i < tries; ++i)
            count += guard.admitKeyAgreement(from, now);
        return count;
    };
    const int perHost = HandshakeGuard::KeyAgreementsPerSecondPerHost;
    EXPECT_EQ(admitted(host(0), start, 3 * perHost), perHost);
    NetAddress otherPort = host(0);
    otherPort.port += 1;
    EXPECT_EQ(admitted(otherPort, start, 1), 0) << "a host's ports share its limit";
    EXPECT_EQ(admitted(host(1), start, 1), 1) << "another host is not held back";
    EXPECT_EQ(admitted(host(0), start + 1000 / perHost, 3), 1);

    // Hosts 2 onwards, each with its own limit: together they stop where
    // the overall limit does: less the perHost + 2 taken above, plus what
    // it earned in the 1000 / perHost ms since.
    const int overall = HandshakeGuard::KeyAgreementsPerSecond;
    int all = 0;
    for (uint32_t h = 2; h < 2 + 2 * overall / perHost; ++h)
        all += admitted(host(h), start + 1000 / perHost, perHost);
    EXPECT_EQ(all, overall - perHost - 2 + overall / perHost);
}
