// The reset token: a client of a server restarted with the same key hears of
// it at once; no other answer ends a connection; a server that still has the
// connection never answers; a peer of version 0 never holds a token and is
// never asked or answered; answers are few and small. Two real interfaces on
// loopback, a settable clock, and a filter that records (and may drop) every
// datagram sent.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "net/crypto.h"
#include "net/eventconnection.h"
#include "net/netinterface.h"
#include "nettestutil.h"

using namespace seafold;

namespace {

// A class of version 1 in the default group, so that a peer offering only
// version 0 meets this one at a version border.
class ResetLater : public NetEvent {
    SF_DECLARE_CLASS(ResetLater)
public:
    ResetLater() : NetEvent(GuaranteedOrdered, DirAny) {}
    void pack(EventConnection*, BitStream&) override {}
    void unpack(EventConnection*, BitStream&) override {}
    void process(EventConnection*) override {}
};
NetClassRepInstance<ResetLater> ResetLater::dynClassRep("ResetLater", NetClassGroupDefaultMask, NetClassTypeEvent, 1);

class ResetConnection : public EventConnection {
    SF_DECLARE_CLASS(ResetConnection)
public:
    uint32_t classGroup() const override { return NetClassGroupDefault; }
    void onDisconnected(uint32_t reason, const char* message) override
    {
        endReason = message ? message : "";
        EventConnection::onDisconnected(reason, message);
    }
    std::string endReason;
};
SF_IMPLEMENT_NETCONNECTION(ResetConnection);

struct Recorder : PacketFilter {
    std::vector<std::vector<uint8_t>> sent;
    bool dropAll = false;
    NetResult filterSend(Socket& socket, const NetAddress& to, const uint8_t* data, uint32_t length) override
    {
        sent.emplace_back(data, data + length);
        return dropAll ? Success : socket.sendRaw(to, data, length);
    }
    std::vector<std::vector<uint8_t>> ofType(uint8_t type) const
    {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& bytes : sent)
            if (!bytes.empty() && bytes[0] == type)
                out.push_back(bytes);
        return out;
    }
};

// A server that accepts only version 0, like a peer of the older program.
class OldPeerServer : public NetInterface {
public:
    using NetInterface::NetInterface;
    bool old = false;

protected:
    void prepareIncomingConnection(NetConnection* connection) override
    {
        if (old)
            static_cast<EventConnection*>(connection)->setHighestClassVersion(0);
    }
};

struct World {
    test::TestClock clock{70000};
    RefPtr<AsymmetricKey> key = new AsymmetricKey(32);
    Recorder clientWire, serverWire[2];
    int incarnation = 0;
    RefPtr<OldPeerServer> server;
    RefPtr<NetInterface> client;
    RefPtr<ResetConnection> connection;

    explicit World(bool oldClient = false, bool sealed = true, bool oldServer = false)
    {
        setDebugOutput([](const char*) {});
        NetAddress bind(IPProtocol, LocalhostAddress, 0);
        client = new NetInterface(bind);
        client->setTimeSource(clock.source());
        client->setAsksForKeyExchange(sealed);
        client->socket().setPacketFilter(&clientWire);
        startServer(bind, key, oldServer);
        connection = new ResetConnection;
        if (oldClient)
            connection->setHighestClassVersion(0);
        connection->connect(client, server->boundAddress());
        run(2000, 1, [&] { return connection->isEstablished() && !server->connections().empty(); });
    }
    ~World()
    {
        client->socket().setPacketFilter(nullptr);
        if (server)
            server->socket().setPacketFilter(nullptr);
        setDebugOutput(nullptr);
    }
    void startServer(const NetAddress& bind, AsymmetricKey* serverKey, bool oldServer = false)
    {
        server = new OldPeerServer(bind);
        server->old = oldServer;
        server->setTimeSource(clock.source());
        if (serverKey)
            server->setPrivateKey(serverKey);
        server->setResetTokens(1);
        server->socket().setPacketFilter(&serverWire[incarnation]);
    }
    // The server dies without a word and comes back on its address, with
    // its key read back from its exported form, or with another key.
    void crashAndRestart(bool sameKey = true)
    {
        const NetAddress address = server->boundAddress();
        serverWire[0].dropAll = true; // its last words never leave
        server = nullptr;
        incarnation = 1;
        RefPtr<AsymmetricKey> restored =
            sameKey ? new AsymmetricKey(key->privateKey()->data(), key->privateKey()->size()) : new AsymmetricKey(32);
        startServer(address, restored);
        ASSERT_TRUE(server->socket().isValid());
    }
    bool run(uint32_t passes, uint32_t stepMs, const std::function<bool()>& done)
    {
        return test::pump({server.get(), client.get()}, clock, passes, stepMs, done);
    }
    // A query as the client would send it, from the client's socket.
    void sendQuery(uint32_t length = NetInterface::ResetQueryBytes)
    {
        PacketStream out;
        out.writeU8(NetInterface::ResetQuery);
        connection->connectParams().clientNonce.write(out);
        connection->connectParams().serverNonce.write(out);
        const uint8_t zeros[64] = {};
        if (length > out.bytePosition())
            out.writeBytes(length - out.bytePosition(), zeros);
        out.setBytePosition(length);
        client->sendTo(server->boundAddress(), out);
    }
};

