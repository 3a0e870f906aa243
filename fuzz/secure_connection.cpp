// Arbitrary datagrams, and tampered copies of real sealed packets, into a
// server interface from the address of a client whose sealed connection is
// established. A datagram that is not byte for byte one the client sealed
// must change nothing: the connection stays up, no event runs, its received
// sequence stays where it was. Afterwards the client's real packets still
// arrive and every event in them runs once.
//
// Input: [how] (1 byte), [which] (1 byte), [at] (1 byte), then the bytes.
//   how % 4 == 0: the bytes are the datagram
//   how % 4 == 1: real packet `which` with the bytes XORed into it from byte `at` on
//   how % 4 == 2: real packet `which` cut to `at` bytes, then the bytes appended
//   how % 4 == 3: the first 3 bytes (the clear header) of real packet `which`, then the bytes
//   how & 4:      the datagram goes in twice
// The real packets, in order: data packets carrying events, a ping, an ack,
// and the client's sealed Disconnect (tampering with it must not end the
// connection either; itself, it is never delivered).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/netinterface.h"
#include "net/random.h"
#include "net/rpc.h"

using namespace seafold;

namespace {

using Bytes = std::vector<uint8_t>;

class FuzzConnection : public EventConnection {
public:
    uint32_t classGroup() const override { return NetClassGroupDefault; }

    SF_DECLARE_RPC(fzMove, double, double, double);
    SF_DECLARE_RPC(fzChat, StringPtr);
    SF_DECLARE_RPC(fzNote, uint32_t);

    uint32_t calls = 0;

