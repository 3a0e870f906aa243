// The event log: the layout of its lines, texts that travel as bytes, and the
// what it listens to in a session and a scene.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "session/eventlog.h"
#include "session/headlessscene.h"
#include "session/simpleeventconnection.h"

using namespace seafold;

namespace {

// Everything written to a temporary stream, as lines.
std::vector<std::string> linesOf(std::FILE* file)
{
    std::rewind(file);
    std::vector<std::string> lines;
    std::string line;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += char(c);
        }
    }
    EXPECT_TRUE(line.empty()) << "unterminated line: " << line;
    return lines;
}

} // namespace

TEST(JsonText, KeepsValidUtf8AndEscapesEveryInvalidByte)
{
    EXPECT_EQ(jsonText("alice"), "alice");
    EXPECT_EQ(jsonText("Zo\xc3\xab"), "Zo\xc3\xab");                                       // "Zoë"
    EXPECT_EQ(jsonText("\xe2\x82\xac \xf0\x9f\x8c\x8a"), "\xe2\x82\xac \xf0\x9f\x8c\x8a"); // euro sign, wave
    EXPECT_EQ(jsonText("Zo\xeb"), "Zo\\xEB");                                              // the same name in Latin-1
    EXPECT_EQ(jsonText("ab\xc3"), "ab\\xC3");                                              // cut short at the end
    EXPECT_EQ(jsonText("\xc3(x"), "\\xC3(x");                        // a lead byte without its tail
    EXPECT_EQ(jsonText("\xc0\x80"), "\\xC0\\x80");                   // overlong NUL
    EXPECT_EQ(jsonText("\xed\xa0\x80"), "\\xED\\xA0\\x80");          // a UTF-16 surrogate
    EXPECT_EQ(jsonText("\xf4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80"); // above U+10FFFF
    EXPECT_EQ(jsonText("\xff\xfe"), "\\xFF\\xFE");
    EXPECT_EQ(jsonText(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(FormatJson, KeepsTheLayoutTheReadersExpect)
{
    Json event;
    event["model"] = "alice";
    event["entity"] = nullptr;
    event["pos"] = Json::array({0.0, -3.0, 0.5});
    EXPECT_EQ(formatJson(event), "{\"model\": \"alice\", \"entity\": null, \"pos\": [0.0, -3.0, 0.5]}");

    Json args = Json::array({"boat.mesh", 1.0, 7, true, Json::array({1, -2}), std::nan("")});
    EXPECT_EQ(formatJson(args), "[\"boat.mesh\", 1.0, 7, true, [1, -2], null]");
    EXPECT_EQ(formatJson(Json::array()), "[]");
    EXPECT_EQ(formatJson(Json{{"quote", "a\"b\\c\n"}}), "{\"quote\": \"a\\\"b\\\\c\\n\"}");
}

TEST(FormatJson, NamesComeOutReadableAndInvalidBytesNeverBreakTheLine)
{
    Json event;
    event["model"] = jsonText("Zo\xc3\xab");
    event["entity"] = jsonText("bad\xff.mesh");
    std::string text = formatJson(event);
    EXPECT_EQ(text, "{\"model\": \"Zo\xc3\xab\", \"entity\": \"bad\\\\xFF.mesh\"}");
    Json back = Json::parse(text);
    EXPECT_EQ(back["model"], "Zo\xc3\xab");
    EXPECT_EQ(back["entity"], "bad\\xFF.mesh");

    // A text that skipped jsonText still makes a valid line, without throwing.
    Json raw{{"name", std::string("x\xff")}};
    std::string rawText;
    ASSERT_NO_THROW(rawText = formatJson(raw));
    Json parsed;
    EXPECT_NO_THROW(parsed = Json::parse(rawText));
}

TEST(EventLog, WritesOneFlushedLineWithTheTimeLast)
{
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EventLog log;
    EXPECT_FALSE(log.active());
    log.write(Json{{"lost", true}}); // closed: nothing
    log.openStream(file);
    EXPECT_TRUE(log.active());
    log.write(Json{{"sound", false}});
    log.close();
    std::vector<std::string> lines = linesOf(file);
    std::fclose(file);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("{\"sound\": false, \"t\": ", 0), 0u) << lines[0];
    Json parsed = Json::parse(lines[0]);
    EXPECT_GT(parsed["t"].get<int64_t>(), 1600000000000); // wall-clock ms
}

TEST(EventLog, FileThatCannotBeWrittenIsReported)
{
    EventLog log;
    std::string error;
    EXPECT_FALSE(log.openFile("/nonexistent-folder/events.log", &error));
    EXPECT_NE(error.find("/nonexistent-folder/events.log"), std::string::npos);
    EXPECT_FALSE(log.active());
}

TEST(EventLog, WatchesTheSessionAndTheScene)
{
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    HeadlessScene scene;
    Roster roster(&scene);
    Session session(roster, false);
    EventLog log;
    log.openStream(file);
    log.watch(session, scene);

    session.reportRpc("s2cmakeMovement", Json::array({0.0, 0.0, -3.0, jsonText("Zo\xc3\xab")}));
    session.reportConnectionState("connected", "");
    session.reportConnectionState("failed", "timed out");
    roster.append("Zo\xc3\xab", nullptr);
    roster.setClientEntity("boat.mesh", 0, 0, 2, "Zo\xc3\xab");
    roster.removeClient("Zo\xc3\xab");

    log.unwatch(session, scene);
    EXPECT_FALSE(session.tracesRpcs());
    EXPECT_FALSE(scene.hasOnModelChange());
    roster.append("quiet", nullptr);
    roster.setClientEntity("boat.mesh", 0, 0, 0, "quiet"); // no longer logged
    log.close();

    std::vector<std::string> lines = linesOf(file);
    std::fclose(file);
    std::vector<std::string> bodies;
    for (const std::string& line : lines) {
        size_t t = line.rfind(", \"t\": ");
        ASSERT_NE(t, std::string::npos) << line;
        Json parsed;
        EXPECT_NO_THROW(parsed = Json::parse(line)) << line;
        bodies.push_back(line.substr(0, t) + "}");
    }
    std::vector<std::string> expected = {
        "{\"rpc\": \"s2cmakeMovement\", \"args\": [0.0, 0.0, -3.0, \"Zo\xc3\xab\"]}",
        "{\"state\": \"connected\"}",
        "{\"state\": \"failed\", \"reason\": \"timed out\"}",
        "{\"model\": \"Zo\xc3\xab\", \"entity\": \"boat.mesh\", \"pos\": [0.0, 0.0, 2.0]}",
        "{\"model\": \"Zo\xc3\xab\", \"entity\": null, \"pos\": [0.0, 0.0, 0.0]}",
    };
    EXPECT_EQ(bodies, expected);
    roster.clear();
}
