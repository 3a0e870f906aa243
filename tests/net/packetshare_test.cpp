// How a data packet is shared between the event streams: ordered events get
// room whatever unguaranteed ones wait, and no event runs past the packet's
// size unless it is alone in it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "eventtestutil.h"

using namespace seafold;
using seafold::test::establish;

namespace {

int gOrderedRun = 0, gVoiceRun = 0;

// A payload of a given size; the class fixes the guarantee.
class SizedEvent : public NetEvent {
public:
    SizedEvent(int32_t guarantee, uint32_t n) : NetEvent(guarantee, DirAny), size(n) {}
    void pack(EventConnection*, BitStream& stream) override
    {
        stream.writeU32(size);
        std::vector<uint8_t> bytes(size, 0x33);
        stream.writeBytes(size, bytes.data());
    }
    void unpack(EventConnection*, BitStream& stream) override
    {
        size = stream.readU32();
        if (size > 1500) {
            stream.setError();
            return;
        }
        std::vector<uint8_t> bytes(size);
        stream.readBytes(size, bytes.data());
    }
    uint32_t size;
};

class ShareMove : public SizedEvent {
    SF_DECLARE_CLASS(ShareMove)
public:
    explicit ShareMove(uint32_t n = 0) : SizedEvent(GuaranteedOrdered, n) {}
    void process(EventConnection*) override { ++gOrderedRun; }
};
SF_IMPLEMENT_NETEVENT(ShareMove);

class ShareVoice : public SizedEvent {
    SF_DECLARE_CLASS(ShareVoice)
public:
    explicit ShareVoice(uint32_t n = 0) : SizedEvent(Unguaranteed, n) {}
    void process(EventConnection*) override { ++gVoiceRun; }
};
SF_IMPLEMENT_NETEVENT(ShareVoice);

class ShareConnection : public EventConnection {
public:
    uint32_t classGroup() const override { return NetClassGroupDefault; }
};

// Writes one data packet's event section of `target` bytes from `from` and
// has `to` read it; returns the bits written.
uint32_t carry(ShareConnection& from, ShareConnection& to, uint32_t target)
{
    PacketStream out(target);
    std::unique_ptr<NetConnection::PacketNotify> notify(from.allocNotify());
    from.writePacket(out, notify.get());
    const uint32_t bits = out.bitPosition();
    BitStream in(out.data(), out.bytePosition());
    to.readPacket(in);
    return bits;
}

TEST(PacketShare, OrderedEventsGetRoomWhenUnguaranteedEventsFillTheQueue)
{
    ShareConnection client, server;
    establish(client, server);
    gOrderedRun = gVoiceRun = 0;
    for (int i = 0; i < 50; ++i)
        client.postEvent(new ShareVoice(40));
    for (int i = 0; i < 3; ++i)
        client.postEvent(new ShareMove(4));
    carry(client, server, 240); // the default rate's packet
    EXPECT_EQ(gOrderedRun, 3);
    EXPECT_GE(gVoiceRun, 1); // and voice still has its share
}

TEST(PacketShare, AnEventThatDoesNotFitWaitsInsteadOfRunningPastThePacket)
{
    ShareConnection client, server;
    establish(client, server);
    gVoiceRun = 0;
    client.postEvent(new ShareVoice(150));
    client.postEvent(new ShareVoice(150));
    EXPECT_LE(carry(client, server, 240), 240u * 8);
    EXPECT_EQ(gVoiceRun, 1);
    client.postEvent(new ShareVoice(400));
    EXPECT_LE(carry(client, server, 240), 240u * 8); // the second goes, the large one waits
    EXPECT_EQ(gVoiceRun, 2);
    // Alone, an event larger than the packet still goes.
    EXPECT_GT(carry(client, server, 240), 240u * 8);
    EXPECT_EQ(gVoiceRun, 3);
}

} // namespace
