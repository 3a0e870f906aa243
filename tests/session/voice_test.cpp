// Received voice: a decoder and a stream per speaker on a client, mixed
// rather than queued; messages and senders bounded; pairs dropped with the
// user. Playback through OpenAL Soft's loopback device where samples are
// compared; routing over loopback connections with a settable clock.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/platform.h"
#include "session/headlessscene.h"
#include "session/simpleeventconnection.h"
#include "sound/sound.h"
#include "sound/sound_local.h"
#include "voice/lpc10.h"
#include "voice/voicecodec.h"

#include "sessiontestutil.h"

using namespace seafold;

namespace {

// Continuous voiced sound, never quiet: a buzz whose pitch glides.
std::vector<int16_t> buzz(size_t count, double pitch, double amplitude)
{
    std::vector<int16_t> v(count);
    double phase = 0;
    for (size_t i = 0; i < count; ++i) {
        phase += (pitch + 20 * std::sin(double(i) / 2000.0)) / 8000.0;
        double x = std::sin(2 * M_PI * phase) + 0.4 * std::sin(6 * M_PI * phase) + 0.2 * std::sin(14 * M_PI * phase);
        v[i] = int16_t(amplitude * x);
    }
    return v;
}

// The messages a sender's ticks make of `speech`: 100 ms a tick.
std::vector<RefPtr<ByteBuffer>> messagesOf(const std::vector<int16_t>& speech)
{
    RefPtr<LPC10VoiceEncoder> encoder = new LPC10VoiceEncoder;
    RefPtr<ByteBuffer> pending = new ByteBuffer(0);
    std::vector<RefPtr<ByteBuffer>> out;
    for (size_t at = 0; at + 800 <= speech.size(); at += 800) {
        uint32_t old = pending->size();
        pending->resize(old + 1600);
        std::memcpy(pending->data() + old, &speech[at], 1600);
        if (RefPtr<ByteBuffer> frames = encoder->encodeBuffer(pending))
            out.push_back(frames);
    }
    return out;
}

RefPtr<ByteBuffer> silenceFrames(uint32_t frames)
{
    RefPtr<ByteBuffer> b = new ByteBuffer(frames);
    std::memset(b->data(), 0x7F, frames);
    return b;
}

std::vector<int16_t> samplesIn(const ByteBuffer& b)
{
    std::vector<int16_t> v(b.size() / 2);
    std::memcpy(v.data(), b.data(), v.size() * 2);
    return v;
}

std::vector<std::string> gLogLines;
void captureLog(const char* text)
{
    if (std::string(text) != "\n")
        gLogLines.push_back(text);
}

class LoopbackVoices : public seafold::test::LoopbackSoundTest<VoiceSampleRate> {
protected:
    std::vector<int16_t> render(uint32_t frames)
    {
        std::vector<int16_t> out(frames);
        EXPECT_TRUE(mSound.renderSamples(out.data(), frames));
        return out;
    }
};

} // namespace

