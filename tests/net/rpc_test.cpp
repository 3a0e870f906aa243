// Remote calls between two connections driven by hand (no sockets): the
// encodings bit by bit, the limits, dispatch to overrides and to the wrong
// connection class, and the reserved classes.
#include <gtest/gtest.h>

#include "eventtestutil.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/rpc.h"

using namespace seafold;
using seafold::test::establish;

namespace {

// Class group 3: the default group's ids stay those of the product.
constexpr uint32_t RpcGroup = 3;
constexpr uint32_t RpcMask = 1u << RpcGroup;

class RpcConnection : public EventConnection {
public:
    uint32_t classGroup() const override { return RpcGroup; }

    SF_DECLARE_RPC(rpcInts, int32_t, uint32_t);
    SF_DECLARE_RPC(rpcMove, double, double, double);
    SF_DECLARE_RPC(rpcVoice, bool, RefPtr<ByteBuffer>, StringPtr);
    SF_DECLARE_RPC(rpcList, std::vector<int32_t>, StringPtr);
    SF_DECLARE_RPC(rpcNone);
    SF_DECLARE_RPC(rpcToClient, StringPtr);

    std::vector<std::string> calls;
    std::vector<double> numbers;
    RefPtr<ByteBuffer> lastBytes;
    std::vector<int32_t> lastList;
    StringPtr lastText;
};

SF_IMPLEMENT_RPC_EX(RpcConnection, rpcInts, RpcMask, 0, GuaranteedOrdered, DirAny, (int32_t a, uint32_t b))
{
    calls.push_back("ints");
    numbers.push_back(a);
    numbers.push_back(b);
}

SF_IMPLEMENT_RPC_EX(RpcConnection, rpcMove, RpcMask, 0, GuaranteedOrdered, DirClientToServer,
                    (double dx, double dy, double dz))
{
    calls.push_back("move");
    numbers.insert(numbers.end(), {dx, dy, dz});
}

SF_IMPLEMENT_RPC_EX(RpcConnection, rpcVoice, RpcMask, 0, GuaranteedOrdered, DirAny,
                    (bool echo, RefPtr<ByteBuffer> data, StringPtr speaker))
{
    calls.push_back(echo ? "voice echo" : "voice");
    lastBytes = data;
    lastText = speaker;
}

SF_IMPLEMENT_RPC_EX(RpcConnection, rpcList, RpcMask, 0, Guaranteed, DirAny,
                    (std::vector<int32_t> values, StringPtr tag))
{
    calls.push_back("list");
    lastList = values;
    lastText = tag;
}

SF_IMPLEMENT_RPC_EX(RpcConnection, rpcNone, RpcMask, 0, Unguaranteed, DirAny, ())
{
    calls.push_back("none");
}

SF_IMPLEMENT_RPC_EX(RpcConnection, rpcToClient, RpcMask, 0, GuaranteedOrdered, DirServerToClient, (StringPtr text))
{
    calls.push_back("to client");
    lastText = text;
}

class LoudConnection : public RpcConnection {
public:
    void rpcNone_handler() override { calls.push_back("override"); }
};

// Same class group, no calls of its own; remembers where reading stopped.
class OtherConnection : public EventConnection {
public:
    uint32_t classGroup() const override { return RpcGroup; }
    void readPacket(BitStream& stream) override
    {
        EventConnection::readPacket(stream);
        readTo = stream.bitPosition();
    }
    uint32_t readTo = 0;
};

struct Packet {
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
};

// Writes one packet and hands its bytes to `to`; the packet counts as delivered.
Packet transfer(EventConnection& from, EventConnection& to, uint32_t targetSize = PacketStream::MaxPacketBytes)
{
    PacketStream out(targetSize);
    std::unique_ptr<NetConnection::PacketNotify> notify(from.allocNotify());
    from.writePacket(out, notify.get());
    Packet p;
    p.bits = out.bitPosition();
    p.bytes.assign(out.data(), out.data() + out.bytePosition());
    std::vector<uint8_t> copy = p.bytes;
    BitStream in(copy.data(), uint32_t(copy.size()));
    to.readPacket(in);
    from.packetDelivered(notify.get());
    return p;
}

// Expected bits, least significant first, as the stream lays them out.
struct Bits {
    std::vector<bool> bits;
    Bits& add(uint64_t value, uint32_t count)
    {
        for (uint32_t i = 0; i < count; ++i)
            bits.push_back((value >> i) & 1);
        return *this;
    }
    Bits& add(const BitStream& stream)
    {
        for (uint32_t i = 0; i < stream.bitPosition(); ++i)
            bits.push_back((stream.data()[i / 8] >> (i % 8)) & 1);
        return *this;
    }
};

std::vector<bool> bitsOf(const Packet& p)
{
    std::vector<bool> bits;
    for (uint32_t i = 0; i < p.bits; ++i)
        bits.push_back((p.bytes[i / 8] >> (i % 8)) & 1);
    return bits;
}

uint32_t idOf(const char* className)
{
    NetClassRep* rep = NetClassRep::findByName(className);
    EXPECT_NE(rep, nullptr) << className;
    return rep ? rep->classId(RpcGroup) : 0;
}

class RpcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        establish(client, server);
        // The hand-worked layouts below leave out the debug fields.
        client.connectParams().debugObjectSizes = false;
        server.connectParams().debugObjectSizes = false;
        idBits = client.eventClassBitSize();
    }
    RpcConnection client, server;
    uint32_t idBits = 0;
};

