// Event delivery between two EventConnections driven by hand: packets are
// written with writePacket, their bytes fed to the other side's readPacket,
// and delivery or loss reported with the packet's notify record. No sockets.
#include <gtest/gtest.h>

#include "eventtestutil.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/eventconnection.h"

using namespace seafold;
using seafold::test::establish;

namespace {

// Test events live in class group 1 (and 2 for the version borders), so the
// default group's ids are those of the product.
constexpr uint32_t TestGroup = 1;
constexpr uint32_t TestMask = 1u << TestGroup;
constexpr uint32_t BorderGroup = 2;
constexpr uint32_t BorderMask = 1u << BorderGroup;

class TestConnection : public EventConnection {
public:
    explicit TestConnection(uint32_t group = TestGroup) : mGroup(group) {}
    uint32_t classGroup() const override { return mGroup; }
    std::vector<uint32_t> values;
    std::vector<std::string> texts;

private:
    uint32_t mGroup;
};

struct Delivery {
    uint32_t value;
    bool delivered;
    bool operator==(const Delivery& o) const { return value == o.value && delivered == o.delivered; }
};
std::vector<Delivery> gDeliveries;
int gLiveValueEvents = 0;

// A 32-bit value; the class decides guarantee and direction.
class ValueEvent : public NetEvent {
public:
    ValueEvent(int32_t guarantee, int32_t direction, uint32_t v) : NetEvent(guarantee, direction), value(v)
    {
        ++gLiveValueEvents;
    }
    ~ValueEvent() override { --gLiveValueEvents; }
    void pack(EventConnection*, BitStream& stream) override { stream.writeU32(value); }
    void unpack(EventConnection*, BitStream& stream) override { value = stream.readU32(); }
    void process(EventConnection* c) override { static_cast<TestConnection*>(c)->values.push_back(value); }
    void notifyDelivered(EventConnection*, bool delivered) override { gDeliveries.push_back({value, delivered}); }
    uint32_t value;
};

#define VALUE_EVENT(Name, guarantee, direction)                                                    \
    class Name : public ValueEvent {                                                               \
        SF_DECLARE_CLASS(Name)                                                                     \
    public:                                                                                        \
        explicit Name(uint32_t v = 0) : ValueEvent(NetEvent::guarantee, NetEvent::direction, v) {} \
    };                                                                                             \
    NetClassRepInstance<Name> Name::dynClassRep("EvTest" #Name, TestMask, NetClassTypeEvent, 0)

VALUE_EVENT(Ordered, GuaranteedOrdered, DirAny);
VALUE_EVENT(Reliable, Guaranteed, DirAny);
VALUE_EVENT(Unreliable, Unguaranteed, DirAny);
VALUE_EVENT(ToClient, Unguaranteed, DirServerToClient);
VALUE_EVENT(ToServer, Unguaranteed, DirClientToServer);
VALUE_EVENT(NoDirection, Unguaranteed, DirUnset);

// A text, in the stream's prefix-shared text coding.
class TextEvent : public NetEvent {
public:
    TextEvent(int32_t guarantee, std::string t) : NetEvent(guarantee, DirAny), text(std::move(t)) {}
    void pack(EventConnection*, BitStream& stream) override { stream.writeText(text.c_str()); }
    void unpack(EventConnection*, BitStream& stream) override
    {
        char buffer[256];
        stream.readText(buffer);
        text = buffer;
    }
    void process(EventConnection* c) override { static_cast<TestConnection*>(c)->texts.push_back(text); }
    std::string text;
};
class ReliableText : public TextEvent {
    SF_DECLARE_CLASS(ReliableText)
public:
    explicit ReliableText(std::string t = "") : TextEvent(Guaranteed, std::move(t)) {}
};
NetClassRepInstance<ReliableText> ReliableText::dynClassRep("EvTestReliableText", TestMask, NetClassTypeEvent, 0);
class OrderedText : public TextEvent {
    SF_DECLARE_CLASS(OrderedText)
public:
    explicit OrderedText(std::string t = "") : TextEvent(GuaranteedOrdered, std::move(t)) {}
};
NetClassRepInstance<OrderedText> OrderedText::dynClassRep("EvTestOrderedText", TestMask, NetClassTypeEvent, 0);

// Bytes of a given count: bigger than any packet when asked to be.
class Blob : public NetEvent {
    SF_DECLARE_CLASS(Blob)
public:
    explicit Blob(uint32_t n = 0) : NetEvent(GuaranteedOrdered, DirAny), size(n) {}
    void pack(EventConnection*, BitStream& stream) override
    {
        std::vector<uint8_t> bytes(size, 0x5A);
        stream.writeBytes(size, bytes.data());
    }
    void unpack(EventConnection*, BitStream&) override {}
    void process(EventConnection*) override {}
    void notifyDelivered(EventConnection*, bool delivered) override { gDeliveries.push_back({size, delivered}); }
    uint32_t size;
};
NetClassRepInstance<Blob> Blob::dynClassRep("EvTestBlob", TestMask, NetClassTypeEvent, 0);

// Group 2: versions 0, 0, 1, 2 in id order, so counts 2, 3 and 4 are borders.
template <int N> class Border : public ValueEvent {
public:
    Border() : ValueEvent(NetEvent::GuaranteedOrdered, NetEvent::DirAny, N) {}
    static NetClassRepInstance<Border> dynClassRep;
    NetClassRep* classRep() const override { return &dynClassRep; }
};
template <> NetClassRepInstance<Border<0>> Border<0>::dynClassRep("EvBorderA", BorderMask, NetClassTypeEvent, 0);
template <> NetClassRepInstance<Border<1>> Border<1>::dynClassRep("EvBorderB", BorderMask, NetClassTypeEvent, 0);
template <> NetClassRepInstance<Border<2>> Border<2>::dynClassRep("EvBorderC", BorderMask, NetClassTypeEvent, 1);
template <> NetClassRepInstance<Border<3>> Border<3>::dynClassRep("EvBorderD", BorderMask, NetClassTypeEvent, 2);

// One written packet: its bytes and its notify record.
struct Packet {
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    std::unique_ptr<NetConnection::PacketNotify> notify;
};

Packet writePacket(EventConnection& from, uint32_t targetSize = PacketStream::MaxPacketBytes)
{
    PacketStream out(targetSize);
    Packet p;
    p.notify.reset(from.allocNotify());
    from.writePacket(out, p.notify.get());
    p.bits = out.bitPosition();
    p.bytes.assign(out.data(), out.data() + out.bytePosition());
    return p;
}

void readPacket(EventConnection& to, const Packet& p)
{
    std::vector<uint8_t> copy = p.bytes;
    BitStream in(copy.data(), uint32_t(copy.size()));
    to.readPacket(in);
}

void delivered(EventConnection& from, Packet& p)
{
    from.packetDelivered(p.notify.get());
    p.notify.reset();
}

void dropped(EventConnection& from, Packet& p)
{
    from.packetDropped(p.notify.get());
    p.notify.reset();
}

// The events of a section whose events all carry one U32.
struct Parsed {
    bool ordered;
    int32_t sequence;
    uint32_t classId;
    uint32_t value;
};

std::vector<Parsed> parseValues(const Packet& p, uint32_t idBits)
{
    std::vector<uint8_t> copy = p.bytes;
    BitStream in(copy.data(), uint32_t(copy.size()));
    std::vector<Parsed> events;
    EXPECT_EQ(in.readU32(), 0xF00DBAADu);
    bool ordered = false;
    int32_t prev = -2;
    for (int guard = 0; guard < 1000; ++guard) {
        bool more = in.readFlag();
        if (!more && !ordered) {
            ordered = true;
            more = in.readFlag();
        }
        if (!more)
            break;
        Parsed e{ordered, -1, 0, 0};
        if (ordered) {
            e.sequence = in.readFlag() ? (prev + 1) & 0x7F : int32_t(in.readUnsigned(7));
            prev = e.sequence;
        }
        uint32_t end = in.readUnsigned(16);
        e.classId = in.readUnsigned(idBits);
        e.value = in.readU32();
        EXPECT_EQ(end, in.bitPosition());
        events.push_back(e);
    }
    EXPECT_FALSE(in.hasError());
    return events;
}

std::vector<int32_t> sequencesOf(const std::vector<Parsed>& events)
{
    std::vector<int32_t> s;
    for (const Parsed& e : events)
        s.push_back(e.sequence);
    return s;
}

class EventConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gDeliveries.clear();
        establish(client, server);
        idBits = client.eventClassBitSize();
    }
    TestConnection client, server;
    uint32_t idBits = 0;
};

