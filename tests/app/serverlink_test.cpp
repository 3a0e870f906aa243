// The client's link to its server hears the connection's states beside
// whoever else listens to the session, subscribed before or after it.
#include "app/console.h"
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
    gServerLink = ServerLink(); // a program's end in an earlier test stopped it
    Roster roster;
    Session session(roster, false);
    std::FILE* console = std::tmpfile();
    ASSERT_NE(console, nullptr);
    setConsoleStream(console);
    std::vector<std::string> seen;
    SessionListener log;
    log.onConnectionState = [&seen](const char* state, const char*) { seen.push_back(std::string("log ") + state); };
    session.subscribe(log);
    gServerLink.setRetry(false);
    gServerLink.watch(session);
    gServerLink.watch(session); // again: still one line per state
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
    EXPECT_NE(lines.find("Connected to the server"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("Connected to the server"), lines.rfind("Connected to the server")) << lines;
    EXPECT_EQ(lines.find("Lost the connection"), lines.rfind("Lost the connection")) << lines;
    EXPECT_NE(lines.find("the server shut down."), std::string::npos) << lines;
    session.unsubscribeAll();
}

} // namespace
} // namespace seafold