// ---- encodings, bit by bit ----------------------------------------------------------

TEST_F(RpcTest, IntegersAreThirtyTwoRawBitsEach)
{
    ASSERT_TRUE(client.rpcInts(-2, 0x12345678u));
    Packet p = transfer(client, server);
    Bits expected;
    expected
        .add(0, 1) // no unordered events
        .add(1, 1)
        .add(0, 1)
        .add(0, 7)                                      // ordered event, full sequence 0
        .add(idOf("RPC_RpcConnection_rpcInts"), idBits) // class id
        .add(0xFFFFFFFEu, 32)                           // S32 -2
        .add(0x12345678u, 32)                           // U32
        .add(0, 1);                                     // end of ordered events
    EXPECT_EQ(bitsOf(p), expected.bits);
    EXPECT_EQ(server.calls, (std::vector<std::string>{"ints"}));
    EXPECT_EQ(server.numbers, (std::vector<double>{-2.0, double(0x12345678u)}));
}

TEST_F(RpcTest, DoublesAreTheirSixtyFourIeeeBits)
{
    ASSERT_TRUE(client.rpcMove(1.0, -2.5, 0.0));
    Packet p = transfer(client, server);
    Bits expected;
    expected.add(0, 1)
        .add(1, 1)
        .add(0, 1)
        .add(0, 7)
        .add(idOf("RPC_RpcConnection_rpcMove"), idBits)
        .add(0x3FF0000000000000ull, 64)
        .add(0xC004000000000000ull, 64)
        .add(0, 64)
        .add(0, 1);
    EXPECT_EQ(bitsOf(p), expected.bits);
    EXPECT_EQ(server.numbers, (std::vector<double>{1.0, -2.5, 0.0}));
}

TEST_F(RpcTest, FlagBytesAndNullTextLayout)
{
    RefPtr<ByteBuffer> data = new ByteBuffer(2);
    data->data()[0] = 0xAB;
    data->data()[1] = 0x01;
    ASSERT_TRUE(client.rpcVoice(true, data, StringPtr()));
    Packet p = transfer(client, server);

    BitStream emptyText; // the text coding of "" at the start of a packet
    emptyText.writeText("");
    Bits expected;
    expected.add(0, 1)
        .add(1, 1)
        .add(0, 1)
        .add(0, 7)
        .add(idOf("RPC_RpcConnection_rpcVoice"), idBits)
        .add(1, 1)  // bool
        .add(2, 10) // byte count
        .add(0xAB, 8)
        .add(0x01, 8)
        .add(emptyText) // a null text goes as the empty text
        .add(0, 1);
    EXPECT_EQ(bitsOf(p), expected.bits);
    EXPECT_EQ(server.calls, (std::vector<std::string>{"voice echo"}));
    ASSERT_TRUE(server.lastBytes.isValid());
    ASSERT_EQ(server.lastBytes->size(), 2u);
    EXPECT_EQ(server.lastBytes->data()[0], 0xAB);
    EXPECT_FALSE(server.lastText.isNull());
    EXPECT_STREQ(server.lastText.c_str(), "");
}