    void sendPing() { sendPingPacket(); }
    void sendAck() { sendAckPacket(); }
};

SF_IMPLEMENT_RPC(FuzzConnection, fzMove, GuaranteedOrdered, DirAny, (double, double, double))
{
    ++calls;
}
SF_IMPLEMENT_RPC(FuzzConnection, fzChat, Guaranteed, DirAny, (StringPtr))
{
    ++calls;
}
SF_IMPLEMENT_RPC(FuzzConnection, fzNote, Unguaranteed, DirAny, (uint32_t))
{
    ++calls;
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

uint32_t gNow = 50000;

// The server side: a real interface whose outgoing datagrams (acks, challenge
// responses) are dropped here, and whose table the target fills by hand.
class FuzzInterface : public NetInterface {
public:
    explicit FuzzInterface(const NetAddress& bind) : NetInterface(bind) {}
    void sendTo(const NetAddress&, const BitStream&) override {}
    using NetInterface::addConnection;
    using NetInterface::removeConnection;
};

// The client side writes into memory.
class Recorder : public ConnectionOwner {
public:
    std::vector<Bytes> sent;
    uint32_t currentTime() const override { return gNow; }
    void sendTo(const NetAddress&, const BitStream& stream) override
    {
        sent.emplace_back(stream.data(), stream.data() + stream.bytePosition());
    }
    void startConnect(NetConnection*) override {}
    void disconnect(NetConnection*, uint32_t, const char*) override {}
};

const uint8_t SharedSecret[32] = {0x51, 0x7e, 0x2a, 0x90, 3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
                                  15,   16,   17,   18,   19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30};
const uint8_t SymmetricKey[16] = {0xc3, 0x11, 0x5d, 0x07, 0x99, 0x2b, 0x60, 0xfe,
                                  0x14, 0x8a, 0x3c, 0x71, 0xd0, 0x45, 0xe6, 0x2f};
const uint8_t InitVector[16] = {0x08, 0x6b, 0xa4, 0x1e, 0x77, 0xc9, 0x32, 0x5f,
                                0xe1, 0x0d, 0x96, 0x4a, 0xbb, 0x23, 0x6c, 0xf8};

void sealWith(NetConnection& connection, const Nonce& clientNonce, const Nonce& serverNonce)
{
    ConnectParams& params = connection.connectParams();
    params.usingCrypto = true;
    params.clientNonce = clientNonce;
    params.serverNonce = serverNonce;
    params.sharedSecret = new ByteBuffer(32);
    std::memcpy(params.sharedSecret->data(), SharedSecret, 32);
    std::memcpy(params.symmetricKey, SymmetricKey, 16);
    std::memcpy(params.initVector, InitVector, 16);
    connection.setSymmetricCipher(new SymmetricCipher(SymmetricKey, InitVector));
}

// Settles the event classes both sides number alike.
void agreeOnEvents(FuzzConnection& a, FuzzConnection& b)
{
    PacketStream request;
    a.writeConnectRequest(request);
    BitStream in(request.data(), request.bytePosition());
    const char* refusal = nullptr;
    check(b.readConnectRequest(in, &refusal));
    PacketStream again;
    b.writeConnectRequest(again);
    BitStream in2(again.data(), again.bytePosition());
    check(a.readConnectRequest(in2, &refusal));
}

// The Disconnect the client's interface would send, sealed with the shared secret.
Bytes sealedDisconnect(const Nonce& clientNonce, const Nonce& serverNonce)
{
    PacketStream out;
    out.writeU8(NetInterface::Disconnect);
    clientNonce.write(out);
    serverNonce.write(out);
    uint32_t sealFrom = out.bytePosition();
    out.setBytePosition(sealFrom);
    out.writeText("Leaving");
    RefPtr<ByteBuffer> secret = new ByteBuffer(32);
    std::memcpy(secret->data(), SharedSecret, 32);
    RefPtr<SymmetricCipher> cipher = new SymmetricCipher(secret);
    appendDigestAndEncrypt(out, SealDigestBytes, sealFrom, cipher);
    return Bytes(out.data(), out.data() + out.bytePosition());
}

void deliver(NetInterface& to, const NetAddress& from, Bytes bytes)
{
    bytes.push_back(0); // data() stays valid for an empty datagram; not part of it
    BitStream stream(bytes.data(), uint32_t(bytes.size() - 1));
    to.dispatchPacket(from, stream);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FuzzInterface* server = [] {
        setDebugOutput([](const char*) {});
        NetAddress bind(IPProtocol, LocalhostAddress, 0); // any free port
        auto* made = new FuzzInterface(bind);
        made->setTimeSource([] { return gNow; });
        return made;
    }();
    if (size < 3 || size > 3 + 1500)
        return 0;
    const uint8_t how = data[0], which = data[1], at = data[2];
    const uint8_t* bytes = data + 3;
    const size_t count = size - 3;

    const uint8_t seed[4] = {'f', 'z', 's', 'c'};
    Random::setFixedSeed(seed, sizeof seed);
    NetAddress clientAddress;
    clientAddress.parse("127.0.0.1:40404");
    Nonce clientNonce, serverNonce;
    clientNonce.getRandom();
    serverNonce.getRandom();

    RefPtr<Recorder> recorder = new Recorder;
    RefPtr<FuzzConnection> client = new FuzzConnection;
    RefPtr<FuzzConnection> victim = new FuzzConnection;
    agreeOnEvents(*client, *victim);
    client->setInterface(recorder);
    client->setAddress(server->boundAddress());
    client->setInitialReceiveSequence(victim->initialSendSequence());
    sealWith(*client, clientNonce, serverNonce);
    client->setState(Connected);
    client->setRoleFlag(NetConnection::ConnectionToServer);

    victim->setAddress(clientAddress);
    victim->setInterface(server);
    victim->setInitialReceiveSequence(client->initialSendSequence());
    sealWith(*victim, clientNonce, serverNonce);
    server->addConnection(victim);
    victim->setState(Connected);
    victim->setRoleFlag(NetConnection::ConnectionToClient);

    // The client's real packets: four data packets with five events, a ping
    // and an ack (header only), then its Disconnect.
    client->fzMove(1, 2, 3);
    client->fzChat(StringPtr("hello"));
    client->sendStep(true, gNow);
    client->fzNote(7);
    client->sendStep(true, gNow);
    client->fzMove(4, 5, 6);
    client->sendStep(true, gNow);
    client->fzChat(StringPtr("bye"));
    client->sendStep(true, gNow);
    const uint32_t expectedCalls = 5;
    const size_t dataPackets = recorder->sent.size();
    check(dataPackets == 4);
    client->sendPing();
    client->sendAck();
    std::vector<Bytes> real = recorder->sent;
    real.push_back(sealedDisconnect(clientNonce, serverNonce));

    // The datagram the input describes.
    const Bytes& base = real[which % real.size()];
    Bytes datagram;
    switch (how % 4) {
    case 0:
        datagram.assign(bytes, bytes + count);
        break;
    case 1:
        datagram = base;
        for (size_t i = 0; i < count && at + i < datagram.size(); ++i)
            datagram[at + i] ^= bytes[i];
        break;
    case 2:
        datagram.assign(base.begin(), base.begin() + long(std::min<size_t>(at, base.size())));
        datagram.insert(datagram.end(), bytes, bytes + count);
        break;
    default:
        datagram.assign(base.begin(), base.begin() + 3);
        datagram.insert(datagram.end(), bytes, bytes + count);
        break;
    }
    if (datagram.size() > 1500)
        datagram.resize(1500);

    bool genuine = false;
    for (const Bytes& r : real)
        genuine = genuine || r == datagram;
    const uint32_t receivedBefore = victim->lastReceivedSequence();
    const int times = (how & 4) ? 2 : 1;
    for (int i = 0; i < times; ++i)
        deliver(*server, clientAddress, datagram);
    gNow += 3;

    if (!genuine) {
        check(victim->state() == Connected);
        check(server->findConnection(clientAddress) == victim.get());
        check(victim->calls == 0);
        check(victim->lastReceivedSequence() == receivedBefore);
    }

    // The client's own packets still get through, each event once.
    if (victim->state() == Connected) {
        for (size_t i = 0; i < dataPackets; ++i)
            deliver(*server, clientAddress, real[i]);
        check(victim->state() == Connected);
        check(genuine || victim->calls == expectedCalls);
        check(victim->calls <= expectedCalls);
    }
    if (server->findConnection(clientAddress) == victim.get())
        server->removeConnection(victim);
    return 0;
}