// ---- wire layout --------------------------------------------------------------

TEST_F(EventConnectionTest, ClassIdWidthCoversExactlyTheNegotiatedCount)
{
    const uint32_t count = NetClassRep::classCount(TestGroup, NetClassTypeEvent);
    EXPECT_EQ(client.eventClassCount(), count);
    EXPECT_EQ(server.eventClassCount(), count);
    EXPECT_EQ(idBits, EventConnection::classIdBitsFor(count));
    EXPECT_EQ(EventConnection::classIdBitsFor(1), 0u);
    EXPECT_EQ(EventConnection::classIdBitsFor(2), 1u);
    EXPECT_EQ(EventConnection::classIdBitsFor(16), 4u);
    EXPECT_EQ(EventConnection::classIdBitsFor(17), 5u);
    EXPECT_EQ(EventConnection::classIdBitsFor(21), 5u);
}

TEST_F(EventConnectionTest, EmptyPacketIsMarkerAndTwoZeroBits)
{
    Packet p = writePacket(client);
    ASSERT_EQ(p.bits, 34u);
    EXPECT_EQ(p.bytes[0], 0xAD);
    EXPECT_EQ(p.bytes[1], 0xBA);
    EXPECT_EQ(p.bytes[2], 0x0D);
    EXPECT_EQ(p.bytes[3], 0xF0);
    EXPECT_EQ(p.bytes[4] & 0x3, 0);
    readPacket(server, p);
    EXPECT_EQ(server.errorText(), nullptr);
}

