// Voice across the wire's version boundary, in one process: peers of
// version 0 (emulated by offering only the 21 base calls) with Seafold
// peers in both directions, Opus between Seafold peers, an Opus speaker
// heard in LPC-10 by a peer of version 0, and Opus played through OpenAL
// Soft's loopback device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "voice/testsignals.h"
#include "session/clientvoice.h"
#include "session/hostuser.h"
#include "session/wireversion.h"
#include "sessiontestutil.h"
#include "sound/sound.h"
#include "voice/voicecodec.h"

using namespace seafold;
using namespace seafold::test;
using namespace seafold::testsignals;

namespace {

// A tick's worth of Opus frames (each with its length) of `samples`.
std::vector<RefPtr<ByteBuffer>> opusTicks(OpusFramedEncoder& encoder, const std::vector<int16_t>& samples)
{
    std::vector<RefPtr<ByteBuffer>> ticks;
    for (size_t at = 0; at + OpusFrameSamples <= samples.size(); at += OpusFrameSamples) {
        RefPtr<ByteBuffer> pcm = new ByteBuffer(OpusFrameSamples * 2);
        std::memcpy(pcm->data(), &samples[at], OpusFrameSamples * 2);
        ticks.push_back(encoder.encodeBuffer(pcm));
    }
    return ticks;
}

std::vector<int16_t> decodeLpc(const std::vector<RefPtr<ByteBuffer>>& messages)
{
    RefPtr<LPC10VoiceDecoder> decoder = new LPC10VoiceDecoder;
    std::vector<int16_t> out;
    for (auto& m : messages) {
        RefPtr<ByteBuffer> pcm = decoder->decodeBuffer(m);
        const size_t old = out.size();
        out.resize(old + pcm->size() / 2);
        std::memcpy(out.data() + old, pcm->data(), pcm->size());
    }
    return out;
}

RefPtr<ByteBuffer> bytesOf(const std::string& hex)
{
    RefPtr<ByteBuffer> b = new ByteBuffer(uint32_t(hex.size() / 2));
    for (size_t i = 0; i < b->size(); ++i)
        b->data()[i] = uint8_t(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return b;
}

struct VersionSession : SessionTest {
    // A client that offers only the calls of `version`.
    Peer& addOfVersion(const std::string& name, int32_t version)
    {
        peers.push_back(std::make_unique<Peer>(name, false, clock));
        Peer& added = *peers.back();
        auto* connection = new SimpleEventConnection;
        connection->setHighestClassVersion(version);
        added.connectionToServer = connection;
        connection->connect(added.netInterface, server().netInterface->boundAddress());
        connection->c2sAddNewClient(StringPtr(name.c_str()));
        size_t before = server().roster.size();
        run(800, [&] { return server().roster.size() > before; });
        return added;
    }
    // The server as a peer of `version`: set before anyone connects.
    void serverOfVersion(int32_t version)
    {
        SessionSettings settings = server().session.settings();
        settings.highestWireVersion = version;
        server().session.setSettings(settings);
    }
    SimpleEventConnection* serverSideOf(const std::string& name)
    {
        ClientRecord* record = server().roster.find(name);
        return record ? record->connection : nullptr;
    }
    // Rounds with every peer's voices played as the main loop would.
    bool runVoices(uint32_t rounds, const std::function<bool()>& done)
    {
        followTestClock(true);
        bool finished = run(rounds, [&] {
            for (auto& p : peers)
                serviceVoices(p->session);
            return done();
        });
        followTestClock(false);
        return finished;
    }
    // Two seconds of a vowel at 120 Hz in Opus, a frame every 20 ms.
    static std::vector<RefPtr<ByteBuffer>> vowelTicks()
    {
        OpusFramedEncoder encoder(opusBitrateForLink(2500));
        return opusTicks(encoder, vowel(OpusSampleRate, 2.0, 8000));
    }
    // `old` (version 0) heard `speaker`'s vowel in LPC-10, `carol` (version
    // 1) in Opus only.
    void expectVowelInLpc10(const Peer& old, const Peer& carol, const std::string& speaker)
    {
        // The specified message every 100 ms of speech, under the speaker's name.
        std::vector<std::string> calls = old.callsNamed("s2cVoice");
        ASSERT_GE(calls.size(), 15u);
        std::vector<RefPtr<ByteBuffer>> messages;
        for (auto& call : calls) {
            Json args = Json::parse(call);
            EXPECT_EQ(args[1].get<std::string>(), speaker);
            messages.push_back(bytesOf(args[0].get<std::string>()));
            EXPECT_LE(messages.back()->size(), 7u * 5);
        }
        EXPECT_TRUE(old.callsNamed("s2cVoiceFrames").empty());
        // What it decodes to is the vowel: its pitch and a speaking level.
        std::vector<int16_t> heard = decodeLpc(messages);
        ASSERT_GT(heard.size(), size_t(VoiceSampleRate));
        const size_t from = heard.size() / 4, to = heard.size() * 3 / 4;
        EXPECT_NEAR(autocorrelationHz(heard, from, to, VoiceSampleRate), 120.0, 8.0);
        EXPECT_GT(rms(heard, from, to), 500.0);
        EXPECT_FALSE(carol.callsNamed("s2cVoiceFrames").empty());
        EXPECT_TRUE(carol.callsNamed("s2cVoice").empty());
    }
    // The whole session as version 0 has it: join (done), select, move,
    // LPC-10 voice, leave; `a` and `b` see each other.
    void runBaseSession(Peer& a, Peer& b)
    {
        a.toServer()->c2sEntitySelection(StringPtr("fish.mesh"));
        a.toServer()->c2smakeMovement(1.0, 0, -2.0);
        RefPtr<ByteBuffer> voice = new ByteBuffer(4);
        std::memcpy(voice->data(), "\x01\x02\x03\x04", 4);
        a.toServer()->c2sVoice(false, voice, StringPtr("a"));
        b.toServer()->c2sEntitySelection(StringPtr("boat.mesh"));
        ASSERT_TRUE(settle());
        const HeadlessScene::Model* model = b.scene.modelOf(a.name);
        ASSERT_NE(model, nullptr);
        EXPECT_EQ(model->entity, "fish.mesh");
        EXPECT_FLOAT_EQ(model->x, 1.0f);
        EXPECT_FLOAT_EQ(model->z, -2.0f);
        ASSERT_NE(a.scene.modelOf(b.name), nullptr);
        EXPECT_EQ(b.callsNamed("s2cVoice"), std::vector<std::string>{"[\"01020304\", \"" + a.name + "\"]"});
        EXPECT_EQ(server().voices.size(), 1u);
        a.toServer()->disconnect("Bye");
        ASSERT_TRUE(settle());
        EXPECT_EQ(b.callsNamed("s2cclientDisconnect"), std::vector<std::string>{"[\"" + a.name + "\"]"});
        EXPECT_EQ(b.scene.modelOf(a.name), nullptr);
    }
};

} // namespace

TEST_F(VersionSession, AClientOfVersionZeroWithASeafoldServerGetsTheBaseSession)
{
    Peer& old = addOfVersion("old", WireVersionBase);
    Peer& bob = add("bob");
    ASSERT_TRUE(settle());
    EXPECT_EQ(old.toServer()->eventClassCount(), BaseEventClassCount);
    EXPECT_EQ(serverSideOf("old")->eventClassCount(), BaseEventClassCount);
    EXPECT_EQ(old.toServer()->eventClassBitSize(), 5u);
    EXPECT_FALSE(speaksSeafold(*serverSideOf("old")));
    EXPECT_TRUE(speaksSeafold(*bob.toServer()));
    runBaseSession(old, bob);
}

TEST_F(VersionSession, ASeafoldClientWithAServerOfVersionZeroGetsTheBaseSessionAndSpeaksLpc10)
{
    serverOfVersion(WireVersionBase);
    Peer& alice = add("alice");
    Peer& bob = add("bob");
    ASSERT_TRUE(settle());
    for (Peer* p : {&alice, &bob}) {
        EXPECT_EQ(p->toServer()->eventClassCount(), BaseEventClassCount);
        EXPECT_FALSE(speaksSeafold(*p->toServer()));
    }
    // A press on this connection runs as specified.
    VoiceMode mode = voiceModeFor(alice.toServer());
    EXPECT_EQ(mode.codec, VoiceCodecId::Lpc10);
    EXPECT_EQ(mode.sampleRate, uint32_t(CaptureSampleRate));
    EXPECT_EQ(mode.firstTickMs, uint32_t(VoiceFirstTickMs));
    EXPECT_EQ(mode.tickPeriodMs, uint32_t(VoiceTickPeriodMs));
    EXPECT_FALSE(mode.keepCadence);
    // Opus frames are never posted to it.
    OpusFramedEncoder encoder;
    EXPECT_FALSE(alice.toServer()->sendVoiceFrames(opusTicks(encoder, tone(440, OpusSampleRate, 0.02, 8000))[0], true));
    runBaseSession(alice, bob);
}

TEST_F(VersionSession, SeafoldPeersSpeakOpusRelayedUnchangedUnderTheRosterName)
{
    Peer& alice = add("alice");
    Peer& bob = add("bob");
    ASSERT_TRUE(settle());
    EXPECT_GT(alice.toServer()->eventClassCount(), BaseEventClassCount);
    VoiceMode mode = voiceModeFor(alice.toServer());
    ASSERT_EQ(mode.codec, VoiceCodecId::Opus);
    EXPECT_EQ(mode.sampleRate, uint32_t(OpusSampleRate));
    EXPECT_EQ(mode.tickPeriodMs, uint32_t(OpusFrameMs));
    // The default link (2,500 B/s) gets about 8 kbit/s.
    auto* opus = dynamic_cast<OpusFramedEncoder*>(mode.encoder.get());
    ASSERT_NE(opus, nullptr);
    EXPECT_EQ(opus->encoder().bitrate(), opusBitrateForLink(2500));

    OpusFramedEncoder encoder(opusBitrateForLink(2500));
    std::vector<RefPtr<ByteBuffer>> ticks = opusTicks(encoder, vowel(OpusSampleRate, 0.5, 8000));
    std::string sent;
    for (size_t k = 0; k < ticks.size(); ++k) {
        ASSERT_TRUE(alice.toServer()->sendVoiceFrames(ticks[k], k + 1 == ticks.size()));
        for (size_t i = 0; i < ticks[k]->size(); ++i)
            sent += "0123456789abcdef"[ticks[k]->data()[i] >> 4], sent += "0123456789abcdef"[ticks[k]->data()[i] & 15];
        run(1, [] { return false; });
    }
    ASSERT_TRUE(settle());
    // Frames waiting for the same packet went as one event; all arrived in
    // order on a clean link, unchanged, under alice's roster name.
    std::vector<std::string> relayed = bob.callsNamed("s2cVoiceFrames");
    ASSERT_FALSE(relayed.empty());
    EXPECT_LT(relayed.size(), ticks.size());
    std::string heard;
    for (auto& call : relayed) {
        Json args = Json::parse(call);
        EXPECT_EQ(args[0].get<uint32_t>(), uint32_t(VoiceCodecId::Opus));
        EXPECT_EQ(args[4].get<std::string>(), "alice");
        heard += args[3].get<std::string>();
    }
    EXPECT_EQ(heard, sent);
    EXPECT_TRUE(bob.callsNamed("s2cVoice").empty());
    EXPECT_TRUE(alice.callsNamed("s2cVoiceFrames").empty());
    EXPECT_NE(bob.session.speakerVoices().playoutOf("alice"), nullptr);
}

TEST_F(VersionSession, APressStartedBeforeTheLinksRateCameTakesItsBitrateOnceItComes)
{
    Peer& alice = add("alice");
    ASSERT_TRUE(settle());
    VoiceMode mode = voiceModeFor(alice.toServer());
    auto* opus = dynamic_cast<OpusFramedEncoder*>(mode.encoder.get());
    ASSERT_NE(opus, nullptr);
    EXPECT_EQ(opus->encoder().bitrate(), opusBitrateForLink(2500));
    NetConnection::RateInfo fast;
    fast.minPacketSendPeriod = fast.minPacketRecvPeriod = 16;
    fast.maxSendBandwidth = fast.maxRecvBandwidth = 65535;
    alice.toServer()->setLocalRate(fast);
    serverSideOf("alice")->setLocalRate(fast);
    // The rates travel with data: alice asks for a model, bob's joining is
    // news for alice.
    alice.toServer()->c2sEntitySelection(StringPtr("boat.mesh"));
    add("bob");
    ASSERT_TRUE(settle());
    ASSERT_EQ(alice.toServer()->sendInterval(), 16u);
    followLinkRate(*alice.toServer()); // as each tick of the press does
    EXPECT_EQ(opus->encoder().bitrate(), uint32_t(OpusMaxBitrate));
}

TEST_F(VersionSession, AListenerOfVersionZeroHearsAnOpusSpeakerInLpc10)
{
    Peer& alice = add("alice");
    Peer& old = addOfVersion("old", WireVersionBase);
    Peer& carol = add("carol");
    ASSERT_TRUE(settle());
    std::vector<RefPtr<ByteBuffer>> ticks = vowelTicks();
    followTestClock(true);
    for (size_t k = 0; k < ticks.size(); ++k) {
        alice.toServer()->sendVoiceFrames(ticks[k], k + 1 == ticks.size());
        runVoices(1, [] { return false; });
    }
    runVoices(100, [] { return false; });
    ASSERT_TRUE(settle());

    expectVowelInLpc10(old, carol, "alice");
}

// "mute alice" at the operator's console sets this flag: her Opus frames,
// which once went on to every listener regardless, reach nobody, in either
// codec, and the server (its host user's ears) plays none of them.
TEST_F(VersionSession, AMutedSpeakerIsRelayedToNobodyInEitherCodec)
{
    Peer& alice = add("alice");
    Peer& old = addOfVersion("old", WireVersionBase);
    Peer& carol = add("carol");
    ASSERT_TRUE(settle());
    server().roster.find("alice")->muted = true;
    std::vector<RefPtr<ByteBuffer>> ticks = vowelTicks();
    followTestClock(true);
    for (size_t k = 0; k < ticks.size(); ++k) {
        alice.toServer()->sendVoiceFrames(ticks[k], k + 1 == ticks.size());
        runVoices(1, [] { return false; });
    }
    runVoices(100, [] { return false; });
    followTestClock(false);
    ASSERT_TRUE(settle());
    EXPECT_TRUE(carol.callsNamed("s2cVoiceFrames").empty());
    EXPECT_TRUE(old.callsNamed("s2cVoice").empty());
    EXPECT_EQ(std::count(server().speakers.begin(), server().speakers.end(), "alice"), 0);
}

// A server's own user speaks Opus; its clients of version 0 hear it in
// LPC-10 under its name, as they hear a client of version 1.
TEST_F(VersionSession, AListenerOfVersionZeroHearsTheHostInLpc10)
{
    HostUser host(server().session);
    host.join("host");
    Peer& old = addOfVersion("old", WireVersionBase);
    Peer& carol = add("carol");
    ASSERT_TRUE(settle());
    std::vector<RefPtr<ByteBuffer>> ticks = vowelTicks();
    followTestClock(true);
    auto speakAndPlay = [&](uint32_t rounds) {
        run(rounds, [&] {
            host.serviceVoice(clock.now);
            return false;
        });
    };
    for (size_t k = 0; k < ticks.size(); ++k) {
        host.sendVoiceFrames(ticks[k], k + 1 == ticks.size(), clock.now);
        speakAndPlay(1);
    }
    speakAndPlay(100);
    followTestClock(false);
    ASSERT_TRUE(settle());

    expectVowelInLpc10(old, carol, "host");
}

TEST_F(VersionSession, UnderTenPercentLossConcealmentKeepsTheVoiceContinuous)
{
    Peer& alice = add("alice");
    Peer& bob = add("bob");
    ASSERT_TRUE(settle());
    NetworkSimulator::Settings lossy;
    lossy.dropPercent = 10;
    alice.simulate(lossy, 7);
    server().simulate(lossy, 8);
    OpusFramedEncoder encoder(opusBitrateForLink(2500));
    std::vector<RefPtr<ByteBuffer>> ticks = opusTicks(encoder, vowel(OpusSampleRate, 3.0, 8000));
    for (size_t k = 0; k < ticks.size(); ++k) {
        alice.toServer()->sendVoiceFrames(ticks[k], k + 1 == ticks.size());
        runVoices(1, [] { return false; });
    }
    runVoices(100, [] { return false; });
    const VoicePlayout* playout = bob.session.speakerVoices().playoutOf("alice");
    ASSERT_NE(playout, nullptr);
    const JitterStats& stats = playout->stats();
    // Every frame period of the three seconds was played or made up: no
    // gap, and about a fifth of them lost on the two links.
    EXPECT_GT(stats.concealed, ticks.size() / 20);
    EXPECT_GE(stats.played + stats.concealed + stats.drained, ticks.size() - 2);
    EXPECT_LT(stats.played, ticks.size());
}

// ---- through the loopback device -------------------------------------------------------------

namespace {

class OpusLoopback : public LoopbackSoundTest<OpusSampleRate> {
protected:
    // Speaks `said` as one spurt, a frame each 20 ms, with the frames that
    // `lost` picks never arriving; returns what the device played.
    std::vector<int16_t> speak(const std::vector<int16_t>& said, const std::function<bool(size_t)>& lost)
    {
        OpusFramedEncoder encoder(opusBitrateForLink(2500));
        std::vector<RefPtr<ByteBuffer>> ticks = opusTicks(encoder, said);
        Roster roster;
        SpeakerVoices voices(&mSound);
        std::vector<int16_t> out;
        for (size_t k = 0; k < ticks.size() + 20; ++k) {
            if (k < ticks.size() && !lost(k)) {
                std::vector<OpusFrameView> frames;
                EXPECT_TRUE(splitVoiceFrames(ticks[k], frames));
                voices.playFrames("alice", uint32_t(k), k + 1 == ticks.size(), frames, roster);
            }
            voices.service(mNow);
            mSound.update();
            std::vector<int16_t> part(OpusFrameSamples);
            EXPECT_TRUE(mSound.renderSamples(part.data(), OpusFrameSamples));
            out.insert(out.end(), part.begin(), part.end());
            mNow += OpusFrameMs;
        }
        mStats = voices.playoutOf("alice")->stats();
        return out;
    }
    JitterStats mStats;
};

// The first and last sample of the played sound louder than `threshold`.
std::pair<size_t, size_t> loudSpan(const std::vector<int16_t>& samples, int threshold)
{
    size_t first = samples.size(), last = 0;
    for (size_t i = 0; i < samples.size(); ++i)
        if (std::abs(int(samples[i])) > threshold) {
            first = std::min(first, i);
            last = i;
        }
    return {first, last};
}

// The longest run of digital silence (every sample within +-1) in [from, to).
size_t longestSilence(const std::vector<int16_t>& samples, size_t from, size_t to)
{
    size_t longest = 0, run = 0;
    for (size_t i = from; i < to; ++i) {
        run = std::abs(int(samples[i])) <= 1 ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

} // namespace

TEST_F(OpusLoopback, AToneAndAVowelComeOutAtTheirPitchAndLevel)
{
    struct Case {
        const char* name;
        std::vector<int16_t> said;
        double hz;
        bool pureTone;
    } cases[] = {
        {"tone", tone(440, OpusSampleRate, 1.0, 8000), 440, true},
        {"vowel", vowel(OpusSampleRate, 1.0, 8000), 120, false},
    };
    for (const Case& c : cases) {
        std::vector<int16_t> heard = speak(c.said, [](size_t) { return false; });
        auto span = loudSpan(heard, 1000);
        ASSERT_LT(span.first, span.second) << c.name;
        // The middle of what was heard, away from the codec's onset.
        const size_t from = span.first + (span.second - span.first) / 4;
        const size_t to = span.second - (span.second - span.first) / 4;
        const double hz = c.pureTone ? zeroCrossingHz(heard, from, to, OpusSampleRate)
                                     : autocorrelationHz(heard, from, to, OpusSampleRate);
        EXPECT_NEAR(hz, c.hz, c.hz * 0.03) << c.name;
        const double level = rms(heard, from, to) / rms(c.said, c.said.size() / 4, c.said.size() * 3 / 4);
        EXPECT_NEAR(level, 1.0, 0.3) << c.name; // within about 3 dB
        // About as long as said: nothing lost, nothing added.
        EXPECT_NEAR(double(span.second - span.first), double(c.said.size()), 0.1 * OpusSampleRate) << c.name;
        EXPECT_EQ(mStats.concealed, 0u) << c.name;
    }
}

TEST_F(OpusLoopback, TenPercentOfFramesLostAreConcealedWithoutAGap)
{
    std::mt19937 random(11);
    std::vector<bool> lost(200);
    for (size_t k = 1; k < lost.size() - 1; ++k)
        lost[k] = random() % 10 == 0;
    std::vector<int16_t> said = vowel(OpusSampleRate, 3.0, 8000);
    std::vector<int16_t> heard = speak(said, [&](size_t k) { return k < lost.size() && lost[k]; });
    auto span = loudSpan(heard, 1000);
    ASSERT_LT(span.first, span.second);
    EXPECT_GT(mStats.concealed, 10u);
    // Continuous: no stretch of 10 ms without sound inside the speech.
    EXPECT_LT(longestSilence(heard, span.first, span.second), size_t(OpusSampleRate / 100));
    EXPECT_NEAR(double(span.second - span.first), double(said.size()), 0.1 * OpusSampleRate);
}
