// The lines the window adds to the event log: what the user did (keys,
// buttons, the panel's choices) and what the window then showed (title, own
// model, camera, size, notices, screenshots). Tests and measurement tools
// read them while the program runs, so their keys and their order are fixed.
//
//   {"title": "Seafold — alice @ 127.0.0.1:28000"}
//   {"own": "boat.mesh", "pos": [x, y, z]}          ("own": null before a pick)
//   {"camera": {"after": "home", "pos": [x, y, z], "pitch": degrees}}
//   {"key": "W", "down": true}
//   {"button": 0, "down": true, "at": [x, y]}
//   {"gui_target": "root/Panel/ModelCombos"}        (null: no window there)
//   {"window": [width, height], "gui": [width, height]}
//   {"notice": "Saved: /home/alice/Pictures/seafold-2026-01-05-090307.png"}
//   {"screenshot": "/home/alice/Pictures/seafold-2026-01-05-090307.png", "labels": [...]}
//   {"mouse_mode": 1}
//   {"material_sliders": "open"}                    ("folded": put away)
//   {"control": "Wave height", "constant": "waveHeight", "value": 0.5}
//   {"people": ["alice (you) · boat", ...]}
//   {"talk": "Talking"}
//   {"start": "shown", "widgets": {"join": [x, y, width, height], ...}}
//                       (the start window; "hidden" once a session runs)
//   {"start_servers": [{"name": "Harbour", "users": 2, "address": "10.0.0.5:28000", "known": false}]}
//   {"start_status": "Joining 10.0.0.5:28000 ...", "problem": false}
//   {"menu": "shown", "widgets": {"MenuLeave": [x, y, width, height], ...}}
//                       (Escape's menu over a session; "hidden" again)
//   {"settings": "shown", "widgets": {"SettingsInputs": [x, y, width, height], ...}}
//   {"settings": "devices", "inputs": ["Headset", ...], "outputs": [...], "input": "", "output": ""}
//   {"settings": "note", "text": "Push-to-talk is now F", "problem": false}
//                       (the Settings window; "hidden" again)
//   {"widgets_of": "people", "widgets": {"PeopleList": [x, y, w, h], "row": h, ...}}
//                       (where a panel's parts are, for the tests that click them)
//   {"panels": ["ChoicePanel", "ExitDemoBtn", ...]}
//                       (the names of the GUI windows shown, sorted, each
//                       time the set changes)
//   {"frame": 812, "shown": {"alice": {"pos": [x, y, z], "yaw": degrees}}}
//                       (SEAFOLD_TRACE_FRAMES=1: every rendered frame, each
//                       other user's model as drawn in it)
//
// Plain values in, so that the lines can be checked without a window.
#pragma once

#include "session/json.h"

#include <cstdint>
#include <string>

namespace seafold {

class EventLog;

// A point in the scene, as the log writes it.
struct LoggedPoint {
    double x = 0, y = 0, z = 0;
};

class WindowEvents {
public:
    // The log the lines go to; null (the default) writes nothing. Not owned:
    // the program that opens the log keeps it open while the window exists.
    void setLog(EventLog* log) { mLog = log; }

    // True while lines are written; callers skip gathering what would only
    // be logged.
    bool active() const;

    void title(const std::string& title);
    // `meshName` empty: the user has no model yet.
    void ownModel(const std::string& meshName, const LoggedPoint& at);
    void camera(const char* after, const LoggedPoint& at, double pitchDegrees);
    void key(const std::string& keyName, bool down);
    void button(int button, bool down, int x, int y);
    // `namePath` null: no GUI window under the pointer.
    void guiTarget(const char* namePath);
    // `hasGui` false: no GUI root to report.
    void windowSize(unsigned width, unsigned height, bool hasGui, double guiWidth, double guiHeight);
    void notice(const std::string& text);
    // Text put on the desktop's clipboard, and whether the display took it.
    void copied(const std::string& text, bool taken);
    void screenshot(const std::string& fileName, const Json& labels);
    void mouseMode(uint32_t mode);
    // The user opened or folded the material sliders.
    void materialSliders(bool open);
    void controlValue(const std::string& control, const std::string& constant, double value);
    // The People panel's lines and its push-to-talk line, as shown.
    void people(const Json& lines);
    void talk(const std::string& line);
    // The user set how a voice is heard, or how to talk.
    void voiceSetting(const std::string& name, bool muted, double volume);
    void talkChoice(bool whenSpeaking);
    // The chat line: "open", "sent", "not sent", "cancelled".
    void chatLine(const char* what);
    // The other users' models are drawn greyed, as lost, or again as they are.
    void othersShownLost(bool lost);
    // The start window was shown (with where its parts are) or hidden; the
    // servers it lists; the line that says what is going on.
    void startWindow(const char* what, const Json& widgets);
    void startServers(const Json& rows);
    void startStatus(const std::string& text, bool problem);
    // Escape's menu shown (with where its buttons are) or hidden.
    void sessionMenu(bool shown, const Json& widgets);
    // The Settings window: "shown" (with where its parts are), "hidden",
    // "devices" (the lists it shows), "note" (the line it shows).
    void settings(const char* what, const Json& details);
    // Where the parts of `panel` are on the screen.
    void widgetsOf(const char* panel, const Json& widgets);
    // The named windows shown now (sorted names).
    void panels(const Json& names);
    // Frame `frame` is about to be drawn with every other user's model where
    // `shown` says (name: {"pos", "yaw"}).
    void frame(uint64_t frame, const Json& shown);

private:
    void write(const Json& line);

    EventLog* mLog = nullptr;
};

} // namespace seafold