TEST_F(LoopbackVoices, TwoSpeakersInterleavedComeOutAsTwoVoicesEachItsOwnSoloDecode)
{
    std::vector<RefPtr<ByteBuffer>> alice = messagesOf(buzz(8000 * 2, 120, 5000));
    std::vector<RefPtr<ByteBuffer>> carol = messagesOf(buzz(8000 * 2, 210, 4000));
    ASSERT_EQ(alice.size(), carol.size());
    Roster roster;
    SpeakerVoices voices(&mSound);
    // Every decoder draws its noise from the one process-wide generator:
    // the state each message found is kept, so that the solo decodes below
    // can be given the same noise.
    std::vector<LpcNoiseGenerator> aliceNoise, carolNoise;
    std::vector<int16_t> out;
    for (size_t k = 0; k < alice.size(); ++k) {
        aliceNoise.push_back(sharedLpcNoise());
        ASSERT_TRUE(voices.play("alice", alice[k], roster));
        carolNoise.push_back(sharedLpcNoise());
        ASSERT_TRUE(voices.play("carol", carol[k], roster));
        mSound.update();
        std::vector<int16_t> part = render(k == 0 ? 300 : 800);
        out.insert(out.end(), part.begin(), part.end());
        mNow += 100;
    }
    for (int i = 0; i < 4; ++i) {
        mSound.update();
        std::vector<int16_t> part = render(800);
        out.insert(out.end(), part.begin(), part.end());
    }
    EXPECT_EQ(voices.size(), 2u);
    EXPECT_EQ(voices.streamOf("alice")->voiceUnderruns(), 0u);

    auto solo = [](const std::vector<RefPtr<ByteBuffer>>& messages, const std::vector<LpcNoiseGenerator>& noise) {
        LpcNoiseGenerator saved = sharedLpcNoise();
        RefPtr<LPC10VoiceDecoder> decoder = new LPC10VoiceDecoder;
        std::vector<int16_t> all;
        for (size_t k = 0; k < messages.size(); ++k) {
            sharedLpcNoise() = noise[k];
            std::vector<int16_t> part = samplesIn(*decoder->decodeBuffer(messages[k]));
            all.insert(all.end(), part.begin(), part.end());
        }
        sharedLpcNoise() = saved;
        return all;
    };
    std::vector<int16_t> a = solo(alice, aliceNoise), c = solo(carol, carolNoise);
    ASSERT_EQ(a.size(), c.size());
    // Both started on the same pass: the device sums the two solo decodes.
    long found = -1;
    for (size_t shift = 0; found < 0 && shift < 64; ++shift) {
        bool same = shift + a.size() <= out.size();
        for (size_t i = 0; same && i < a.size(); ++i)
            same = std::abs(int(out[shift + i]) - (int(a[i]) + int(c[i]))) <= 3;
        if (same)
            found = long(shift);
    }
    EXPECT_GE(found, 0) << "the output is not alice's and carol's voices played together";
    // Loud enough that a mix-up would show.
    int peak = 0;
    for (int16_t x : a)
        peak = std::max(peak, std::abs(int(x)));
    EXPECT_GT(peak, 2000);
}

TEST_F(LoopbackVoices, TwentySpeakersAtOnceShareTheSixteenSourcesWithoutMishap)
{
    Roster roster;
    SpeakerVoices voices(&mSound);
    std::vector<std::string> names;
    std::vector<std::vector<RefPtr<ByteBuffer>>> said;
    for (int i = 0; i < 20; ++i) {
        names.push_back("user " + std::to_string(i));
        roster.append(names.back(), nullptr);
        said.push_back(messagesOf(buzz(8000 * 2, 100 + 7 * i, 1200)));
    }
    for (size_t k = 0; k < said[0].size(); ++k) {
        for (size_t i = 0; i < names.size(); ++i)
            ASSERT_TRUE(voices.play(names[i], said[i][k], roster));
        mSound.update();
        std::vector<bool> used(MaxSoundSources, false);
        size_t holding = 0;
        voices.forEach([&](const std::string&, SFXObject& stream) {
            if (stream.sourceIndex() == -1)
                return;
            ASSERT_LT(stream.sourceIndex(), int32_t(MaxSoundSources));
            EXPECT_FALSE(used[size_t(stream.sourceIndex())]);
            used[size_t(stream.sourceIndex())] = true;
            ++holding;
        });
        EXPECT_EQ(holding, size_t(MaxSoundSources));
        render(800);
        mNow += 100;
    }
    EXPECT_EQ(voices.size(), 20u);
    // All leave; what was queued plays out and every buffer comes back.
    for (auto& name : names)
        voices.forget(name);
    for (int i = 0; i < 10; ++i) {
        render(8000);
        mSound.update();
    }
    EXPECT_TRUE(mSound.state().playList.empty());
    EXPECT_EQ(mSound.state().freeVoiceBuffers.size(), size_t(VoiceStreamBufferCount));
}

