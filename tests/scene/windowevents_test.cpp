// The window's event-log lines are read by the windowed tests and the
// measurement tools while the program runs: their keys, their order and how
// a missing value is written are what those readers match on.
#include "scene/windowevents.h"
#include "session/eventlog.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <functional>
#include <string>

namespace seafold {
namespace {

// The lines written by `write`, without their time field.
std::string linesOf(const std::function<void(WindowEvents&)>& write)
{
    std::FILE* file = std::tmpfile();
    EventLog log;
    log.openStream(file);
    WindowEvents events;
    events.setLog(&log);
    write(events);
    log.close();
    std::rewind(file);
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, file)) {
        std::string line(buffer);
        size_t time = line.rfind(", \"t\": ");
        text += time == std::string::npos ? line : line.substr(0, time) + "}\n";
    }
    std::fclose(file);
    return text;
}

TEST(WindowEventsTest, EachLineHasTheKeysItsReadersMatch)
{
    struct Case {
        const char* what;
        std::function<void(WindowEvents&)> write;
        const char* line;
    };
    const Case cases[] = {
        {"title", [](WindowEvents& e) { e.title("Seafold — bob @ 127.0.0.1:1"); },
         "{\"title\": \"Seafold — bob @ 127.0.0.1:1\"}\n"},
        {"own model",
         [](WindowEvents& e) {
             e.ownModel("boat.mesh", {1, 0, -2.5});
         },
         "{\"own\": \"boat.mesh\", \"pos\": [1.0, 0.0, -2.5]}\n"},
        // A move before any pick (the user moved an empty node).
        {"no own model yet",
         [](WindowEvents& e) {
             e.ownModel("", {0, 0, 0});
         },
         "{\"own\": null, \"pos\": [0.0, 0.0, 0.0]}\n"},
        {"camera",
         [](WindowEvents& e) {
             e.camera("home", {50, 0, 100}, -10.5);
         },
         "{\"camera\": {\"after\": \"home\", \"pos\": [50.0, 0.0, 100.0], \"pitch\": -10.5}}\n"},
        {"key", [](WindowEvents& e) { e.key("W", false); }, "{\"key\": \"W\", \"down\": false}\n"},
        {"button", [](WindowEvents& e) { e.button(1, true, 400, 300); },
         "{\"button\": 1, \"down\": true, \"at\": [400, 300]}\n"},
        {"GUI target", [](WindowEvents& e) { e.guiTarget("root/Panel/ModelCombos"); },
         "{\"gui_target\": \"root/Panel/ModelCombos\"}\n"},
        {"no GUI target", [](WindowEvents& e) { e.guiTarget(nullptr); }, "{\"gui_target\": null}\n"},
        {"window and GUI size", [](WindowEvents& e) { e.windowSize(800, 600, true, 800, 600); },
         "{\"window\": [800, 600], \"gui\": [800.0, 600.0]}\n"},
        // The first size line comes before the GUI's root is known.
        {"window size alone", [](WindowEvents& e) { e.windowSize(1024, 768, false, 0, 0); },
         "{\"window\": [1024, 768]}\n"},
        {"notice", [](WindowEvents& e) { e.notice(""); }, "{\"notice\": \"\"}\n"},
        {"screenshot", [](WindowEvents& e) { e.screenshot("screenshot_1.png", Json::array()); },
         "{\"screenshot\": \"screenshot_1.png\", \"labels\": []}\n"},
        {"mouse mode", [](WindowEvents& e) { e.mouseMode(1); }, "{\"mouse_mode\": 1}\n"},
        {"sliders opened", [](WindowEvents& e) { e.materialSliders(true); }, "{\"material_sliders\": \"open\"}\n"},
        {"sliders folded", [](WindowEvents& e) { e.materialSliders(false); }, "{\"material_sliders\": \"folded\"}\n"},
        {"control", [](WindowEvents& e) { e.controlValue("Wave height", "waveHeight", 0.5); },
         "{\"control\": \"Wave height\", \"constant\": \"waveHeight\", \"value\": 0.5}\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(linesOf(c.write), c.line) << c.what;
}

// A name off the network may hold any bytes; the line must stay valid UTF-8.
TEST(WindowEventsTest, BytesThatAreNotUtf8AreEscapedNotWrittenRaw)
{
    EXPECT_EQ(linesOf([](WindowEvents& e) {
                  e.ownModel(std::string("b\xff.mesh"), {0, 0, 0});
              }),
              "{\"own\": \"b\\\\xFF.mesh\", \"pos\": [0.0, 0.0, 0.0]}\n");
}

} // namespace
} // namespace seafold
