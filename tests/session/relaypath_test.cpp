// The one relay path: every action of a user reaches the other users the
// same way whether the user is a client (with a connection) or the server's
// own user (HostUser, without one), by the receiver's wire version; and a
// user's leave leaves nothing kept about them behind.
#include <cmath>
#include <cstring>
#include <tuple>

#include "session/hostuser.h"
#include "sessiontestutil.h"
#include "voice/opuscodec.h"

namespace seafold::test {
namespace {

// Half a second of a 200 Hz tone in Opus, a tick (one frame) at a time.
std::vector<RefPtr<ByteBuffer>> toneTicks()
{
    OpusFramedEncoder encoder(opusBitrateForLink(2500));
    std::vector<RefPtr<ByteBuffer>> ticks;
    for (uint32_t frame = 0; frame < 25; ++frame) {
        RefPtr<ByteBuffer> pcm = new ByteBuffer(OpusFrameSamples * 2);
        auto* samples = reinterpret_cast<int16_t*>(pcm->data());
        for (uint32_t i = 0; i < OpusFrameSamples; ++i)
            samples[i] =
                int16_t(8000 * std::sin(2 * M_PI * 200 * double(frame * OpusFrameSamples + i) / OpusSampleRate));
        ticks.push_back(encoder.encodeBuffer(pcm));
    }
    return ticks;
}

enum class From { Client, Host };

// The user under test, joined after the two listeners: a client of
// version 1 or the server's own user, doing the same things.
struct Sender {
    virtual ~Sender() = default;
    virtual void select(const char* model) = 0;
    virtual void move(double dx, double dy, double dz) = 0;
    virtual void turn(const Orientation& o) = 0;
    virtual void speakOpus(const RefPtr<ByteBuffer>& frames, bool endsSpurt, uint32_t nowMs) = 0;
    // False where this kind of user has no such voice.
    virtual bool speakLpc10(const RefPtr<ByteBuffer>& data) = 0;
    virtual void chat(const std::string& line) = 0;
    virtual void leave() = 0;
};

struct ClientSender : Sender {
    Peer& peer;
    explicit ClientSender(Peer& p) : peer(p) {}
    void select(const char* model) override { peer.toServer()->c2sEntitySelection(StringPtr(model)); }
    void move(double dx, double dy, double dz) override { peer.toServer()->sendMovement(dx, dy, dz); }
    void turn(const Orientation& o) override { peer.toServer()->sendOrientation(o); }
    void speakOpus(const RefPtr<ByteBuffer>& frames, bool endsSpurt, uint32_t) override
    {
        peer.toServer()->sendVoiceFrames(frames, endsSpurt);
    }
    bool speakLpc10(const RefPtr<ByteBuffer>& data) override
    {
        return peer.toServer()->c2sVoice(false, data, StringPtr("anyone"));
    }
    void chat(const std::string& line) override { peer.toServer()->sendChat(line); }
    void leave() override { peer.toServer()->disconnect("Bye"); }
};

struct HostSender : Sender {
    HostUser host;
    explicit HostSender(Session& session) : host(session) { host.join("sender"); }
    void select(const char* model) override { host.select(model); }
    void move(double dx, double dy, double dz) override { host.move(dx, dy, dz); }
    void turn(const Orientation& o) override { host.turn(o); }
    void speakOpus(const RefPtr<ByteBuffer>& frames, bool endsSpurt, uint32_t nowMs) override
    {
        host.sendVoiceFrames(frames, endsSpurt, nowMs);
    }
    bool speakLpc10(const RefPtr<ByteBuffer>&) override { return false; } // the host speaks Opus only
    void chat(const std::string& line) override { host.chat(line); }
    void leave() override { host.leave(); }
};

struct RelayPath : SessionTest {
    Peer* seafold = nullptr; // a listener of version 1
    Peer* base = nullptr;    // a listener of version 0
    std::unique_ptr<Sender> sender;

