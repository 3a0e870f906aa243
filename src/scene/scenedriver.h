// The windowed front end of the main loop: the renderer drives frames, and its
// exception type is the one the loop's guarded region catches.
//
// Test and measurement hooks, read from the environment once at set-up:
//   SEAFOLD_MEDIA=DIR                     media folder (default: ../media next
//                                         to the executable, then the install
//                                         prefix's share/seafold, then ./media)
//   SEAFOLD_SCREENSHOT_AFTER_FRAMES=N     after frame N, save the window to
//   SEAFOLD_SCREENSHOT_PATH=FILE          FILE (default "seafold_frame.png")
//                                         and end rendering
//   SEAFOLD_SHOW_MODEL=NAME.mesh          show that mesh on the user's model node
//   SEAFOLD_FRAME_REPORT=1                at the end, print start-up time to
//                                         the first frame and frames per second
//                                         on standard error
//   SEAFOLD_OCEAN_MATERIAL=NAME           start with that ocean material (its
//                                         name in the panel's list)
//   SEAFOLD_LIGHT_ANGLE=DEGREES           swing the light about the x axis by
//                                         that angle instead of 35 degrees
//   SEAFOLD_LOOK_AT=light|X,Y,Z           turn the camera to the light or a point
//   SEAFOLD_PEOPLE_PANEL=0                hide the People panel (to measure
//                                         what it costs)
//   SEAFOLD_MATERIAL_SLIDERS=open         start with the material sliders open
//   SEAFOLD_WINDOW_AT=X,Y                 put the window's top left corner
//                                         there on the screen
//   SEAFOLD_TRACE_FRAMES=1                with an event log: a line per frame
//                                         with the other users' models as
//                                         drawn (read by the frame listener)
#pragma once

#include "scene/framedriver.h"
#include "base/keybindings.h"
#include "scene/sessionport.h"
#include "scene/settingsport.h"
#include "scene/startwindow.h"

#include <functional>
#include <memory>
#include <string>

namespace seafold {

class EventLog;

// True when an X display can be opened. The renderer's GL plug-in cannot
// recover from a missing display, so this is asked before anything else.
bool displayAvailable();

// The line printed when there is no display.
std::string noDisplayMessage();

// The media folder: SEAFOLD_MEDIA, else ../media beside the executable (the
// build tree), else share/seafold under the install prefix, else ./media; the
// first that holds "plugins.cfg". Empty when none does, with the folders
// searched in `searched`.
std::string findMediaDirectory(std::string* searched);

// The windowed front end, with what the program does to the scene beside
// driving its frames.
class WindowedFrontEnd : public FrameDriver {
public:
    // The start window (made at set-up when asked for).
    virtual StartWindow& startWindow() = 0;
    // Shows `meshName` as the user's own model and tells the session, as a
    // pick in the panel does; false (after a notice) when it cannot.
    virtual bool selectOwnModel(const std::string& meshName) = 0;
    // What "Leave session" in Escape's menu does (empty: it ends the
    // program), and what its "Settings" opens (empty: nothing yet).
    virtual void setOnLeave(std::function<void()> leave) = 0;
    virtual void setSettingsOpener(std::function<void()> open) = 0;
    // The Settings window's side in the program (not owned; it outlives the
    // driver) and the keys the user bound. Before set-up.
    virtual void setSettingsPort(SettingsPort* port) = 0;
    virtual void setKeyBindings(const KeyBindings& keys) = 0;
    // The model set-up picks, as the user would (empty: none).
    virtual void setModelAtStart(const std::string& meshName) = 0;
    // The material sliders open from the start (or folded, unless set
    // otherwise), and `told` hears each time the user opens or folds them.
    // Before set-up.
    virtual void setMaterialSliders(bool openAtStart, std::function<void(bool open)> told) = 0;
};

// The windowed front end; the scene reaches the session through `session`
// and writes the window's event-log lines to `eventLog` (null: none). Both
// must outlive the driver. With `startWindow`, set-up ends with the start
// window shown over the scene.
std::unique_ptr<WindowedFrontEnd> createWindowedDriver(const std::string& mediaDirectory, SessionPort& session,
                                                       EventLog* eventLog, bool showFrameRates,
                                                       bool startWindow = false);

} // namespace seafold
