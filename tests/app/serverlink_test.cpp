// The client's link to its server hears the connection's states beside
// whoever else listens to the session, subscribed before or after it.
#include "app/console.h"
#include "app/network.h"
#include "app/serverlink.h"
#include "session/simpleeventconnection.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace seafold {
namespace {

std::string contents(std::FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[512];
    size_t length;
    while ((length = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, length);
    return text;
}

// The link used to hear the states only by wrapping the session's one
// observer anew each pass, so it depended on who set the observer when.
TEST(ServerLink, HearsEveryStateWhoeverListensBeforeOrAfterIt)
{
    ServerLink link;
    Roster roster;
    Session session(roster, false);
    std::FILE* console = std::tmpfile();
    ASSERT_NE(console, nullptr);
    setConsoleStream(console);
    std::vector<std::string> seen;
    SessionListener log;
    log.onConnectionState = [&seen](const char* state, const char*) { seen.push_back(std::string("log ") + state); };
    session.subscribe(log);
    link.setRetry(false);
    link.watch(session);
    link.watch(session); // again: still one line per state
    session.reportConnectionState("connected", "");
    SessionListener panel;
    panel.onConnectionState = [&seen](const char* state, const char*) {
        seen.push_back(std::string("panel ") + state);
    };
    session.subscribe(panel);
    session.reportConnectionState("disconnected", "Shutdown");
    setConsoleStream(nullptr);

    std::vector<std::string> expected = {"log connected", "log disconnected", "panel disconnected"};
    EXPECT_EQ(seen, expected);
    std::string lines = contents(console);
    std::fclose(console);
    // A link that is up is not yet a session: "Connected" used to come
    // before every refusal of the join. Without a server that let the user
    // in, it is never said.
    EXPECT_EQ(lines.find("Connected to the server"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("Lost the connection"), lines.rfind("Lost the connection")) << lines;
    EXPECT_NE(lines.find("the server shut down."), std::string::npos) << lines;
    session.unsubscribeAll();
}

// A client refused for a reason waiting cannot change used to try again
// every 5 s for ever, and --no-retry did not end it.
TEST(ServerLink, ARefusalThatWillNotChangeEndsTheClientAndOthersAreRetried)
{
    struct Case {
        const char* state;
        std::string reason;
        bool retry;   // retrying on (no --no-retry)
        bool givesUp; // ends the program instead of trying again
    };
    const Case cases[] = {
        {"failed", "The server's key fingerprint is aa, not bb as given with --server-key", true, true},
        {"failed", NetInterface::KeyExchangeRequiredReason, true, true},
        {"failed", NetInterface::NoKeyExchangeOfferedReason, true, true},
        {"failed", "CHR_INVALID", true, true},
        {"failed", "Incompatible program version", true, true},
        {"failed", WrongPasswordReason, true, true},
        {"failed", std::string(BannedReasonPrefix) + " for 10 minutes", true, true},
        {"disconnected", std::string(KickedReasonPrefix) + ": enough", true, true},
        {"disconnected", NameRequiredReason, true, true},
        {"failed", "Server full", true, false},
        {"failed", "Timeout", true, false},
        {"disconnected", "Timeout", true, false},
        {"failed", "Timeout", false, true},
        {"disconnected", "Shutdown", false, true},
    };
    for (const Case& c : cases) {
        ServerLink link;
        link.setRetry(c.retry);
        int gaveUp = 0, retries = 0;
        link.setOnGiveUp([&] { ++gaveUp; });
        link.setStartNextAttempt([&] { ++retries; });
        std::FILE* console = std::tmpfile();
        ASSERT_NE(console, nullptr);
        setConsoleStream(console);
        link.connectionStateChanged(c.state, c.reason.c_str());
        link.service(ServerLink::RetryDelayMs + 1);
        setConsoleStream(nullptr);
        std::string lines = contents(console);
        std::fclose(console);
        EXPECT_EQ(gaveUp, c.givesUp ? 1 : 0) << c.reason << "\n" << lines;
        EXPECT_EQ(retries, c.givesUp ? 0 : 1) << c.reason;
        // Who refused is said in words, never as a bare code.
        if (c.givesUp && c.retry) {
            EXPECT_TRUE(lines.find("refused") != std::string::npos || lines.find("banned") != std::string::npos ||
                        lines.find("removed") != std::string::npos)
                << lines;
        }
    }
    appSession().unsubscribeAll();
}

// A client started a moment before its server heard that nothing listens
// and waited the full 5 s; now it tries again within a second, and after
// any other failure still after 5 s; after a server said it was restarted,
// at the next pass.
TEST(ServerLink, NothingListeningIsTriedAgainWithinASecond)
{
    struct Case {
        const char* reason;
        uint32_t delayMs;
    };
    const Case cases[] = {{NetInterface::NothingListensReason, ServerLink::RetryNothingListensMs},
                          {NetInterface::ServerForgotReason, ServerLink::RetryServerForgotMs},
                          {"Timeout", ServerLink::RetryDelayMs}};
    for (const Case& c : cases) {
        ServerLink link;
        int retries = 0;
        link.setStartNextAttempt([&] { ++retries; });
        std::FILE* console = std::tmpfile();
        ASSERT_NE(console, nullptr);
        setConsoleStream(console);
        link.service(100);
        link.connectionStateChanged("failed", c.reason);
        link.service(100 + c.delayMs - 1);
        EXPECT_EQ(retries, 0) << c.reason;
        link.service(100 + c.delayMs);
        EXPECT_EQ(retries, 1) << c.reason;
        setConsoleStream(nullptr);
        std::fclose(console);
    }
    appSession().unsubscribeAll();
}

// "No answer" used to come only when the attempt gave up, after 15 s.
TEST(ServerLink, AnUnansweredJoinIsToldAfterTwoSecondsAndCounted)
{
    ServerLink link;
    std::FILE* console = std::tmpfile();
    ASSERT_NE(console, nullptr);
    setConsoleStream(console);
    link.connectionStateChanged("connecting", "");
    for (uint32_t now = 0; now <= 6000; now += 100)
        link.service(now);
    setConsoleStream(nullptr);
    std::string lines = contents(console);
    std::fclose(console);
    EXPECT_NE(lines.find("No answer yet from  after 2 s"), std::string::npos) << lines;
    EXPECT_NE(lines.find("No answer yet from  after 5 s"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("after 1 s"), std::string::npos) << lines;
    appSession().unsubscribeAll();
}

} // namespace
} // namespace seafold