    void start(From from)
    {
        seafold = &add("seafold");
        base = &addVersionZero("base");
        ASSERT_TRUE(run(800, [&] { return server().roster.size() == 2; }));
        if (from == From::Client)
            sender = std::make_unique<ClientSender>(add("sender"));
        else
            sender = std::make_unique<HostSender>(server().session);
        ASSERT_TRUE(settle());
    }
    // Rounds with every voice played as the main loop would (the server's
    // own user's too), then until everything is delivered.
    void deliver(HostUser* host)
    {
        setSoundClock([this] { return clock.now; });
        run(60, [&] {
            for (auto& p : peers)
                serviceVoices(p->session);
            if (host)
                host->serviceVoice(clock.now);
            return false;
        });
        setSoundClock(nullptr);
        ASSERT_TRUE(settle());
    }
    HostUser* hostUser()
    {
        return dynamic_cast<HostSender*>(sender.get()) ? &static_cast<HostSender*>(sender.get())->host : nullptr;
    }
    SimpleEventConnection* serverSideOf(const std::string& name)
    {
        ClientRecord* record = server().roster.find(name);
        return record ? record->connection.get() : nullptr;
    }
};

// One action: what it is, and the call each listener gets for it (empty:
// none at all).
struct Row {
    const char* action;
    const char* toSeafold;
    const char* toBase;
};

const Row Rows[] = {
    {"join", "s2cIntroduceNewClient", "s2cIntroduceNewClient"},
    {"select", "s2cEntityNotify", "s2cEntityNotify"},
    {"move", "s2cmakeMovement", "s2cmakeMovement"},
    {"turn", "s2cOrientation", ""},
    {"opus voice", "s2cVoiceFrames", "s2cVoice"}, // LPC-10, encoded again by the server
    {"lpc-10 voice", "s2cVoice", "s2cVoice"},
    {"chat", "s2cChat", ""},
    {"leave", "s2cclientDisconnect", "s2cclientDisconnect"},
};

// Every call a listener may get about the sender.
const char* const RelayCalls[] = {"s2cIntroduceNewClient", "s2cEntityNotify", "s2cmakeMovement", "s2cOrientation",
                                  "s2cVoiceFrames",        "s2cVoice",        "s2cChat",         "s2cclientDisconnect"};

struct RelayTable : RelayPath, ::testing::WithParamInterface<std::tuple<size_t, From>> {};

TEST_P(RelayTable, EachListenerGetsTheCallsOfItsVersionWhoeverActs)
{
    const Row& row = Rows[std::get<0>(GetParam())];
    const From from = std::get<1>(GetParam());
    const std::string action = row.action;
    if (action == "join") {
        seafold = &add("seafold");
        base = &addVersionZero("base");
        ASSERT_TRUE(run(800, [&] { return server().roster.size() == 2; }));
        ASSERT_TRUE(settle());
    } else {
        start(from);
    }
    seafold->calls.clear();
    base->calls.clear();

    if (action == "join")
        sender = from == From::Client ? std::unique_ptr<Sender>(new ClientSender(add("sender")))
                                      : std::unique_ptr<Sender>(new HostSender(server().session));
    else if (action == "select")
        sender->select("boat.mesh");
    else if (action == "move")
        sender->move(1, 2, 3);
    else if (action == "turn")
        sender->turn(Orientation::fromYawDegrees(90));
    else if (action == "opus voice") {
        std::vector<RefPtr<ByteBuffer>> ticks = toneTicks();
        setSoundClock([this] { return clock.now; });
        for (size_t k = 0; k < ticks.size(); ++k) {
            sender->speakOpus(ticks[k], k + 1 == ticks.size(), clock.now);
            run(1, [&] {
                for (auto& p : peers)
                    serviceVoices(p->session);
                if (HostUser* host = hostUser())
                    host->serviceVoice(clock.now);
                return false;
            });
        }
        setSoundClock(nullptr);
    } else if (action == "lpc-10 voice") {
        RefPtr<ByteBuffer> data = new ByteBuffer(7);
        std::memset(data->data(), 0x5a, 7);
        if (!sender->speakLpc10(data))
            GTEST_SKIP() << "the server's own user speaks Opus only";
    } else if (action == "chat")
        sender->chat("hi");
    else if (action == "leave")
        sender->leave();
    deliver(hostUser());

    for (Peer* listener : {seafold, base}) {
        SCOPED_TRACE(listener->name);
        const std::string expected = listener == seafold ? row.toSeafold : row.toBase;
        for (const char* call : RelayCalls) {
            std::vector<std::string> got = listener->callsNamed(call);
            if (expected != call) {
                EXPECT_TRUE(got.empty()) << call;
                continue;
            }
            ASSERT_FALSE(got.empty()) << call;
            // Always under the sender's roster name, never another.
            for (const std::string& args : got) {
                const Json parsed = Json::parse(args);
                EXPECT_TRUE(parsed.front() == "sender" || parsed.back() == "sender") << call << " " << args;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ActionsBySenders, RelayTable,
                         ::testing::Combine(::testing::Range(size_t(0), std::size(Rows)),
                                            ::testing::Values(From::Client, From::Host)),
                         [](const ::testing::TestParamInfo<std::tuple<size_t, From>>& info) {
                             std::string name = Rows[std::get<0>(info.param)].action;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name + (std::get<1>(info.param) == From::Client ? "_client" : "_host");
                         });

// Once a user who moved, turned and spoke has left, no listener's connection
// keeps anything about them: the leave path forgets for clients and the
// host alike (a client's leave used to keep each listener's voice batch of
// the departed speaker for as long as the listener stayed).
struct LeaveForgets : RelayPath, ::testing::WithParamInterface<From> {};

TEST_P(LeaveForgets, NothingAboutTheLeaverStays)
{
    start(GetParam());
    const uint64_t leaverId = server().roster.find("sender")->id;
    sender->move(1, 0, 0);
    sender->turn(Orientation::fromYawDegrees(45));
    std::vector<RefPtr<ByteBuffer>> ticks = toneTicks();
    setSoundClock([this] { return clock.now; });
    sender->speakOpus(ticks[0], true, clock.now);
    setSoundClock(nullptr);
    deliver(hostUser());
    SimpleEventConnection* toSeafold = serverSideOf("seafold");
    SimpleEventConnection* toBase = serverSideOf("base");
    ASSERT_TRUE(toSeafold && toBase);
    // Movement, orientation and voice to a peer of version 1; movement only
    // to one of version 0.
    EXPECT_EQ(toSeafold->updates().entriesAbout(leaverId), 3u);
    EXPECT_EQ(toBase->updates().entriesAbout(leaverId), 1u);
    EXPECT_NE(seafold->session.speakerVoices().playoutOf("sender"), nullptr);
    const size_t rosterBefore = server().roster.size();

    sender->leave();
    deliver(hostUser());
    EXPECT_EQ(toSeafold->updates().entriesAbout(leaverId), 0u);
    EXPECT_EQ(toBase->updates().entriesAbout(leaverId), 0u);
    EXPECT_EQ(server().roster.size(), rosterBefore - 1);
    EXPECT_EQ(server().roster.find("sender"), nullptr);
    // The listeners forget the speaker's voice and model too.
    EXPECT_EQ(seafold->session.speakerVoices().playoutOf("sender"), nullptr);
    EXPECT_EQ(seafold->roster.find("sender"), nullptr);
    EXPECT_EQ(base->roster.find("sender"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(ClientAndHost, LeaveForgets, ::testing::Values(From::Client, From::Host),
                         [](const ::testing::TestParamInfo<From>& info) {
                             return std::string(info.param == From::Client ? "Client" : "Host");
                         });

} // namespace
} // namespace seafold::test