TEST_F(EventConnectionTest, ThreeOrderedEventsCarryOneFullSequenceThenSingleBits)
{
    for (uint32_t v = 0; v < 3; ++v)
        client.postEvent(new Ordered(100 + v));
    Packet p = writePacket(client);

    // Bit by bit: marker, end of unordered events, then per event the flags.
    const uint32_t id = Ordered::dynClassRep.classId(TestGroup);
    std::vector<uint8_t> copy = p.bytes;
    BitStream in(copy.data(), uint32_t(copy.size()));
    EXPECT_EQ(in.readU32(), 0xF00DBAADu);
    EXPECT_FALSE(in.readFlag()); // no unordered events
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(in.readFlag());
        if (i == 0) {
            EXPECT_FALSE(in.readFlag()); // prev starts at -2: full sequence follows
            EXPECT_EQ(in.readUnsigned(7), 0u);
        } else {
            EXPECT_TRUE(in.readFlag()); // previous + 1
        }
        uint32_t end = in.readUnsigned(16);
        EXPECT_EQ(in.readUnsigned(idBits), id);
        EXPECT_EQ(in.readU32(), 100 + i);
        EXPECT_EQ(end, in.bitPosition());
    }
    EXPECT_FALSE(in.readFlag());
    EXPECT_EQ(in.bitPosition(), p.bits);
    EXPECT_EQ(p.bits, 32u + 1 + (1 + 1 + 7 + 16 + idBits + 32) + 2 * (1 + 1 + 16 + idBits + 32) + 1);

    readPacket(server, p);
    EXPECT_EQ(server.values, (std::vector<uint32_t>{100, 101, 102}));
}