TEST(SpeakerVoices, MessagesLongerThanASecondAreDroppedBeforeAnyWork)
{
    Roster roster;
    roster.append("alice", nullptr);
    SpeakerVoices voices;
    gLogLines.clear();
    setDebugOutput(captureLog);
    findOrCreateLogChannel("LogVoice")->enabled = true;
    // 45 frames of 180 samples are 1012 ms: dropped, and no pair is made.
    EXPECT_FALSE(voices.play("alice", silenceFrames(45), roster));
    EXPECT_EQ(voices.size(), 0u);
    // The longest legal message (23 s) likewise.
    EXPECT_FALSE(voices.play("alice", silenceFrames(1023), roster));
    // 44 frames (990 ms, what one tick can take) play.
    EXPECT_TRUE(voices.play("alice", silenceFrames(44), roster));
    EXPECT_EQ(voices.size(), 1u);
    findOrCreateLogChannel("LogVoice")->enabled = false;
    setDebugOutput(nullptr);
    ASSERT_EQ(gLogLines.size(), 2u);
    EXPECT_NE(gLogLines[0].find("Voice message of alice dropped: 1012 ms"), std::string::npos) << gLogLines[0];
}

TEST(SpeakerVoices, StrangersGetPairsOfTheirOwnWithinABound)
{
    Roster roster;
    roster.append("alice", nullptr);
    uint32_t now = 1000;
    SoundPool sound; // never opened: its clock times the voices
    sound.setClock([&] { return now; });
    SpeakerVoices voices(&sound);
    voices.play("alice", silenceFrames(4), roster);
    for (int i = 0; i < 12; ++i) {
        voices.play("stranger " + std::to_string(i), silenceFrames(4), roster);
        now += 100;
    }
    // The roster's users and at most eight others; the quietest went.
    EXPECT_EQ(voices.size(), 1u + SpeakerVoices::MaxStrangerVoices);
    EXPECT_NE(voices.streamOf("alice"), nullptr);
    EXPECT_EQ(voices.streamOf("stranger 3"), nullptr);
    EXPECT_NE(voices.streamOf("stranger 4"), nullptr);
    EXPECT_NE(voices.streamOf("stranger 11"), nullptr);
    // Long silent strangers go when a new one comes; known users stay.
    now += SpeakerVoices::StrangerVoiceIdleMs;
    voices.play("latecomer", silenceFrames(4), roster);
    EXPECT_EQ(voices.size(), 2u);
    EXPECT_NE(voices.streamOf("alice"), nullptr);
    voices.forget("alice");
    EXPECT_EQ(voices.streamOf("alice"), nullptr);
}

TEST(VoiceAllowance, TwoSecondsASecondWithABurstAndOneLogLinePerEpisode)
{
    VoiceAllowance allowance;
    gLogLines.clear();
    setDebugOutput(captureLog);
    findOrCreateLogChannel("LogVoice")->enabled = true;
    const uint32_t second = 8000;
    uint32_t t = 100000;
    // The burst: two seconds at once.
    EXPECT_TRUE(allowance.admit(second, t, "alice"));
    EXPECT_TRUE(allowance.admit(second, t, "alice"));
    EXPECT_FALSE(allowance.admit(second / 10, t, "alice"));
    EXPECT_FALSE(allowance.admit(second / 10, t + 10, "alice"));
    // Then two seconds of speech each second, and no more.
    int passed = 0;
    for (int i = 0; i < 400; ++i) {
        t += 25;
        passed += allowance.admit(second / 10, t, "alice"); // 100 ms every 25 ms: four times the speech
    }
    EXPECT_NEAR(passed, 200, 2); // 10 s at 2 s a second
    EXPECT_EQ(allowance.dropped(), 2u + 400u - uint32_t(passed));
    // One person talking is never held back.
    VoiceAllowance talker;
    for (int i = 0; i < 600; ++i)
        EXPECT_TRUE(talker.admit(second / 10, t + uint32_t(i) * 100, "bob"));
    findOrCreateLogChannel("LogVoice")->enabled = false;
    setDebugOutput(nullptr);
    // A drop episode starts with a line; passing ends it. Above: the first
    // episode, then one per refill.
    ASSERT_GE(gLogLines.size(), 1u);
    EXPECT_NE(gLogLines[0].find("Voice of alice beyond 2 s a second"), std::string::npos) << gLogLines[0];
    size_t episodes = 0;
    for (auto& line : gLogLines)
        episodes += line.find("beyond") != std::string::npos;
    EXPECT_EQ(episodes, gLogLines.size());
    EXPECT_LE(episodes, 1u + size_t(400 - passed));
}