TEST(ResetToken, AClientOfAServerRestartedWithItsKeyIsToldAtOnceAndJoinsAgain)
{
    World w;
    ASSERT_TRUE(w.connection->isEstablished());
    ASSERT_TRUE(w.connection->hasResetToken());
    w.crashAndRestart();
    const uint32_t restarted = w.clock.now;
    ASSERT_TRUE(w.run(3000, 10, [&] { return !w.connection->isEstablished(); }));
    EXPECT_EQ(w.connection->endReason, NetInterface::ServerForgotReason);
    // Told by the answer, long before the silence limit would have.
    EXPECT_LT(w.clock.now - restarted,
              uint32_t(NetInterface::ResetQuerySilenceMs + 2 * NetInterface::ResetQueryEveryMs));
    RefPtr<ResetConnection> again = new ResetConnection;
    again->connect(w.client, w.server->boundAddress());
    EXPECT_TRUE(w.run(2000, 1, [&] { return again->isEstablished(); }));
}

TEST(ResetToken, AnAnswerThatIsNotTheTokenEndsNothing)
{
    World w;
    ASSERT_TRUE(w.connection->hasResetToken());
    // A stranger's guess, from the server's own address.
    PacketStream forged;
    forged.writeU8(NetInterface::ResetAnswer);
    const uint8_t guess[NetInterface::ResetTokenBytes] = {1, 2, 3};
    forged.writeBytes(sizeof guess, guess);
    w.server->sendTo(w.client->boundAddress(), forged);
    // A server restarted with another key answers with a token of its own.
    w.crashAndRestart(false);
    w.run(200, 10, [] { return false; });
    EXPECT_FALSE(w.serverWire[1].ofType(NetInterface::ResetAnswer).empty());
    EXPECT_TRUE(w.connection->isEstablished());
}

TEST(ResetToken, AServerThatStillHasTheConnectionNeverAnswers)
{
    World w;
    ASSERT_TRUE(w.connection->isEstablished());
    for (int i = 0; i < 3; ++i)
        w.sendQuery();
    w.run(50, 10, [] { return false; });
    EXPECT_TRUE(w.serverWire[0].ofType(NetInterface::ResetAnswer).empty());
    EXPECT_TRUE(w.connection->isEstablished());
    EXPECT_FALSE(w.server->connections().empty());
}

TEST(ResetToken, AVersionZeroPeerNeverHoldsATokenAndNeverAsksOrIsAnswered)
{
    struct Case {
        bool oldClient, oldServer;
    } cases[] = {{true, false}, {false, true}};
    for (const Case& c : cases) {
        World w(c.oldClient, true, c.oldServer);
        ASSERT_TRUE(w.connection->isEstablished());
        EXPECT_FALSE(w.connection->hasResetToken());
        w.crashAndRestart();
        w.run(300, 10, [] { return false; });
        EXPECT_TRUE(w.clientWire.ofType(NetInterface::ResetQuery).empty());
        EXPECT_TRUE(w.serverWire[1].ofType(NetInterface::ResetAnswer).empty());
        EXPECT_TRUE(w.connection->isEstablished()) << c.oldClient << c.oldServer;
    }
}

TEST(ResetToken, TheTokenRidesOnlyInASealedAcceptToAVersionOnePeer)
{
    // Accept sizes: version 1 sealed, version 0 sealed, version 1 unsealed.
    World v1, v0(true), unsealed(false, false);
    const auto size = [](const World& w) { return w.serverWire[0].ofType(NetInterface::ConnectAccept).at(0).size(); };
    EXPECT_EQ(size(v1), size(v0) + NetInterface::ResetTokenBytes);
    EXPECT_FALSE(unsealed.connection->hasResetToken());
}

TEST(ResetToken, AnswersAreFewPerSourceAndNeverLargerThanTheQuery)
{
    World w;
    w.crashAndRestart();
    // The client's own questions stay out of the count.
    w.client->socket().setPacketFilter(nullptr);
    for (int i = 0; i < 20; ++i)
        w.sendQuery();
    w.sendQuery(NetInterface::ResetQueryBytes - 1); // too short: never answered
    w.server->receivePackets();
    const auto answers = w.serverWire[1].ofType(NetInterface::ResetAnswer);
    EXPECT_EQ(answers.size(), size_t(HandshakeGuard::ResetAnswersPerSecondPerSource));
    for (const auto& answer : answers)
        EXPECT_LE(answer.size(), size_t(NetInterface::ResetQueryBytes));
    // A second later the source may be answered again.
    w.clock.now += 1000;
    w.sendQuery();
    w.server->receivePackets();
    EXPECT_EQ(w.serverWire[1].ofType(NetInterface::ResetAnswer).size(), answers.size() + 1);
}

} // namespace