TEST_F(EventConnectionTest, WithoutDebugChecksThereIsNoMarkerNorEndPositions)
{
    client.connectParams().debugObjectSizes = false;
    server.connectParams().debugObjectSizes = false;
    client.postEvent(new Reliable(7));
    client.postEvent(new Ordered(8));
    Packet p = writePacket(client);
    EXPECT_EQ(p.bits, (1 + idBits + 32) + 1 + (1 + 1 + 7 + idBits + 32) + 1);
    readPacket(server, p);
    EXPECT_EQ(server.values, (std::vector<uint32_t>{7, 8}));
}

TEST_F(EventConnectionTest, WrongMarkerIsOnlyADiagnostic)
{
    client.postEvent(new Reliable(5));
    Packet p = writePacket(client);
    p.bytes[0] ^= 0xFF;
    readPacket(server, p);
    EXPECT_EQ(server.errorText(), nullptr);
    EXPECT_EQ(server.values, (std::vector<uint32_t>{5}));
}

// ---- ordered delivery -----------------------------------------------------------

TEST_F(EventConnectionTest, LostFirstOrderedEventIsResentAndAllAreProcessedInOrder)
{
    client.postEvent(new Ordered(0));
    Packet a = writePacket(client);
    client.postEvent(new Ordered(1));
    client.postEvent(new Ordered(2));
    Packet b = writePacket(client);

    readPacket(server, b);
    EXPECT_TRUE(server.values.empty());
    EXPECT_EQ(server.queueDepths().receivedWaiting, 2u);
    delivered(client, b);
    EXPECT_TRUE(gDeliveries.empty()); // 1 and 2 wait for 0

    dropped(client, a);
    Packet c = writePacket(client);
    EXPECT_EQ(sequencesOf(parseValues(c, idBits)), (std::vector<int32_t>{0}));
    readPacket(server, c);
    EXPECT_EQ(server.values, (std::vector<uint32_t>{0, 1, 2}));
    delivered(client, c);
    EXPECT_EQ(gDeliveries, (std::vector<Delivery>{{0, true}, {1, true}, {2, true}}));
}

TEST_F(EventConnectionTest, At126InFlightTheNextOrderedEventWaitsForTheFirstConfirmation)
{
    // Tiny target size: each packet takes one event.
    for (uint32_t v = 0; v < 127; ++v)
        client.postEvent(new Ordered(v));
    std::vector<Packet> packets;
    for (int i = 0; i < 126; ++i) {
        packets.push_back(writePacket(client, 8));
        ASSERT_EQ(parseValues(packets.back(), idBits).size(), 1u) << i;
    }
    Packet blocked = writePacket(client, 8);
    EXPECT_TRUE(parseValues(blocked, idBits).empty());
    EXPECT_TRUE(client.isDataToTransmit());

    delivered(client, packets[1]); // not the first: nothing confirmed yet
    EXPECT_TRUE(parseValues(writePacket(client, 8), idBits).empty());
    delivered(client, packets[0]);
    Packet next = writePacket(client, 8);
    std::vector<Parsed> events = parseValues(next, idBits);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].value, 126u);
    EXPECT_EQ(events[0].sequence, 126 & 0x7F);

    // The receiver widens the wrapped 7-bit sequences correctly.
    for (Packet& p : packets)
        readPacket(server, p);
    readPacket(server, next);
    ASSERT_EQ(server.values.size(), 127u);
    for (uint32_t v = 0; v < 127; ++v)
        EXPECT_EQ(server.values[v], v);
}

