// Secure sessions in one process: a blind spoofer who knows a client's
// address and port sends movements in its name with every sequence number,
// and a client pins the server's key. Loopback, settable clock; forged
// datagrams go in through the server's dispatchPacket as if they came from
// the client's address.
#include "sessiontestutil.h"

#include <algorithm>
#include <memory>

using namespace seafold;
using seafold::test::Clock;
using seafold::test::Peer;

namespace {

using Bytes = std::vector<uint8_t>;

size_t countOf(const Peer& peer, const std::string& call)
{
    return size_t(std::count(peer.calls.begin(), peer.calls.end(), call));
}

struct SecureSession : ::testing::Test {
    Clock clock;
    std::unique_ptr<Peer> server, alice;
    RefPtr<AsymmetricKey> serverKey;

    // A server (with a key pair when `secure`) and alice, joining.
    void start(bool secure, const std::string& pinnedKey = "")
    {
        server = std::make_unique<Peer>("server", true, clock);
        alice = std::make_unique<Peer>("alice", false, clock);
        if (secure) {
            serverKey = new AsymmetricKey(32);
            server->netInterface->setPrivateKey(serverKey);
            server->netInterface->setRequiresKeyExchange(true);
            alice->netInterface->setRequiresKeyExchange(true);
        }
        SessionSettings settings;
        settings.serverKeyFingerprint = pinnedKey;
        alice->session.setSettings(settings);
        alice->join(*server);
    }
    void stop()
    {
        alice.reset();
        server.reset();
    }
    bool run(uint32_t rounds, const std::function<bool()>& done)
    {
        for (uint32_t i = 0; i < rounds; ++i) {
            for (Peer* p : {server.get(), alice.get()})
                p->netInterface->receivePackets();
            for (Peer* p : {server.get(), alice.get()})
                p->netInterface->serviceConnections();
            if (done())
                return true;
            clock.now += 20;
        }
        return false;
    }
    bool joined()
    {
        return run(800, [&] { return server->roster.size() == 1 && !alice->states.empty(); });
    }
    SimpleEventConnection* aliceAtServer() const
    {
        auto& list = server->netInterface->connections();
        return list.empty() ? nullptr : static_cast<SimpleEventConnection*>(list[0].get());
    }
};

// Stands in for the interface of a connection that only writes packets.
class PacketRecorder : public ConnectionOwner {
public:
    std::vector<Bytes> sent;
    uint32_t currentTime() const override { return 1; }
    void sendTo(const NetAddress&, const BitStream& stream) override
    {
        sent.emplace_back(stream.data(), stream.data() + stream.bytePosition());
    }
    void startConnect(NetConnection*) override {}
    void disconnect(NetConnection*, uint32_t, const char*) override {}
};

// What a blind spoofer sends in alice's name: a data packet carrying three
// movements of (100, 0, 0), written by a connection of its own, with the
// sequence number and acknowledgement put into the clear header bytes
// (least significant bit first: type 2, sequence bits 0-4, marker, sequence
// bits 5-10, acknowledgement 10). The movements take the ordered event
// numbers 0 to 2; the server expects 2 after alice's join and her password
// proof (empty: she has none).
Bytes spoofedMovementPacket(bool sealedConnection)
{
    RefPtr<PacketRecorder> recorder = new PacketRecorder;
    RefPtr<SimpleEventConnection> forger = new SimpleEventConnection;
    forger->setInterface(recorder);
    // The event classes both sides number alike, as the handshake settles them.
    PacketStream request;
    forger->writeConnectRequest(request);
    BitStream in(request.data(), request.bytePosition());
    const char* refusal = nullptr;
    EXPECT_TRUE(forger->readConnectRequest(in, &refusal));
    forger->setInitialReceiveSequence(0);
    forger->setState(Connected);
    forger->setRoleFlag(NetConnection::ConnectionToServer);
    forger->c2smakeMovement(100, 0, 0);
    forger->c2smakeMovement(100, 0, 0);
    forger->c2smakeMovement(100, 0, 0);
    forger->sendStep(true, 1);
    Bytes packet = recorder->sent.at(0);
    if (sealedConnection)
        packet.insert(packet.end(), SealDigestBytes, 0x5A); // a digest it cannot compute
    return packet;
}

void setClearHeader(Bytes& packet, uint32_t sequence, uint32_t ack)
{
    uint32_t bits =
        (packet[0] & 3) | (sequence & 0x1F) << 2 | 1u << 7 | ((sequence >> 5) & 0x3F) << 8 | (ack & 0x3FF) << 14;
    packet[0] = uint8_t(bits);
    packet[1] = uint8_t(bits >> 8);
    packet[2] = uint8_t(bits >> 16);
}

} // namespace

