// A room that stays fair whatever its mix: a listener whose link is as slow
// as the default rate keeps its session and its view of the others while
// people speak, and a client that sends voice no speaker sends is held to
// what one speaker may have relayed and answers for its own traffic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "session/clientvoice.h"
#include "sessiontestutil.h"
#include "voice/testsignals.h"

using namespace seafold;
using namespace seafold::test;

namespace {

SimpleEventConnection* serverSide(Peer& server, const std::string& user)
{
    ClientRecord* record = server.roster.find(user);
    return record ? record->connection.get() : nullptr;
}

// The server sends to `user` no faster than the default rate: one packet
// every 96 ms, 2,500 bytes a second, as over a slow link.
void slowLinkTo(Peer& server, const std::string& user)
{
    SimpleEventConnection* connection = serverSide(server, user);
    ASSERT_NE(connection, nullptr);
    connection->setLocalRate(NetConnection::RateInfo{});
    connection->setRateIsCap(true);
}

} // namespace

// 1,000-byte frames 50 times a second, numbered on or always alike, against
// a listener on the default rate: the listener stays, with a short queue;
// the sender gets no more relayed than a speaker may have.
TEST_F(SessionTest, AHostileSpeakerNeitherEndsASlowListenerNorGetsMoreThanItsShare)
{
    const struct {
        const char* what;
        bool renumbered;
    } cases[] = {{"numbered on", false}, {"always numbered 7", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Peer& mallory = add(std::string("mallory-") + (c.renumbered ? "r" : "n"));
        Peer& slow = add(std::string("slow-") + (c.renumbered ? "r" : "n"));
        ASSERT_TRUE(settle());
        slowLinkTo(server(), slow.name);
        SimpleEventConnection* toSlow = serverSide(server(), slow.name);
        SimpleEventConnection* fromMallory = serverSide(server(), mallory.name);
        // The sender's own link carries all it sends.
        NetConnection::RateInfo fast;
        fast.minPacketSendPeriod = fast.minPacketRecvPeriod = 16;
        fast.maxSendBandwidth = fast.maxRecvBandwidth = 65535;
        mallory.toServer()->setLocalRate(fast);
        fromMallory->setLocalRate(fast);
        // The server's rate reaches the sender with a data packet.
        slow.toServer()->sendMovement(0.125, 0, 0);
        ASSERT_TRUE(settle());
        ASSERT_EQ(mallory.toServer()->sendInterval(), 16u);

        std::vector<uint8_t> frame(1000, 0x5A), framed;
        appendOpusFrame(framed, frame.data(), frame.size());
        uint32_t deepest = 0;
        // Thirty seconds: the listener's queue, unbounded, overflowed in 13.
        for (uint32_t i = 0; i < 1500 && mallory.toServer(); ++i) {
            RefPtr<ByteBuffer> data = new ByteBuffer(uint32_t(framed.size()));
            std::memcpy(data->data(), framed.data(), framed.size());
            mallory.toServer()->c2sVoiceFrames(uint32_t(VoiceCodecId::Opus), c.renumbered ? 7 : i, false, data);
            run(1, [] { return false; });
            ASSERT_NE(slow.toServer(), nullptr) << "round " << i;
            deepest = std::max(deepest, toSlow->queuedByteCount());
        }
        EXPECT_NE(server().roster.find(slow.name), nullptr);
        // At most one waiting voice event for the one speaker, and what it
        // displaced: never the seconds of voice that used to pile up.
        EXPECT_LT(deepest, 8u * 1024u);
        RecordProperty(std::string("deepest_queue_bytes_") + (c.renumbered ? "renumbered" : "numbered"), int(deepest));
        // Limited at the server: most of what was sent was not relayed.
        if (SimpleEventConnection* sender = serverSide(server(), mallory.name)) {
            EXPECT_EQ(sender, fromMallory);
            EXPECT_GT(sender->voice().dropped(), 1000u);
        }
        for (Peer* p : {&mallory, &slow})
            p->connectionToServer->disconnect("Bye");
        ASSERT_TRUE(settle());
    }
}

// Two people speak at the LAN rate's bitrate while a third moves, and a
// listener's link is as slow as the default rate: the movements still reach
// the listener, several times a second, and the talk leaves it no backlog.
TEST_F(SessionTest, MovementReachesASlowListenerWhileTwoSpeak)
{
    Peer& alice = add("alice");
    Peer& bob = add("bob");
    Peer& carol = add("carol");
    Peer& slow = add("slow");
    carol.toServer()->c2sEntitySelection(StringPtr("boat.mesh"));
    ASSERT_TRUE(settle());
    slowLinkTo(server(), "slow");

    OpusFramedEncoder encoder(OpusMaxBitrate);
    const std::vector<int16_t> speech = testsignals::vowel(OpusSampleRate, 0.2, 8000);
    std::vector<RefPtr<ByteBuffer>> frames;
    for (size_t at = 0; at + OpusFrameSamples <= speech.size(); at += OpusFrameSamples) {
        RefPtr<ByteBuffer> pcm = new ByteBuffer(OpusFrameSamples * 2);
        std::memcpy(pcm->data(), &speech[at], OpusFrameSamples * 2);
        frames.push_back(encoder.encodeBuffer(pcm));
    }
    ASSERT_FALSE(frames.empty());

    const size_t before = slow.callsNamed("s2cmakeMovement").size();
    const uint32_t rounds = 1000; // 20 s
    uint32_t moves = 0;
    for (uint32_t i = 0; i < rounds; ++i) {
        // Each speaker sends a frame every 20 ms, as a press does.
        for (Peer* speaker : {&alice, &bob})
            speaker->toServer()->sendVoiceFrames(frames[i % frames.size()], false);
        if (i % 5 == 0) { // ten movements a second
            carol.toServer()->sendMovement(0.125, 0, 0);
            ++moves;
        }
        run(1, [] { return false; });
    }
    const ClientRecord* seen = slow.roster.find("carol");
    ASSERT_NE(seen, nullptr);
    const double sent = 0.125 * moves;
    // The listener's view of the mover when the talk stops: within 5%.
    EXPECT_GE(seen->offsetX, 0.95 * sent);
    // At least five updates a second reached it.
    const size_t updates = slow.callsNamed("s2cmakeMovement").size() - before;
    // Figures for the record (gtest's XML output).
    RecordProperty("movement_seen_percent", int(seen->offsetX * 100 / sent));
    RecordProperty("movement_updates", int(updates));
    EXPECT_GE(updates, size_t(5 * rounds * 20 / 1000));
    // The voice waiting for it stays within one event per speaker.
    EXPECT_LT(serverSide(server(), "slow")->queuedByteCount(), 4u * 1024u);
    // Both voices still reach it.
    EXPECT_NE(slow.session.speakerVoices().playoutOf("alice"), nullptr);
    EXPECT_NE(slow.session.speakerVoices().playoutOf("bob"), nullptr);
    ASSERT_TRUE(settle());
    EXPECT_EQ(seen->offsetX, sent);
}
