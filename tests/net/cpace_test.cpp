// The join password's key exchange: the right password agrees, a wrong one
// does not, and neither a rogue server nor a rogue client can test guesses
// against a recorded exchange.
#include "net/cpace.h"

#include <gtest/gtest.h>

#include <vector>

namespace seafold {
namespace {

using Role = CpaceExchange::Role;

const std::vector<uint8_t> Channel(32, 0x5A);
const std::vector<uint8_t> OtherChannel(32, 0xA5);

// What crossed the network in one exchange.
struct Recorded {
    CpaceExchange::Share serverShare{};
    CpaceExchange::Share clientShare{};
    CpaceExchange::Tag clientTag{};
    bool serverAccepted = false;
    CpaceExchange::Tag serverTag{};
    bool clientAccepted = false;
};

Recorded runExchange(CpaceExchange& client, CpaceExchange& server)
{
    Recorded r;
    r.serverShare = server.share();
    EXPECT_TRUE(client.takeOtherShare(r.serverShare.data(), r.serverShare.size()));
    r.clientShare = client.share();
    r.clientTag = client.ownTag();
    EXPECT_TRUE(server.takeOtherShare(r.clientShare.data(), r.clientShare.size()));
    r.serverAccepted = server.checkOtherTag(r.clientTag.data(), r.clientTag.size());
    // The server answers with its tag only when the client's was good.
    if (r.serverAccepted) {
        r.serverTag = server.ownTag();
        r.clientAccepted = client.checkOtherTag(r.serverTag.data(), r.serverTag.size());
    }
    return r;
}

struct AgreementCase {
    const char* fault;
    const char* clientPassword;
    const char* serverPassword;
    const std::vector<uint8_t>* clientChannel;
    bool agree;
};

const AgreementCase AgreementCases[] = {
    {"the right password refused", "hunter2", "hunter2", &Channel, true},
    {"a wrong password taken", "hunter3", "hunter2", &Channel, false},
    {"a password that differs in case taken", "Hunter2", "hunter2", &Channel, false},
    {"an exchange relayed onto another connection taken", "hunter2", "hunter2", &OtherChannel, false},
};

TEST(CpaceExchange, OnlyTheSamePasswordOnTheSameChannelAgrees)
{
    for (const AgreementCase& c : AgreementCases) {
        SCOPED_TRACE(c.fault);
        CpaceExchange client(Role::Client, c.clientPassword, c.clientChannel->data(), c.clientChannel->size());
        CpaceExchange server(Role::Server, c.serverPassword, Channel.data(), Channel.size());
        ASSERT_TRUE(client.usable() && server.usable());
        Recorded r = runExchange(client, server);
        EXPECT_EQ(r.serverAccepted, c.agree);
        EXPECT_EQ(r.clientAccepted, c.agree);
    }
}

TEST(CpaceExchange, SharesOfOnePasswordDifferEveryTime)
{
    // A share that depended on the password alone would be a hash to test
    // guesses against.
    CpaceExchange a(Role::Client, "hunter2", Channel.data(), Channel.size());
    CpaceExchange b(Role::Client, "hunter2", Channel.data(), Channel.size());
    EXPECT_NE(a.share(), b.share());
}

TEST(CpaceExchange, ASharePuttingTheKeyAtTheIdentityIsRefused)
{
    CpaceExchange server(Role::Server, "hunter2", Channel.data(), Channel.size());
    const CpaceExchange::Share identity{};
    EXPECT_FALSE(server.takeOtherShare(identity.data(), identity.size()));
    const CpaceExchange::Tag anything{};
    EXPECT_FALSE(server.checkOtherTag(anything.data(), anything.size()));
}

const char* const Guesses[] = {"123456", "password", "hunter1", "hunter2", "letmein"};

TEST(CpaceExchange, ARogueServerCannotTestGuessesAgainstARecordedExchange)
{
    // The rogue server does not know the password. It commits to one guess
    // in its share (it has to pick a generator), keeps its scalar, and
    // records what the honest client sends.
    CpaceExchange::Scalar roguesScalar{};
    roguesScalar[0] = 7;
    CpaceExchange rogue(Role::Server, "dragon", Channel.data(), Channel.size(), roguesScalar);
    CpaceExchange client(Role::Client, "hunter2", Channel.data(), Channel.size());
    Recorded r = runExchange(client, rogue);
    EXPECT_FALSE(r.serverAccepted);
    // Offline: the one key it can compute (its scalar times the client's
    // share) does not give the client's tag, and neither does a new
    // exchange for each guess with the same scalar fed the recorded share.
    // The real password must not stand out.
    std::array<uint8_t, 64> key;
    ASSERT_TRUE(CpaceExchange::sessionKey(roguesScalar, r.clientShare, r.clientShare, r.serverShare,
                                             Channel.data(), Channel.size(), &key));
    EXPECT_NE(CpaceExchange::tagOf(Role::Client, key, r.clientShare, r.serverShare), r.clientTag);
    for (const char* guess : Guesses) {
        SCOPED_TRACE(guess);
        CpaceExchange replay(Role::Server, guess, Channel.data(), Channel.size(), roguesScalar);
        ASSERT_TRUE(replay.takeOtherShare(r.clientShare.data(), r.clientShare.size()));
        EXPECT_FALSE(replay.checkOtherTag(r.clientTag.data(), r.clientTag.size()));
    }
}

TEST(CpaceExchange, ARogueClientCannotTestGuessesAgainstARecordedExchange)
{
    // The rogue client sends a guess; the server refuses it without a tag,
    // so all the client holds is the server's share, which it can test only
    // by computing keys that nothing recorded can confirm.
    CpaceExchange::Scalar roguesScalar{};
    roguesScalar[0] = 9;
    CpaceExchange rogue(Role::Client, "dragon", Channel.data(), Channel.size(), roguesScalar);
    CpaceExchange server(Role::Server, "hunter2", Channel.data(), Channel.size());
    Recorded r = runExchange(rogue, server);
    ASSERT_FALSE(r.serverAccepted);
    EXPECT_EQ(r.serverTag, CpaceExchange::Tag{}); // nothing to test against
    // Even given a server tag from an exchange it could record (the rogue
    // listening to an honest client's successful one), keys for its guesses
    // do not produce it.
    CpaceExchange honest(Role::Client, "hunter2", Channel.data(), Channel.size());
    CpaceExchange server2(Role::Server, "hunter2", Channel.data(), Channel.size());
    Recorded overheard = runExchange(honest, server2);
    ASSERT_TRUE(overheard.clientAccepted);
    for (const char* guess : Guesses) {
        SCOPED_TRACE(guess);
        CpaceExchange replay(Role::Client, guess, Channel.data(), Channel.size(), roguesScalar);
        ASSERT_TRUE(replay.takeOtherShare(overheard.serverShare.data(), overheard.serverShare.size()));
        EXPECT_FALSE(replay.checkOtherTag(overheard.serverTag.data(), overheard.serverTag.size()));
    }
}

} // namespace
} // namespace seafold
