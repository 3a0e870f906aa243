// The join password: a password-authenticated exchange on the sealed
// connection; nothing that crosses it lets anyone test a guess.
#include "sessiontestutil.h"

#include "net/crypto.h"
#include "net/cpace.h"

#include <algorithm>
#include <array>

#include <cstring>

namespace seafold::test {
namespace {

constexpr const char* Secret = "correct horse battery staple";

struct PasswordTest : SessionTest {
    RefPtr<AsymmetricKey> serverKey = new AsymmetricKey(32);
    // What the server received in each password answer, in plain (the
    // call's arguments as its handler got them), with the connection's
    // channel.
    struct Answer {
        std::vector<uint8_t> share, tag;
        std::array<uint8_t, 32> channel{};
    };
    std::vector<Answer> answers;
    std::vector<std::string> notices; // the server operator's

    void SetUp() override
    {
        SessionTest::SetUp();
        setServerPassword(Secret);
        server().netInterface->setPrivateKey(serverKey);
        server().netInterface->setRequiresKeyExchange(true);
        SessionListener listener;
        listener.onRpc = [this](const char* rpc, const Json& args) {
            if (std::string(rpc) != "c2sPasswordAnswer")
                return;
            Answer answer;
            answer.share = bytesOf(args[0].get<std::string>());
            answer.tag = bytesOf(args[1].get<std::string>());
            for (const RefPtr<NetConnection>& connection : server().netInterface->connections())
                if (auto* c = dynamic_cast<SimpleEventConnection*>(connection.get()))
                    c->passwordChannel(&answer.channel);
            answers.push_back(answer);
        };
        listener.onNotice = [this](const std::string& text) { notices.push_back(text); };
        server().session.subscribe(std::move(listener));
    }
    void setServerPassword(const std::string& password)
    {
        SessionSettings settings;
        settings.password = password;
        server().session.setSettings(settings);
    }
    static std::vector<uint8_t> bytesOf(const std::string& hex)
    {
        std::vector<uint8_t> out;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
        return out;
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
        peer.join(server());
        run(800, [&] { return !peer.states.empty() && peer.states.back() != "connected"; });
        settle();
        return peer;
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

// What the server's handler gets, decrypted: the plaintext of the proof.
TEST_F(PasswordTest, WhatAnHonestServerReceivesDoesNotHoldThePassword)
{
    Peer& a = joinWith("alice", Secret);
    EXPECT_EQ(a.states.back(), "connected");
    EXPECT_TRUE(a.toServer()->passwordAnswered());
    ASSERT_EQ(answers.size(), 1u);
    const Answer& answer = answers[0];
    ASSERT_EQ(answer.share.size(), CpaceExchange::ShareBytes);
    ASSERT_EQ(answer.tag.size(), CpaceExchange::TagBytes);
    const std::string secret = Secret;
    for (const std::vector<uint8_t>* field : {&answer.share, &answer.tag})
        EXPECT_EQ(std::search(field->begin(), field->end(), secret.begin(), secret.end()), field->end());
}

// The test plays a rogue server that holds its own secret scalar: it asks
// with its one guess, keeps the user's answer, and then tries guesses
// against it offline. Only the guess it asked with can tell it anything.
TEST_F(PasswordTest, ARogueServerCanTestNoGuessButTheOneItAskedWith)
{
    setServerPassword(""); // the server's own code asks nothing: the test asks
    struct Case {
        const char* fault;
        const char* askedWith;
    };
    const Case cases[] = {{"the rogue's own guess does not check out (the test proves nothing)", Secret},
                          {"a guess other than the one asked with checks out offline", "dragon"}};
    CpaceExchange::Scalar roguesScalar{};
    roguesScalar[0] = 11;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        answers.clear();
        Peer& a = joinWith("alice", Secret);
        SimpleEventConnection* toAlice = server().roster.find("alice")->connection;
        ASSERT_NE(toAlice, nullptr);
        std::array<uint8_t, 32> channel;
        ASSERT_TRUE(toAlice->passwordChannel(&channel));
        CpaceExchange rogue(CpaceExchange::Role::Server, c.askedWith, channel.data(), channel.size(), roguesScalar);
        RefPtr<ByteBuffer> share = new ByteBuffer(uint32_t(CpaceExchange::ShareBytes));
        std::copy(rogue.share().begin(), rogue.share().end(), share->data());
        toAlice->s2cPasswordRequired(share);
        ASSERT_TRUE(settle());
        ASSERT_EQ(answers.size(), 1u);
        const Answer& answer = answers[0];
        ASSERT_EQ(answer.channel, channel);
        for (const char* guess : {Secret, "dragon", "hunter2"}) {
            SCOPED_TRACE(guess);
            CpaceExchange replay(CpaceExchange::Role::Server, guess, channel.data(), channel.size(), roguesScalar);
            ASSERT_TRUE(replay.takeOtherShare(answer.share.data(), answer.share.size()));
            const bool checks = replay.checkOtherTag(answer.tag.data(), answer.tag.size());
            EXPECT_EQ(checks, std::string(guess) == c.askedWith && std::string(guess) == Secret);
        }
        a.netInterface = nullptr;
        settle();
    }
}

// A server that asked for the password and lets the user in without its
// own tag could not check the answer: not the server the user meant.
TEST_F(PasswordTest, AServerThatAskedLetsTheUserInOnlyAfterProvingItKnewThePassword)
{
    setServerPassword(""); // the test asks, as a server that does not know it
    Peer& a = joinWith("alice", Secret);
    SimpleEventConnection* toAlice = server().roster.find("alice")->connection;
    ASSERT_NE(toAlice, nullptr);
    std::array<uint8_t, 32> channel;
    ASSERT_TRUE(toAlice->passwordChannel(&channel));
    CpaceExchange rogue(CpaceExchange::Role::Server, "dragon", channel.data(), channel.size());
    RefPtr<ByteBuffer> share = new ByteBuffer(uint32_t(CpaceExchange::ShareBytes));
    std::copy(rogue.share().begin(), rogue.share().end(), share->data());
    toAlice->s2cPasswordRequired(share);
    toAlice->s2cYourName(StringPtr("alice"));
    ASSERT_TRUE(settle());
    EXPECT_EQ(a.states.back(), "disconnected");
    EXPECT_NE(a.reasons.back().find("did not prove that it knows the password"), std::string::npos)
        << a.reasons.back();
}

// An exchange made for one connection fails on any other (someone in the
// middle relaying it between two key exchanges of their own): each
// connection's two ends bind it to the same bytes, no two connections to
// the same.
TEST_F(PasswordTest, EachConnectionBindsTheExchangeToItsOwnKeyExchange)
{
    Peer& a = joinWith("alice", Secret);
    Peer& b = joinWith("bob", Secret);
    std::array<uint8_t, 32> aClient, bClient, aServer, bServer;
    ASSERT_TRUE(a.toServer()->passwordChannel(&aClient) && b.toServer()->passwordChannel(&bClient));
    ASSERT_TRUE(server().roster.find("alice")->connection->passwordChannel(&aServer));
    ASSERT_TRUE(server().roster.find("bob")->connection->passwordChannel(&bServer));
    EXPECT_EQ(aClient, aServer);
    EXPECT_EQ(bClient, bServer);
    EXPECT_NE(aClient, bClient);
}

TEST_F(PasswordTest, AClientAnswersOnlyAServerThatAsked)
{
    setServerPassword("");
    Peer& a = joinWith("alice", Secret);
    EXPECT_EQ(a.states.back(), "connected");
    EXPECT_EQ(server().roster.size(), 1u);
    EXPECT_TRUE(a.callsNamed("s2cPasswordRequired").empty());
    EXPECT_TRUE(answers.empty());
    EXPECT_FALSE(a.toServer()->passwordAnswered()); // the window says nothing of checking it
}

TEST_F(PasswordTest, AWrongGuessReachesTheOperator)
{
    joinWith("mallory", "wrong");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("Wrong password guess from 127.0.0.1"), std::string::npos) << notices[0];
    EXPECT_NE(notices[0].find("\"mallory\""), std::string::npos) << notices[0];
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
        // Nor the server's tag: a wrong guess earns the refusal alone.
        EXPECT_TRUE(mallory.callsNamed("s2cPasswordAccepted").empty());
        EXPECT_EQ(server().roster.size(), 1u);
    }
    EXPECT_TRUE(a.callsNamed("s2cIntroduceNewClient").empty()); // nobody joined
}

// A peer of version 0 cannot be asked: it is refused, and the operator
// hears of it as of a wrong guess.
TEST_F(PasswordTest, AnOlderPeerIsRefusedAndTheOperatorTold)
{
    peers.push_back(std::make_unique<Peer>("old", false, clock));
    Peer& old = *peers.back();
    old.netInterface->setRequiresKeyExchange(true);
    old.join(server(), WireVersionBase);
    run(800, [&] { return !old.states.empty() && old.states.back() != "connected"; });
    EXPECT_EQ(old.reasons.back(), "A password is required");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("\"old\") cannot be asked for the password"), std::string::npos) << notices[0];
}

