// The frame listener: reads keyboard and mouse before every frame, passes
// every input event to the GUI, turns the GUI's events on the panel's "root"
// window into camera or model motion (announced to the server in a client),
// spins the user's model and the light, refreshes the statistics texts and
// the People panel, keeps the other users' name labels above their models,
// saves screenshots on Print Screen, puts the camera back on Home and the
// own model in view on End, ends the program on Escape and holds
// push-to-talk while R is down. It also keeps the GUI and the input devices
// told of the window's size.
#pragma once

#include "scene/controllogic.h"
#include "scene/namelabels.h"
#include "scene/peoplepanel.h"

#include <OgreFrameListener.h>
#include <OgrePrerequisites.h>

#include <Bites/OgreWindowEventUtilities.h>

#include <CEGUI/Vector.h>

#include <OISKeyboard.h>
#include <OISMouse.h>

#include <string>

namespace CEGUI {
class EventArgs;
class Window;
} // namespace CEGUI

namespace OIS {
class InputManager;
}

namespace seafold {

class Seafold;

class Seafold_FrameListener : public Ogre::FrameListener,
                              public OIS::KeyListener,
                              public OIS::MouseListener,
                              public OgreBites::WindowEventListener {
public:
    // Opens the input devices on the application's render window (without
    // grabbing pointer or keyboard, so the desktop stays usable) and looks up
    // the panel's statistics windows. Input library failures propagate.
    explicit Seafold_FrameListener(Seafold& app);
    ~Seafold_FrameListener() override;
    Seafold_FrameListener(const Seafold_FrameListener&) = delete;
    Seafold_FrameListener& operator=(const Seafold_FrameListener&) = delete;

    bool frameStarted(const Ogre::FrameEvent& event) override;
    // Saves a screenshot asked for during the frame, once the GUI has drawn.
    bool frameEnded(const Ogre::FrameEvent& event) override;

    bool keyPressed(const OIS::KeyEvent& event) override;
    bool keyReleased(const OIS::KeyEvent& event) override;
    bool mouseMoved(const OIS::MouseEvent& event) override;
    bool mousePressed(const OIS::MouseEvent& event, OIS::MouseButtonID id) override;
    bool mouseReleased(const OIS::MouseEvent& event, OIS::MouseButtonID id) override;

    void windowResized(Ogre::RenderWindow* window) override;

    // GUI handlers, subscribed on "root" and the two spin check boxes by the
    // panel's wiring.
    bool handleMouseMove(const CEGUI::EventArgs& args);
    bool handleMouseButtonUp(const CEGUI::EventArgs& args);
    bool handleMouseButtonDown(const CEGUI::EventArgs& args);
    bool handleMouseWheel(const CEGUI::EventArgs& args);
    bool handleKeyDown(const CEGUI::EventArgs& args);
    bool handleKeyUp(const CEGUI::EventArgs& args);
    bool handleModelSpinChanged(const CEGUI::EventArgs& args);
    bool handleLightSpinChanged(const CEGUI::EventArgs& args);

    // A notice in the statistics panel, for a few seconds.
    void showNotice(const std::string& text);

    // Shows or hides the People panel (shown at start).
    void setPeoplePanelShown(bool shown) { mPeople.setShown(shown); }

    // How long a notice stays.
    static constexpr uint32_t kNoticeMs = 4000;

private:
    void updateStatistics();
    void applyMotion();
    // The People panel, the name labels and the notice's end: what the
    // session looks like this frame.
    void updateSessionDisplay();
    void saveScreenshot();
    // Event log line of the camera's place and pitch.
    void logCamera(const char* why);
    // Event log lines of the user's own input.
    void logKey(const OIS::KeyEvent& event, bool down);
    void logButton(const OIS::MouseEvent& event, OIS::MouseButtonID id, bool down);
    bool handleDirectionKey(const CEGUI::EventArgs& args, bool down);
    // World units per pixel of a model drag at the own model's distance.
    float modelUnitsPerPixel() const;

    Seafold* mApp;
    PendingMotion mMotion;
    uint32_t mScreenshotCount = 0;
    float mTimeStep = kMaxTimeStep;
    float mSpinStep = 0;
    float mStatsFrameCounter = 0;
    float mStatsInterval = 50;
    CEGUI::Vector2f mSavedCursorPos;
    bool mCursorSaved = false;
    bool mSpinModel = true;
    bool mSpinLight = false;
    OIS::InputManager* mInputManager = nullptr;
    OIS::Keyboard* mKeyboard = nullptr;
    OIS::Mouse* mMouse = nullptr;
    bool mShutdownRequested = false;
    bool mLeftDown = false;
    bool mRightDown = false;
    DirectionKeys mKeys;
    CEGUI::Window* mAverageFps = nullptr;
    CEGUI::Window* mCurrentFps = nullptr;
    CEGUI::Window* mBestFps = nullptr;
    CEGUI::Window* mWorstFps = nullptr;
    CEGUI::Window* mTriangleCount = nullptr;
    CEGUI::Window* mDebugMessage = nullptr;
    CEGUI::Window* mRootWindow = nullptr;
    std::string mDebugText;
    uint32_t mNoticeSince = 0;      // when mDebugText was set (real-time ms)
    std::string mPendingScreenshot; // file to write when the frame has ended
    PeoplePanel mPeople;
    NameLabels mLabels;
};

} // namespace seafold