TEST_F(EventConnectionTest, TwoLostPacketsGoBackBeforeTheQueuedEventsInSequenceOrder)
{
    for (uint32_t v = 0; v < 3; ++v)
        client.postEvent(new Ordered(v));
    Packet p0 = writePacket(client);
    readPacket(server, p0);
    delivered(client, p0);
    client.postEvent(new Ordered(3));
    client.postEvent(new Ordered(4));
    Packet p1 = writePacket(client);
    client.postEvent(new Ordered(5));
    client.postEvent(new Ordered(6));
    Packet p2 = writePacket(client);
    client.postEvent(new Ordered(7));
    client.postEvent(new Ordered(8));

    dropped(client, p2); // reported in either order, the queue ends up sorted
    dropped(client, p1);
    EXPECT_EQ(client.queueDepths().orderedSend, 6u);
    Packet resend = writePacket(client);
    std::vector<Parsed> events = parseValues(resend, idBits);
    EXPECT_EQ(sequencesOf(events), (std::vector<int32_t>{3, 4, 5, 6, 7, 8}));
    readPacket(server, resend);
    EXPECT_EQ(server.values, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
}

// A packet that arrives twice (or an event resent after an acknowledgement
// went missing) must not be processed twice nor stall later events.
TEST_F(EventConnectionTest, DuplicateOrderedEventsAreIgnoredAndDoNotStall)
{
    client.postEvent(new Ordered(0));
    client.postEvent(new Ordered(1));
    Packet a = writePacket(client);
    readPacket(server, a);
    readPacket(server, a);
    EXPECT_EQ(server.values, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(server.queueDepths().receivedWaiting, 0u);

    client.postEvent(new Ordered(2));
    Packet b = writePacket(client);
    client.postEvent(new Ordered(3));
    Packet c = writePacket(client);
    readPacket(server, c);
    readPacket(server, c); // waiting copy, not a second note
    EXPECT_EQ(server.queueDepths().receivedWaiting, 1u);
    readPacket(server, b);
    EXPECT_EQ(server.values, (std::vector<uint32_t>{0, 1, 2, 3}));
}

// ---- unordered delivery ------------------------------------------------------------

TEST_F(EventConnectionTest, LostUnguaranteedEventIsReportedAndNeverResent)
{
    client.postEvent(new Unreliable(42));
    Packet p = writePacket(client);
    dropped(client, p);
    EXPECT_EQ(gDeliveries, (std::vector<Delivery>{{42, false}}));
    EXPECT_FALSE(client.isDataToTransmit());
    EXPECT_TRUE(parseValues(writePacket(client), idBits).empty());

    client.postEvent(new Unreliable(43));
    Packet q = writePacket(client);
    delivered(client, q);
    EXPECT_EQ(gDeliveries.back(), (Delivery{43, true}));
}

TEST_F(EventConnectionTest, LostGuaranteedEventsAreResentAheadOfNewerOnes)
{
    client.postEvent(new Reliable(1));
    client.postEvent(new Reliable(2));
    Packet p = writePacket(client);
    client.postEvent(new Reliable(3));
    dropped(client, p);
    EXPECT_TRUE(gDeliveries.empty());
    std::vector<Parsed> events = parseValues(writePacket(client), idBits);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].value, 1u);
    EXPECT_EQ(events[1].value, 2u);
    EXPECT_EQ(events[2].value, 3u);
    EXPECT_FALSE(events[0].ordered);
}

// ---- what the receiver refuses ------------------------------------------------------

TEST_F(EventConnectionTest, DirectionIsCheckedAgainstTheReceiversRole)
{
    struct Case {
        NetEvent* event;
        bool toServerSide; // received by the server's connection (marked "to a client")
        const char* error;
    } cases[] = {
        {new ToClient(1), true, "Invalid Packet."}, // server-to-client arriving at the server
        {new ToClient(2), false, nullptr},
        {new ToServer(3), false, "Invalid Packet."}, // client-to-server arriving at the client
        {new ToServer(4), true, nullptr},
        {new NoDirection(5), true, "Invalid Packet."},
        {new NoDirection(6), false, "Invalid Packet."},
    };
    for (Case& c : cases) {
        TestConnection sender, receiver;
        establish(sender, receiver);
        TestConnection& to = c.toServerSide ? receiver : sender;
        EventConnection& from = c.toServerSide ? static_cast<EventConnection&>(sender) : receiver;
        from.postEvent(c.event);
        Packet p = writePacket(from);
        readPacket(to, p);
        if (c.error) {
            ASSERT_NE(to.errorText(), nullptr);
            EXPECT_STREQ(to.errorText(), c.error);
            EXPECT_TRUE(to.values.empty());
        } else {
            EXPECT_EQ(to.errorText(), nullptr);
            EXPECT_EQ(to.values.size(), 1u);
        }
    }
}