// The spoofing seen from outside: 21,000 datagrams sweeping the sequence
// numbers got one accepted, which then moved alice's model in her name or
// ended her connection. Here every sequence number is tried with the
// acknowledgement that passes. Unsealed, the server takes the forged
// movement as alice's; sealed, the connection stays up, no call runs and
// alice's own movement still arrives.
TEST_F(SecureSession, SpoofedMovementsWithEverySequenceNumberRunOnlyWithoutSealing)
{
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "sealed" : "unsealed");
        start(secure);
        ASSERT_TRUE(joined());
        RefPtr<SimpleEventConnection> victim = aliceAtServer();
        ASSERT_TRUE(victim);
        ASSERT_EQ(victim->symmetricCipher() != nullptr, secure);
        const size_t callsBefore = server->calls.size();
        const uint32_t ack = victim->lastSentSequence();

        Bytes forged = spoofedMovementPacket(secure);
        for (uint32_t sequence = 0; sequence < 2048; ++sequence) {
            Bytes datagram = forged;
            setClearHeader(datagram, sequence, ack);
            datagram.push_back(0); // keeps data() valid past the end; not part of the datagram
            BitStream stream(datagram.data(), uint32_t(datagram.size() - 1));
            server->netInterface->dispatchPacket(victim->address(), stream);
        }

        if (!secure) {
            EXPECT_GE(countOf(*server, "c2smakeMovement [100.0, 0.0, 0.0]"), 1u);
        } else {
            EXPECT_EQ(server->calls.size(), callsBefore);
            EXPECT_EQ(victim->state(), Connected);
            EXPECT_EQ(server->netInterface->connections().size(), 1u);
            EXPECT_EQ(victim->stats().packetsRejected, 32u);
            alice->toServer()->c2smakeMovement(1, 2, 3);
            ASSERT_TRUE(run(400, [&] { return countOf(*server, "c2smakeMovement [1.0, 2.0, 3.0]") == 1; }));
            EXPECT_EQ(countOf(*server, "c2smakeMovement [100.0, 0.0, 0.0]"), 0u);
            EXPECT_EQ(victim->state(), Connected);
        }
        stop();
    }
}

TEST_F(SecureSession, APinnedKeyLetsTheRightServerInAndRefusesAnyOther)
{
    start(true);
    ASSERT_TRUE(joined());
    RefPtr<AsymmetricKey> pinned = serverKey;
    const std::string real = keyFingerprint(pinned);
    ASSERT_EQ(alice->states.at(0), "connected");
    stop();

    // Pinned and shown: accepted. Any other key is refused at once, with
    // both fingerprints, and nothing is left on either side.
    for (bool rightKey : {true, false}) {
        SCOPED_TRACE(rightKey ? "right key" : "other key");
        start(true, real);
        RefPtr<AsymmetricKey> shown = rightKey ? pinned : serverKey;
        server->netInterface->setPrivateKey(shown);
        run(800, [&] { return !alice->states.empty(); });
        ASSERT_EQ(alice->states.size(), 1u);
        if (rightKey) {
            EXPECT_EQ(alice->states[0], "connected");
        } else {
            EXPECT_EQ(alice->states[0], "failed");
            const std::string& reason = alice->reasons[0];
            EXPECT_NE(reason.find("is " + keyFingerprint(shown) + ", not " + real + " as given with --server-key"),
                      std::string::npos)
                << reason;
            EXPECT_EQ(alice->toServer(), nullptr);
            EXPECT_TRUE(server->netInterface->connections().empty());
            EXPECT_TRUE(alice->netInterface->pendingConnections().empty());
        }
        stop();
    }
}