TEST_F(RpcTest, EmptyAndNullBuffersAreTenZeroBitsAndArriveEmpty)
{
    ASSERT_TRUE(client.rpcVoice(false, new ByteBuffer(0), "a"));
    ASSERT_TRUE(client.rpcVoice(false, nullptr, "a"));
    transfer(client, server);
    ASSERT_EQ(server.calls.size(), 2u);
    ASSERT_TRUE(server.lastBytes.isValid());
    EXPECT_EQ(server.lastBytes->size(), 0u);

    RpcConnection sender;
    sender.connectParams().debugObjectSizes = false;
    RefPtr<RPCEvent> event = sender.rpcVoice_build(false, nullptr, StringPtr());
    BitStream out;
    event->pack(&sender, out);
    EXPECT_EQ(out.data()[0] & 0x1, 0); // the bool
    uint32_t afterFlag = 1;
    out.setBitPosition(afterFlag);
    EXPECT_EQ(out.readUnsigned(10), 0u);
}

TEST_F(RpcTest, CallWithoutParametersWritesOnlyItsEventHeader)
{
    ASSERT_TRUE(client.rpcNone());
    Packet p = transfer(client, server);
    Bits expected;
    expected.add(1, 1).add(idOf("RPC_RpcConnection_rpcNone"), idBits).add(0, 1).add(0, 1);
    EXPECT_EQ(bitsOf(p), expected.bits);
    EXPECT_EQ(server.calls, (std::vector<std::string>{"none"}));
}

TEST_F(RpcTest, ListOf255ElementsIsCountAndRawValues)
{
    std::vector<int32_t> values(255);
    for (int32_t i = 0; i < 255; ++i)
        values[i] = i * 1000 - 7;
    ASSERT_TRUE(client.rpcList(values, "tag"));
    Packet p = transfer(client, server);
    BitStream tag;
    tag.writeText("tag");
    Bits expected;
    expected.add(1, 1).add(idOf("RPC_RpcConnection_rpcList"), idBits).add(255, 8);
    for (int32_t v : values)
        expected.add(uint32_t(v), 32);
    expected.add(tag).add(0, 1).add(0, 1);
    EXPECT_EQ(bitsOf(p), expected.bits);
    EXPECT_EQ(server.lastList, values);
    EXPECT_STREQ(server.lastText.c_str(), "tag");
}

// ---- limits ------------------------------------------------------------------------

TEST_F(RpcTest, ArgumentsOverTheirLimitsAreRefusedByTheCaller)
{
    EXPECT_FALSE(client.rpcList(std::vector<int32_t>(256), "x"));
    EXPECT_FALSE(client.rpcVoice(false, new ByteBuffer(1024), "x"));
    EXPECT_TRUE(client.rpcVoice_build(false, new ByteBuffer(1024), "x").isNull());
    EXPECT_FALSE(client.isDataToTransmit());

    EXPECT_TRUE(client.rpcVoice(false, new ByteBuffer(1023), "x"));
    transfer(client, server);
    ASSERT_TRUE(server.lastBytes.isValid());
    EXPECT_EQ(server.lastBytes->size(), 1023u);
}

TEST_F(RpcTest, BufferThatGrowsAfterBuildingIsCutToWhatTheLengthCanSay)
{
    RefPtr<ByteBuffer> data = new ByteBuffer(4);
    RefPtr<RPCEvent> event = client.rpcVoice_build(false, data, "x");
    ASSERT_TRUE(event.isValid());
    ASSERT_TRUE(data->resize(1100));
    std::memset(data->data(), 0x33, 1100);
    ASSERT_TRUE(client.postEvent(event));
    transfer(client, server);
    EXPECT_EQ(server.errorText(), nullptr);
    ASSERT_TRUE(server.lastBytes.isValid());
    EXPECT_EQ(server.lastBytes->size(), 1023u);
    EXPECT_EQ(server.lastBytes->data()[1022], 0x33);
}

TEST_F(RpcTest, ByteCountBeyondThePacketEndsItWithoutCallingTheHandler)
{
    ASSERT_TRUE(client.rpcVoice(false, new ByteBuffer(300), "x"));
    PacketStream out;
    std::unique_ptr<NetConnection::PacketNotify> notify(client.allocNotify());
    client.writePacket(out, notify.get());
    BitStream in(out.data(), 100); // cut inside the bytes
    server.readPacket(in);
    ASSERT_NE(server.errorText(), nullptr);
    EXPECT_STREQ(server.errorText(), "Invalid Packet.");
    EXPECT_TRUE(server.calls.empty());
}

// ---- dispatch ----------------------------------------------------------------------------

TEST_F(RpcTest, HandlerOverriddenInADerivedClassIsTheOneCalled)
{
    LoudConnection loud;
    RpcConnection sender;
    establish(sender, loud);
    sender.rpcNone();
    transfer(sender, loud);
    EXPECT_EQ(loud.calls, (std::vector<std::string>{"override"}));
}

