// The join password: proven over the sealed connection's secret, never sent.
#include "sessiontestutil.h"

#include "net/crypto.h"

#include <cstring>

namespace seafold::test {
namespace {

constexpr const char* Secret = "correct horse battery staple";

// Keeps a copy of every datagram a socket sends, and sends it.
struct Tap : PacketFilter {
    std::vector<std::vector<uint8_t>>& wire;
    explicit Tap(std::vector<std::vector<uint8_t>>& into) : wire(into) {}
    NetResult filterSend(Socket& socket, const NetAddress& destination, const uint8_t* data, uint32_t length) override
    {
        wire.emplace_back(data, data + length);
        return socket.sendRaw(destination, data, length);
    }
};

struct PasswordTest : SessionTest {
    RefPtr<AsymmetricKey> serverKey = new AsymmetricKey(32);
    std::vector<std::vector<uint8_t>> wire; // every datagram the clients sent
    std::vector<std::unique_ptr<Tap>> taps;

    void TearDown() override
    {
        for (auto& peer : peers)
            if (peer->netInterface)
                peer->netInterface->socket().setPacketFilter(nullptr);
    }
    void SetUp() override
    {
        SessionTest::SetUp();
        SessionSettings settings;
        settings.password = Secret;
        server().session.setSettings(settings);
        server().netInterface->setPrivateKey(serverKey);
        server().netInterface->setRequiresKeyExchange(true);
    }
    // A sealed client with `password` that tries to join.
    Peer& joinWith(const std::string& name, const std::string& password)
    {
        peers.push_back(std::make_unique<Peer>(name, false, clock));
        Peer& peer = *peers.back();
        SessionSettings settings;
        settings.password = password;
        peer.session.setSettings(settings);
        peer.netInterface->setRequiresKeyExchange(true);
        taps.push_back(std::make_unique<Tap>(wire));
        peer.netInterface->socket().setPacketFilter(taps.back().get());
        peer.join(server());
        run(800, [&] { return !peer.states.empty() && peer.states.back() != "connected"; });
        settle();
        return peer;
    }
    bool onWire(const std::string& text) const
    {
        for (const auto& datagram : wire)
            if (std::search(datagram.begin(), datagram.end(), text.begin(), text.end()) != datagram.end())
                return true;
        return false;
    }
};

TEST(PasswordProof, HmacSha256MatchesThePublishedVector)
{
    // RFC 4231, test case 2.
    const char* key = "Jefe";
    const char* data = "what do ya want for nothing?";
    const uint8_t expected[32] = {0x5b, 0xdc, 0xc1, 0x46, 0xbf, 0x60, 0x75, 0x4e, 0x6a, 0x04, 0x24,
                                  0x26, 0x08, 0x95, 0x75, 0xc7, 0x5a, 0x00, 0x3f, 0x08, 0x9d, 0x27,
                                  0x39, 0x83, 0x9d, 0xec, 0x58, 0xb9, 0x64, 0xec, 0x38, 0x43};
    uint8_t mac[32];
    ASSERT_TRUE(hmacSha256(reinterpret_cast<const uint8_t*>(key), 4, reinterpret_cast<const uint8_t*>(data),
                           std::strlen(data), mac));
    EXPECT_EQ(std::memcmp(mac, expected, 32), 0);
}

TEST_F(PasswordTest, TheRightPasswordJoinsAndTheSecretNeverCrossesTheWire)
{
    Peer& a = joinWith("alice", Secret);
    ASSERT_EQ(server().roster.size(), 1u);
    EXPECT_EQ(a.states.back(), "connected");
    EXPECT_FALSE(wire.empty());
    EXPECT_FALSE(onWire(Secret));
    EXPECT_FALSE(onWire("horse"));
}

TEST_F(PasswordTest, AWrongOrMissingPasswordLearnsNothingOfTheSession)
{
    Peer& a = joinWith("alice", Secret);
    ASSERT_EQ(server().roster.size(), 1u);
    a.toServer()->c2sEntitySelection(StringPtr("boat.mesh"));
    ASSERT_TRUE(settle());
    struct Case {
        const char* password;
        const char* reason;
    };
    const Case cases[] = {{"wrong", "Wrong password"}, {"", "A password is required"}};
    for (const Case& c : cases) {
        Peer& mallory = joinWith("mallory", c.password);
        EXPECT_EQ(mallory.states.back(), "disconnected") << c.password;
        EXPECT_EQ(mallory.reasons.back(), c.reason);
        EXPECT_TRUE(mallory.callsNamed("s2cIntroduceNewClient").empty()); // no roster
        EXPECT_TRUE(mallory.callsNamed("s2cEntityNotify").empty());
        EXPECT_EQ(server().roster.size(), 1u);
    }
    EXPECT_TRUE(a.callsNamed("s2cIntroduceNewClient").empty()); // nobody joined
}

TEST_F(PasswordTest, GuessesAreLimitedPerHostAMinute)
{
    for (size_t i = 0; i < Session::PasswordGuessesPerMinute; ++i) {
        Peer& guesser = joinWith("guess" + std::to_string(i), "wrong");
        EXPECT_EQ(guesser.reasons.back(), "Wrong password");
    }
    // The sixth guess in the minute is not even tried, right or wrong.
    Peer& late = joinWith("late", Secret);
    EXPECT_EQ(late.reasons.back(), "Too many password guesses from your address; wait a minute");
    EXPECT_EQ(server().roster.size(), 0u);
    clock.now += 60000;
    Peer& patient = joinWith("patient", Secret);
    EXPECT_EQ(patient.states.back(), "connected");
    EXPECT_EQ(server().roster.size(), 1u);
}

} // namespace
} // namespace seafold::test