TEST_F(EventConnectionTest, ClassIdBeyondTheCountEndsThePacket)
{
    const uint32_t count = server.eventClassCount();
    ASSERT_LT(count, 1u << idBits) << "register one class more or less so an id past the count fits";
    PacketStream out;
    out.writeU32(0xF00DBAAD);
    out.writeFlag(true);
    out.writeUnsigned(32 + 16 + idBits + 32, 16);
    out.writeUnsigned(count, idBits);
    out.writeU32(9);
    out.writeFlag(false);
    out.writeFlag(false);
    Packet p;
    p.bytes.assign(out.data(), out.data() + out.bytePosition());
    readPacket(server, p);
    ASSERT_NE(server.errorText(), nullptr);
    EXPECT_STREQ(server.errorText(), "Invalid packet.");
}

TEST_F(EventConnectionTest, HalfReadEventIsNeverProcessed)
{
    client.postEvent(new Reliable(77));
    client.postEvent(new Ordered(78));
    Packet whole = writePacket(client);
    // Cut inside the ordered event's value, and inside the unordered one's.
    for (uint32_t keep : {whole.bits / 8 - 2, 9u}) {
        TestConnection sender, receiver;
        establish(sender, receiver);
        Packet cut;
        cut.bytes.assign(whole.bytes.begin(), whole.bytes.begin() + keep);
        readPacket(receiver, cut);
        ASSERT_NE(receiver.errorText(), nullptr) << keep;
        EXPECT_STREQ(receiver.errorText(), "Invalid Packet.");
        EXPECT_TRUE(receiver.values.empty() || receiver.values == std::vector<uint32_t>{77}) << keep;
        EXPECT_EQ(receiver.queueDepths().receivedWaiting, 0u);
    }
}

TEST_F(EventConnectionTest, EventsAreNotProcessedBeforeTheConnectionIsEstablished)
{
    client.postEvent(new Reliable(1));
    Packet p = writePacket(client);
    server.setState(ChallengeSent);
    readPacket(server, p);
    EXPECT_EQ(server.errorText(), nullptr);
    EXPECT_TRUE(server.values.empty());
}

// ---- headroom and take-back ------------------------------------------------------------

// A text taken back because the packet is full must not stay in the
// stream's text memory: the next text would be prefix-coded against
// characters the receiver never got.
TEST_F(EventConnectionTest, TakenBackTextDoesNotLeakIntoTheNextTextsPrefix)
{
    const std::string first = "abcdefgh";
    const std::string second = first + std::string(60, 'X');
    const std::string third = first + std::string(20, 'X') + "z";
    client.postEvent(new ReliableText(first));
    client.postEvent(new ReliableText(second));
    client.postEvent(new OrderedText(third));

    uint8_t buffer[64] = {};
    BitStream out(buffer, sizeof buffer); // target and write limit: 512 bits
    auto notify = std::unique_ptr<NetConnection::PacketNotify>(client.allocNotify());
    client.writePacket(out, notify.get());
    EXPECT_FALSE(out.hasError());
    BitStream in(buffer, out.bytePosition());
    server.readPacket(in);
    EXPECT_EQ(server.errorText(), nullptr);
    EXPECT_EQ(server.texts, (std::vector<std::string>{first, third}));

    Packet rest = writePacket(client);
    readPacket(server, rest);
    EXPECT_EQ(server.texts, (std::vector<std::string>{first, third, second}));
}