// What a client sends right behind its join (a model, a first movement)
// reaches the server before the password's round trip ends: it runs once
// the user is in, not lost while the join waited.
TEST_F(PasswordTest, CallsSentBehindAHeldJoinRunOnceTheUserIsIn)
{
    peers.push_back(std::make_unique<Peer>("alice", false, clock));
    Peer& a = *peers.back();
    SessionSettings settings;
    settings.password = Secret;
    a.session.setSettings(settings);
    a.netInterface->setRequiresKeyExchange(true);
    a.join(server());
    a.toServer()->c2sEntitySelection(StringPtr("boat.mesh"));
    ASSERT_TRUE(a.toServer()->sendMovement(1.0, 0.0, -2.0));
    ASSERT_TRUE(settle());
    ASSERT_EQ(server().roster.size(), 1u);
    const ClientRecord& alice = server().roster[0];
    EXPECT_EQ(alice.entityName, "boat.mesh");
    EXPECT_EQ(alice.offsetX, 1.0);
    EXPECT_EQ(alice.offsetZ, -2.0);
}

TEST_F(PasswordTest, GuessesAreLimitedPerHostAMinute)
{
    // Users who know the password spend none of the host's guesses: several
    // on one machine, or one joining again and again, keep joining.
    for (size_t i = 0; i <= Session::PasswordGuessesPerMinute; ++i) {
        Peer& knows = joinWith("knows" + std::to_string(i), Secret);
        EXPECT_EQ(knows.states.back(), "connected") << i;
        knows.netInterface = nullptr;
        settle();
    }
    notices.clear();
    for (size_t i = 0; i < Session::PasswordGuessesPerMinute; ++i) {
        Peer& guesser = joinWith("guess" + std::to_string(i), "wrong");
        EXPECT_EQ(guesser.reasons.back(), "Wrong password");
    }
    // The sixth guess in the minute is not even tried, right or wrong.
    Peer& late = joinWith("late", Secret);
    EXPECT_EQ(late.reasons.back(), "Too many password guesses from your address; wait a minute");
    // The operator hears of it as of every guess.
    ASSERT_EQ(notices.size(), Session::PasswordGuessesPerMinute + 1);
    EXPECT_NE(notices.back().find("turned away unchecked"), std::string::npos) << notices.back();
    EXPECT_EQ(server().roster.size(), 0u);
    clock.now += 60000;
    Peer& patient = joinWith("patient", Secret);
    EXPECT_EQ(patient.states.back(), "connected");
    EXPECT_EQ(server().roster.size(), 1u);
}

} // namespace
} // namespace seafold::test
