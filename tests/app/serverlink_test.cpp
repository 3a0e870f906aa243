// The client's link to its server hears the connection's states even when
// someone else (a panel that shows them) sets the session's observer later.
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

TEST(ServerLink, AnObserverSetLaterIsWrappedOnceAndTheLinkStillHears)
{
    Roster roster;
    Session session(roster, false);
    std::FILE* console = std::tmpfile();
    ASSERT_NE(console, nullptr);
    setConsoleStream(console);
    std::vector<std::string> seen;
    session.onConnectionState = [&seen](const char* state, const char*) {
        seen.push_back(std::string("log ") + state);
    };
    gServerLink.setRetry(false);
    gServerLink.watch(session);
    session.onConnectionState("connected", "");
    // A panel replaces the observer after start-up; the next pass wraps it.
    session.onConnectionState = [&seen](const char* state, const char*) {
        seen.push_back(std::string("panel ") + state);
    };
    gServerLink.watch(session);
    gServerLink.watch(session);
    session.onConnectionState("disconnected", "Shutdown");
    setConsoleStream(nullptr);

    std::vector<std::string> expected = {"log connected", "panel disconnected"};
    EXPECT_EQ(seen, expected);
    std::string lines = contents(console);
    std::fclose(console);
    EXPECT_NE(lines.find("Connected to the server"), std::string::npos) << lines;
    // Wrapped once: one line per state, not one per watch.
    EXPECT_EQ(lines.find("Lost the connection"), lines.rfind("Lost the connection")) << lines;
    EXPECT_NE(lines.find("the server shut down."), std::string::npos) << lines;
    session.onConnectionState = nullptr;
}

} // namespace
} // namespace seafold