TEST_F(EventConnectionTest, EventThatFitsNoPacketIsGivenUpWithoutAGapInTheSequence)
{
    client.postEvent(new Ordered(10));
    client.postEvent(new Blob(2000));
    client.postEvent(new Ordered(11));
    Packet a = writePacket(client); // 10; the blob is taken back
    EXPECT_EQ(parseValues(a, idBits).size(), 1u);
    EXPECT_TRUE(gDeliveries.empty());
    Packet b = writePacket(client); // the blob alone cannot fit: given up
    EXPECT_EQ(gDeliveries, (std::vector<Delivery>{{2000, false}}));
    std::vector<Parsed> events = parseValues(b, idBits);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].sequence, 1);
    EXPECT_EQ(events[0].value, 11u);
    readPacket(server, a);
    readPacket(server, b);
    EXPECT_EQ(server.values, (std::vector<uint32_t>{10, 11}));
}

TEST_F(EventConnectionTest, BigEventStartingBeforeTheTargetSizeMayRunPastIt)
{
    client.postEvent(new Blob(600));
    Packet p = writePacket(client, 240);
    EXPECT_GT(p.bytes.size(), 600u);
    EXPECT_TRUE(gDeliveries.empty());
    delivered(client, p);
    EXPECT_EQ(gDeliveries, (std::vector<Delivery>{{600, true}}));
}

// ---- posting, negotiation, lifetime -------------------------------------------------------

TEST(EventConnectionNegotiation, CountsMeetOnlyAtVersionBorders)
{
    NetClassRep::initialize();
    ASSERT_EQ(NetClassRep::classCount(BorderGroup, NetClassTypeEvent), 4u);
    struct Case {
        uint32_t peerCount;
        bool accepted;
        uint32_t count, bits;
    } cases[] = {{0, false, 0, 0}, {1, false, 0, 0}, {2, true, 2, 1},
                 {3, true, 3, 2},  {4, true, 4, 2},  {9, true, 4, 2}};
    for (const Case& c : cases) {
        // Acceptor side: the initiator announces its count.
        TestConnection acceptor(BorderGroup);
        PacketStream request;
        request.writeU32(BorderGroup);
        request.writeU32(NetClassRep::classGroupChecksum(BorderGroup));
        request.writeU32(c.peerCount);
        BitStream in(request.data(), request.bytePosition());
        const char* error = nullptr;
        EXPECT_EQ(acceptor.readConnectRequest(in, &error), c.accepted) << c.peerCount;
        if (c.accepted) {
            EXPECT_EQ(acceptor.eventClassCount(), c.count);
            EXPECT_EQ(acceptor.eventClassBitSize(), c.bits);
        }
        // Initiator side: the acceptor answers with a count.
        TestConnection initiator(BorderGroup);
        PacketStream accept;
        accept.writeU32(c.peerCount);
        BitStream acceptIn(accept.data(), accept.bytePosition());
        const bool expected = c.accepted && c.peerCount <= 4;
        EXPECT_EQ(initiator.readConnectAccept(acceptIn, &error), expected) << c.peerCount;
        if (expected) {
            EXPECT_EQ(initiator.eventClassBitSize(), c.bits);
        }
    }
}

