// The options as the parser reads them reach the objects a program builds
// from them: the interface's rate and connection limit and its key exchange,
// the session's settings and the console's quiet flag. The objects are built
// and the network started on loopback; the main loop never runs.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/commandline.h"
#include "app/console.h"
#include "app/network.h"
#include "net/socket.h"
#include "session/headlessscene.h"

namespace seafold {
namespace {

// The words of `text`, with PORT standing for a free loopback port (the
// command line takes no port 0).
std::vector<std::string> words(const std::string& text)
{
    Socket probe(NetAddress(IPProtocol, LocalhostAddress, 0));
    const std::string port = std::to_string(probe.boundAddress().port);
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string word; in >> word;) {
        size_t at = word.find("PORT");
        if (at != std::string::npos)
            word.replace(at, 4, port);
        out.push_back(word);
    }
    return out;
}

NetConnection::RateInfo rateOf(uint32_t intervalMs, uint32_t bytesPerSecond)
{
    NetConnection::RateInfo rate;
    rate.minPacketSendPeriod = rate.minPacketRecvPeriod = intervalMs;
    rate.maxSendBandwidth = rate.maxRecvBandwidth = bytesPerSecond;
    return rate;
}

struct Reached {
    const char* args;
    NetConnection::RateInfo rate; // of every connection the interface makes
    uint32_t maxConnections;
    bool keyExchange;
    uint32_t pingIntervalMs; // the session's; 0 = its default
    std::string pinnedKey;   // the session's
    bool flatVoice;
    bool quiet;
    bool sealing = true; // a server makes a key, a client asks for key exchange
    uint32_t maxPerAddress = NetInterface::DefaultMaxPerAddress;
    uint64_t queueBudgetBytes = NetInterface::DefaultQueueBudgetBytes;
};

// The session is the process's: each row sets what it reads, and the ping
// interval, left alone without --ping-interval, is given last.
const Reached Rows[] = {
    {"server 127.0.0.1:PORT", rateOf(96, 2500), NetInterface::DefaultMaxConnections, false, 0, "", false, false},
    {"server 127.0.0.1:PORT --secure --flat-voice --max-clients 1", rateOf(96, 2500), 1, true, 0, "", true, false},
    {"-client 127.0.0.1:9 bob --server-key 0123456789abcdef --rate 50,10000 --quiet", rateOf(50, 10000),
     NetInterface::DefaultMaxConnections, true, 0, "0123456789abcdef", false, true},
    {"server 127.0.0.1:PORT --insecure --max-per-address 2 --max-queued-mb 8", rateOf(96, 2500),
     NetInterface::DefaultMaxConnections, false, 0, "", false, false, false, 2, 8u << 20},
    {"-client 127.0.0.1:9 bob --insecure", rateOf(96, 2500), NetInterface::DefaultMaxConnections, false, 0, "", false,
     false, false},
    {"server 127.0.0.1:PORT --rate 16,65535 --max-clients 7 --quiet --ping-interval 1234", rateOf(16, 65535), 7, false,
     1234, "", false, true},
};

TEST(ProgramOptions, ReachTheInterfaceTheSessionAndTheConsole)
{
    for (const Reached& row : Rows) {
        SCOPED_TRACE(row.args);
        ProgramOptions options;
        ASSERT_TRUE(parseProgramOptions(Program::Headless, words(row.args), &options).run);

        Console console(Program::Headless, options.shared);
        HeadlessScene scene;
        Audio audio;
        SessionHost host(options, scene, audio);
        testing::internal::CaptureStdout();
        ASSERT_TRUE(host.start(options.line));
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(gNetInterface);

        // A connection the interface makes takes its default rate.
        RefPtr<SimpleEventConnection> probe = new SimpleEventConnection;
        probe->connect(gNetInterface, gNetInterface->boundAddress());
        const NetConnection::RateInfo& rate = probe->localRate();
        EXPECT_EQ(rate.minPacketSendPeriod, row.rate.minPacketSendPeriod);
        EXPECT_EQ(rate.minPacketRecvPeriod, row.rate.minPacketRecvPeriod);
        EXPECT_EQ(rate.maxSendBandwidth, row.rate.maxSendBandwidth);
        EXPECT_EQ(rate.maxRecvBandwidth, row.rate.maxRecvBandwidth);
        EXPECT_EQ(gNetInterface->maxConnections(), row.maxConnections);
        EXPECT_EQ(gNetInterface->requiresKeyExchange(), row.keyExchange);
        EXPECT_EQ(host.serverKeyFingerprint().empty(), !(row.sealing && !options.line.isClient));
        EXPECT_EQ(gNetInterface->asksForKeyExchange(), row.sealing);
        if (!options.line.isClient) {
            EXPECT_EQ(gNetInterface->maxPerAddress(), row.maxPerAddress);
            EXPECT_EQ(gNetInterface->queueBudgetBytes(), row.queueBudgetBytes);
        }

        EXPECT_EQ(appSession().isServer(), !options.line.isClient);
        EXPECT_EQ(appSession().settings().pingIntervalMs, row.pingIntervalMs);
        EXPECT_EQ(appSession().settings().serverKeyFingerprint, row.pinnedKey);
        EXPECT_EQ(appSession().settings().flatVoice, row.flatVoice);

        EXPECT_EQ(console.quiet(), row.quiet);
        EXPECT_EQ(&currentConsole(), &console);
        probe = nullptr;
    }
}

// Echo cancellation by default unless push-to-talk goes with a headset;
// the option decides on its own.
TEST(EchoChoice, OnUnlessPushToTalkGoesWithAHeadsetOrTheOptionSays)
{
    using Echo = SharedOptions::EchoChoice;
    struct Case {
        Echo choice;
        bool voiceActivation;
        const char* output;
        bool cancels;
    } cases[] = {
        {Echo::Auto, false, "Built-in Audio Analog Stereo", true}, {Echo::Auto, false, "USB Headset", false},
        {Echo::Auto, true, "USB Headset", true},                   {Echo::Off, true, "Speakers", false},
        {Echo::On, false, "Headphones", true},
    };
    for (const Case& c : cases) {
        SharedOptions options;
        options.echoCancellation = c.choice;
        options.voiceActivation = c.voiceActivation;
        options.outputDevice = c.output;
        EXPECT_EQ(wantsEchoCancellation(options), c.cancels) << c.output << " " << c.voiceActivation;
    }
}

} // namespace
} // namespace seafold