// ---- over connections ----------------------------------------------------------------------

namespace {

struct VoicePeer {
    std::string name;
    HeadlessScene scene;
    Roster roster{&scene};
    Session session;
    WeakRef<SimpleEventConnection> connectionToServer; // a client's (several share the process); outlives the interface
    RefPtr<SessionInterface> netInterface;
    std::vector<std::string> relayed; // speakers of s2cVoice run here
    VoicePeer(const std::string& n, bool isServer, uint32_t& clock) : name(n), session(roster, isServer)
    {
        NetAddress bind(IPProtocol, LocalhostAddress, 0); // any free port
        netInterface = new SessionInterface(bind, session);
        netInterface->setTimeSource([&clock] { return clock; });
        netInterface->setMaxPerAddress(NetInterface::MaxConnectionsLimit); // every peer shares one host
        SessionListener listener;
        listener.onRpc = [this](const char* rpc, const Json& args) {
            if (std::string(rpc) == "s2cVoice")
                relayed.push_back(args[1].get<std::string>());
        };
        listener.onConnectionState = [this](const char* state, const char*) {
            if (std::string(state) == "failed" || std::string(state) == "disconnected")
                connectionToServer = nullptr;
        };
        session.subscribe(std::move(listener));
    }
    ~VoicePeer() { roster.clear(); }
    SimpleEventConnection* toServer() const { return connectionToServer; }
};

class VoiceSession : public ::testing::Test {
protected:
    void SetUp() override { peers.push_back(std::make_unique<VoicePeer>("server", true, now)); }
    VoicePeer& server() { return *peers[0]; }
    VoicePeer& join(const std::string& name)
    {
        peers.push_back(std::make_unique<VoicePeer>(name, false, now));
        VoicePeer& peer = *peers.back();
        auto* connection = new SimpleEventConnection;
        peer.connectionToServer = connection;
        connection->connect(peer.netInterface, server().netInterface->boundAddress());
        connection->c2sAddNewClient(StringPtr(name.c_str()));
        size_t before = server().roster.size();
        run(800, [&] { return server().roster.size() > before; });
        return peer;
    }
    bool run(uint32_t rounds, const std::function<bool()>& done)
    {
        for (uint32_t i = 0; i < rounds; ++i) {
            for (auto& p : peers)
                p->netInterface->receivePackets();
            for (auto& p : peers)
                p->netInterface->serviceConnections();
            if (done())
                return true;
            now += 20;
        }
        return false;
    }
    void settle()
    {
        run(600, [&] {
            for (auto& p : peers)
                for (auto& c : p->netInterface->connections())
                    if (c->isDataToTransmit() || c->lastSentSequence() != c->highestAckedSequence())
                        return false;
            return true;
        });
    }
    uint32_t now = 700000;
    std::vector<std::unique_ptr<VoicePeer>> peers;
};

} // namespace