TEST(EventConnectionNegotiation, APeerOfAnOlderVersionGetsItsOwnSessionAndBothSidesKnowWhichVersionTheyShare)
{
    NetClassRep::initialize();
    // Group 2 has versions 0, 0, 1, 2: the highest version each side offers,
    // then what they agree on.
    struct Case {
        int32_t initiatorVersion, acceptorVersion;
        uint32_t count;
        bool sharesOne, sharesTwo;
    } cases[] = {
        {2, 2, 4, true, true},  {0, 2, 2, false, false}, {2, 0, 2, false, false},
        {1, 2, 3, true, false}, {2, 1, 3, true, false},  {0, 0, 2, false, false},
    };
    for (const Case& c : cases) {
        TestConnection initiator(BorderGroup), acceptor(BorderGroup);
        initiator.setHighestClassVersion(c.initiatorVersion);
        acceptor.setHighestClassVersion(c.acceptorVersion);
        PacketStream request;
        initiator.writeConnectRequest(request);
        BitStream requestIn(request.data(), request.bytePosition());
        const char* error = nullptr;
        ASSERT_TRUE(acceptor.readConnectRequest(requestIn, &error));
        PacketStream accept;
        acceptor.writeConnectAccept(accept);
        BitStream acceptIn(accept.data(), accept.bytePosition());
        ASSERT_TRUE(initiator.readConnectAccept(acceptIn, &error));
        for (EventConnection* side :
             {static_cast<EventConnection*>(&initiator), static_cast<EventConnection*>(&acceptor)}) {
            EXPECT_EQ(side->eventClassCount(), c.count) << c.initiatorVersion << "/" << c.acceptorVersion;
            EXPECT_TRUE(side->sharesClassVersion(0));
            EXPECT_EQ(side->sharesClassVersion(1), c.sharesOne) << c.initiatorVersion << "/" << c.acceptorVersion;
            EXPECT_EQ(side->sharesClassVersion(2), c.sharesTwo) << c.initiatorVersion << "/" << c.acceptorVersion;
        }
    }
}

TEST(EventConnectionNegotiation, CutRequestIsRefused)
{
    NetClassRep::initialize();
    TestConnection acceptor(BorderGroup);
    PacketStream request;
    request.writeU32(BorderGroup);
    request.writeU32(NetClassRep::classGroupChecksum(BorderGroup));
    request.writeU8(4);
    BitStream in(request.data(), request.bytePosition());
    const char* error = nullptr;
    EXPECT_FALSE(acceptor.readConnectRequest(in, &error));
}

TEST(EventConnectionPosting, EventUnknownToThePeerIsRefusedOnceConnected)
{
    NetClassRep::initialize();
    TestConnection initiator(BorderGroup);
    PacketStream accept;
    accept.writeU32(2);
    BitStream in(accept.data(), accept.bytePosition());
    const char* error = nullptr;
    ASSERT_TRUE(initiator.readConnectAccept(in, &error));
    initiator.setState(Connected);
    // Border<3> has id 3: the peer only knows 0 and 1.
    ASSERT_EQ(Border<3>::dynClassRep.classId(BorderGroup), 3u);
    EXPECT_FALSE(initiator.postEvent(new Border<3>));
    EXPECT_TRUE(initiator.postEvent(new Border<1>));
    // An event of another class group is refused everywhere.
    EXPECT_FALSE(initiator.postEvent(new Reliable(1)));
}

TEST(EventConnectionLifetime, DestructionReleasesEveryQueuedAndInFlightEvent)
{
    const uint32_t notesBefore = EventConnection::liveNoteCount();
    const int eventsBefore = gLiveValueEvents;
    {
        TestConnection client, server;
        establish(client, server);
        client.postEvent(new Ordered(0));
        client.postEvent(new Ordered(1));
        Packet first = writePacket(client, 8);  // carries 0
        Packet second = writePacket(client, 8); // carries 1
        readPacket(server, second);             // 1 waits for 0 at the server
        client.postEvent(new Ordered(2));       // queued
        client.postEvent(new Reliable(3));      // queued
        delivered(client, second);              // 1 awaits confirmation of 0
        EXPECT_EQ(server.queueDepths().receivedWaiting, 1u);
        EXPECT_EQ(client.queueDepths().awaitingDelivery, 1u);
        EXPECT_GT(EventConnection::liveNoteCount(), notesBefore);
        first.notify.reset(); // a notify record freed unanswered releases its events
    }
    EXPECT_EQ(EventConnection::liveNoteCount(), notesBefore);
    EXPECT_EQ(gLiveValueEvents, eventsBefore);
}

} // namespace