TEST_F(RpcTest, CallArrivingAtAnotherConnectionClassIsReadAndIgnored)
{
    OtherConnection other;
    RpcConnection sender;
    establish(sender, other);
    sender.rpcList({1, 2, 3}, "abc");
    sender.rpcInts(5, 6);
    Packet p = transfer(sender, other);
    EXPECT_EQ(other.errorText(), nullptr);
    EXPECT_EQ(other.readTo, p.bits);
}

TEST_F(RpcTest, OneBuiltEventCanBePostedOnSeveralConnections)
{
    RpcConnection otherServer, otherClient;
    establish(otherClient, otherServer);
    RefPtr<RPCEvent> event = server.rpcToClient_build("shared");
    ASSERT_TRUE(server.postEvent(event));
    ASSERT_TRUE(otherServer.postEvent(event));
    transfer(server, client);
    transfer(otherServer, otherClient);
    EXPECT_STREQ(client.lastText.c_str(), "shared");
    EXPECT_STREQ(otherClient.lastText.c_str(), "shared");
    EXPECT_EQ(event->refCount(), 1u); // both deliveries let go
}

TEST_F(RpcTest, DirectionOfADeclaredCallIsEnforced)
{
    ASSERT_TRUE(client.rpcToClient("wrong way"));
    transfer(client, server);
    ASSERT_NE(server.errorText(), nullptr);
    EXPECT_STREQ(server.errorText(), "Invalid Packet.");
    EXPECT_TRUE(server.calls.empty());
}

TEST_F(RpcTest, CallPostedBeforeTheConnectionIsUpWaitsInTheQueue)
{
    RpcConnection fresh;
    EXPECT_TRUE(fresh.rpcInts(1, 2));
    EXPECT_TRUE(fresh.isDataToTransmit());
    RpcConnection peer;
    establish(fresh, peer);
    transfer(fresh, peer);
    EXPECT_EQ(peer.calls, (std::vector<std::string>{"ints"}));
}

// ---- reserved classes and text handles ---------------------------------------------------

TEST(RpcReserved, GhostingClassesAreRegisteredInTheDefaultGroup)
{
    NetClassRep::initialize();
    for (const char* name : {"RPC_GhostConnection_rpcEndGhosting", "RPC_GhostConnection_rpcReadyForNormalGhosts",
                             "RPC_GhostConnection_rpcStartGhosting"}) {
        NetClassRep* rep = NetClassRep::findByName(name);
        ASSERT_NE(rep, nullptr) << name;
        EXPECT_EQ(rep->groupMask(), 1u);
        EXPECT_EQ(rep->classType(), NetClassTypeEvent);
        EXPECT_EQ(rep->classVersion(), 0);
        RefPtr<RPCEvent> event = dynamic_cast<RPCEvent*>(rep->create());
        ASSERT_TRUE(event.isValid());
        EXPECT_EQ(event->guaranteeType(), NetEvent::GuaranteedOrdered);
        EXPECT_EQ(event->direction(), NetEvent::DirAny);
        EXPECT_FALSE(event->checkClassType(nullptr));
    }
    // rpcStartGhosting carries one U32.
    RefPtr<RPCEvent> start =
        dynamic_cast<RPCEvent*>(NetClassRep::findByName("RPC_GhostConnection_rpcStartGhosting")->create());
    BitStream in;
    in.writeU32(0xCAFEF00D);
    in.setBitPosition(0);
    start->unpack(nullptr, in);
    EXPECT_EQ(in.bitPosition(), 32u);
    BitStream out;
    start->pack(nullptr, out);
    EXPECT_EQ(out.bitPosition(), 32u);
    out.setBitPosition(0);
    EXPECT_EQ(out.readU32(), 0xCAFEF00Du);
}

TEST(RpcStringPtr, CopiesShareTheTextAndNullReadsAsEmpty)
{
    StringPtr none;
    EXPECT_TRUE(none.isNull());
    EXPECT_STREQ(none.c_str(), "");
    EXPECT_TRUE(none == "");
    StringPtr a("hello");
    StringPtr b = a;
    EXPECT_EQ(a.c_str(), b.c_str());
    a = StringPtr(nullptr);
    EXPECT_STREQ(b.c_str(), "hello");
    EXPECT_EQ(b.length(), 5u);
}

} // namespace