TEST_F(VoiceSession, EachSpeakerHasAPairOnTheClientFreedWhenTheUserLeaves)
{
    VoicePeer& alice = join("alice");
    VoicePeer& bob = join("bob");
    VoicePeer& carol = join("carol");
    settle();
    std::vector<RefPtr<ByteBuffer>> a = messagesOf(buzz(4000, 120, 5000));
    std::vector<RefPtr<ByteBuffer>> c = messagesOf(buzz(4000, 200, 5000));
    for (size_t k = 0; k < a.size(); ++k) {
        alice.toServer()->c2sVoice(false, a[k], StringPtr("alice"));
        carol.toServer()->c2sVoice(false, c[k], StringPtr("carol"));
    }
    // A voice that claims another name is alice's all the same: the server
    // relays it under her roster name.
    alice.toServer()->c2sVoice(false, a[0], StringPtr("nobody"));
    settle();
    ASSERT_EQ(bob.relayed.size(), 2 * a.size() + 1);
    SpeakerVoices& voices = bob.session.speakerVoices();
    EXPECT_EQ(voices.size(), 2u);
    ASSERT_NE(voices.decoderOf("alice"), nullptr);
    ASSERT_NE(voices.decoderOf("carol"), nullptr);
    EXPECT_NE(voices.decoderOf("alice"), voices.decoderOf("carol"));
    EXPECT_EQ(voices.streamOf("nobody"), nullptr);
    // The client's connection pair plays nothing relayed: it is never made.
    EXPECT_FALSE(bob.toServer()->voice().hasDecoder());
    // The server keeps one pair per connection.
    for (size_t i = 0; i < server().roster.size(); ++i) {
        SimpleEventConnection* connection = server().roster[i].connection;
        EXPECT_EQ(connection->voice().hasDecoder(), server().roster[i].name != "bob") << server().roster[i].name;
    }

    // carol leaves: bob's pair for her goes (and its objects with it).
    WeakRef<SFXObject> carolsStream = voices.streamOf("carol");
    WeakRef<VoiceDecoder> carolsDecoder = voices.decoderOf("carol");
    carol.toServer()->disconnect("Bye");
    settle();
    EXPECT_EQ(voices.streamOf("carol"), nullptr);
    EXPECT_EQ(carolsStream.get(), nullptr);
    EXPECT_EQ(carolsDecoder.get(), nullptr);
    EXPECT_NE(voices.streamOf("alice"), nullptr);
}

TEST_F(VoiceSession, TheServerNeitherPlaysNorRelaysOverlongOrExcessVoice)
{
    VoicePeer& alice = join("alice");
    VoicePeer& bob = join("bob");
    settle();
    // Longer than a second: dropped at the server.
    alice.toServer()->c2sVoice(false, silenceFrames(45), StringPtr("alice"));
    alice.toServer()->c2sVoice(false, silenceFrames(44), StringPtr("alice"));
    settle();
    EXPECT_EQ(bob.relayed.size(), 1u);

    // Ten seconds of speech sent at once: about two seconds go on (the
    // burst, minus the one just sent, plus what the time of sending adds).
    uint32_t start = now;
    for (int i = 0; i < 10; ++i)
        alice.toServer()->c2sVoice(false, silenceFrames(44), StringPtr("alice"));
    settle();
    size_t passed = bob.relayed.size() - 1;
    double seconds = double(now - start) / 1000.0;
    EXPECT_GE(passed, 1u);
    EXPECT_LE(double(passed), 2.0 + 2.0 * seconds + 1.0);
    EXPECT_LT(passed, 10u);
    ClientRecord* sender = server().roster.find("alice");
    ASSERT_NE(sender, nullptr);
    SimpleEventConnection* fromAlice = sender->connection;
    EXPECT_EQ(fromAlice->voice().dropped(), 10u - passed);
}

