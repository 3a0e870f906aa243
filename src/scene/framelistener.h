// The scene's frame listener: what happens once a frame, in order. Each job
// is a part of its own: the input devices (read, logged, passed to the GUI),
// the motion the GUI's events collected (camera or own model), the spin, the
// statistics and notice, the People panel and the name labels, and the
// screenshot asked for with Print Screen. The listener also acts on the few
// keys that mean something before the GUI sees them, and keeps the parts
// told of the window's size.
#pragma once

#include "scene/chatline.h"
#include "scene/inputdevices.h"
#include "scene/motioncontrol.h"
#include "scene/namelabels.h"
#include "scene/peoplepanel.h"
#include "scene/screenshottaker.h"
#include "scene/spincontrol.h"
#include "scene/statisticsoverlay.h"

#include <OgreFrameListener.h>
#include <OgrePrerequisites.h>

#include <Bites/OgreWindowEventUtilities.h>

#include <memory>
#include <string>
#include <vector>

namespace CEGUI {
class Window;
}

namespace seafold {

class Seafold;

class SceneFrameListener : public Ogre::FrameListener, public OgreBites::WindowEventListener, private InputHandler {
public:
    // Opens the input devices on the application's render window and finds
    // the panel's windows. Input library failures propagate.
    explicit SceneFrameListener(Seafold& app);
    ~SceneFrameListener() override;
    SceneFrameListener(const SceneFrameListener&) = delete;
    SceneFrameListener& operator=(const SceneFrameListener&) = delete;

    bool frameStarted(const Ogre::FrameEvent& event) override;
    // Saves a screenshot asked for during the frame, once the GUI has drawn.
    bool frameEnded(const Ogre::FrameEvent& event) override;
    void windowResized(Ogre::RenderWindow* window) override;

    // A notice in the statistics panel, for a few seconds.
    void showNotice(const std::string& text) { mStatistics.showNotice(text); }

    // Shows or hides the People panel (shown at start).
    void setPeoplePanelShown(bool shown) { mPeople.setShown(shown); }

private:
    bool keyPressed(uint32_t key) override;
    void keyReleased(uint32_t key) override;
    void mouseButton(uint32_t button, bool down) override;
    // A key or button bound to an action went down or up (push-to-talk,
    // "mute me", "deafen"); false when `code` has no such action.
    bool boundKey(uint32_t code, bool down);
    bool dragging() const override { return mMotion.dragging(); }

    // The People panel, the name labels and the notice's end: what the
    // session looks like this frame.
    void updateSessionDisplay();
    // Other users' models where their playouts draw them now; with the
    // frame trace on, one log line of what this frame shows.
    void presentOtherModels();
    void saveScreenshot();
    // With an event log: the windows shown, each time they change.
    void logShownWidgets(uint32_t now);

    Seafold& mApp;
    CEGUI::Window* mRootWindow = nullptr;
    std::unique_ptr<InputDevices> mInput;
    MotionControl mMotion;
    SpinControl mSpin;
    StatisticsOverlay mStatistics;
    ScreenshotTaker mScreenshots;
    PeoplePanel mPeople;
    NameLabels mLabels;
    ChatLine mChat;
    bool mShutdownRequested = false;
    bool mStartWindowShown = false; // as the last frame saw it
    // SEAFOLD_TRACE_FRAMES=1 with an event log: a line per frame drawn.
    bool mTraceFrames = false;
    uint64_t mFramesTraced = 0;
    uint32_t mWidgetsCheckedAt = 0;
    std::vector<std::string> mShownWidgets; // as last logged
};

} // namespace seafold