TEST(VoiceFrameRepeat, TheLastFrameComesAgainOnlyBeforeTheNextAndOnlyWhereTheLinkHasRoom)
{
    const uint8_t a[] = {1, 2, 3}, b[] = {4, 5};
    VoiceFrameRepeat repeat;
    EXPECT_EQ(repeat.before(7), nullptr); // nothing sent yet
    repeat.sent(5, {{a, sizeof a}, {b, sizeof b}}, false);
    ASSERT_NE(repeat.before(7), nullptr);
    EXPECT_EQ(*repeat.before(7), (std::vector<uint8_t>{2, 4, 5})); // frame 6 with its length
    EXPECT_EQ(repeat.before(8), nullptr);                          // frame 7 was never sent
    repeat.sent(65535, {{a, sizeof a}}, false);
    ASSERT_NE(repeat.before(0), nullptr); // the numbers wrap
    repeat.sent(0, {{b, sizeof b}}, true);
    EXPECT_EQ(repeat.before(1), nullptr); // the spurt ended: the next starts after a gap

    EXPECT_FALSE(voiceRepeatFits(2500)); // the default link: no room
    EXPECT_TRUE(voiceRepeatFits(65535));
}

TEST(ClientVoice, AFrameSentAgainIsNotCountedTwiceAgainstTheAllowance)
{
    ClientVoice voice;
    uint32_t t = 100000;
    const uint8_t frame[40] = {};
    const std::vector<OpusFrameView> three(3, OpusFrameView{frame, sizeof frame});
    // Six seconds of frames, each event carrying the two before it again:
    // three seconds a second if counted whole, past the two allowed. The
    // older copy is left out; the one just before is a speaker's repeat.
    for (uint32_t i = 2; i < 300; ++i, t += 20) {
        uint32_t stale = 0;
        ASSERT_TRUE(voice.admitFrames(i - 2, three, t, "alice", &stale)) << i;
        EXPECT_EQ(stale, i == 2 ? 0u : 1u);
    }
    EXPECT_EQ(voice.dropped(), 0u);
}

// Renumbering and large frames gain a sender nothing: frames numbered at or
// before the last admitted one pass only as the one repeat, and bytes
// count as well as seconds.
TEST(ClientVoice, RenumberedOrLargeFramesAreHeldToTheAllowance)
{
    const uint8_t big[1000] = {};
    const std::vector<OpusFrameView> one(1, OpusFrameView{big, sizeof big});
    struct Case {
        const char* what;
        bool renumbered;
    } cases[] = {{"numbered on", false}, {"always numbered 7", true}};
    for (const Case& c : cases) {
        ClientVoice voice;
        uint32_t t = 100000, passed = 0;
        // Ten seconds of 1,000-byte frames, one every 20 ms.
        for (uint32_t i = 0; i < 500; ++i, t += 20) {
            uint32_t stale = 0;
            passed += voice.admitFrames(c.renumbered ? 7 : i, one, t, "mallory", &stale);
        }
        // The burst and the byte rate: about 150 of the 500, not all of them.
        EXPECT_LE(passed * sizeof big, (10 + 2) * VoiceRelayBytesPerSecond + sizeof big) << c.what;
        EXPECT_EQ(voice.dropped(), 500u - passed) << c.what;
    }
}

TEST(LinkLossMeter, TheLossOfEachStretchOfAHundredPacketsRoundedUp)
{
    struct Step {
        uint32_t delivered, dropped, percent;
    } steps[] = {
        {0, 0, OpusExpectedLossPercent},  // nothing known yet
        {50, 5, OpusExpectedLossPercent}, // a stretch not yet complete
        {190, 10, 5},                     // 10 of 200 lost
        {290, 10, 0},                     // a clean stretch of 100
        {350, 15, 0},                     // 65 more: not yet a stretch
        {371, 30, 20},                    // 20 of 101 (19.8%), rounded up
        {10, 0, 20},                      // another connection's counts: kept until it has a stretch
        {110, 0, 0},
    };
    LinkLossMeter meter;
    for (const auto& s : steps)
        EXPECT_EQ(meter.update(s.delivered, s.dropped), s.percent) << s.delivered << "/" << s.dropped;
}
