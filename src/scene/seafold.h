// The application object: renderer root, render window, scene, GUI system,
// the light, and the parts that act on the user's choices (camera, own
// model, the ocean's material and its tuning rows, the panel's wiring). The
// windowed front end makes one and keeps it for the whole process.
#pragma once

#include "scene/cameracontrol.h"
#include "scene/materialtuning.h"
#include "scene/ownmodel.h"
#include "scene/panel.h"
#include "scene/sessionmenu.h"
#include "scene/sessionport.h"
#include "scene/settingswindow.h"
#include "scene/sliderfold.h"
#include "scene/startwindow.h"
#include "scene/windowevents.h"

#include <OgrePrerequisites.h>

#include <cstdint>
#include <functional>
#include <string>

namespace CEGUI {
class OgreRenderer;
class OgreResourceProvider;
class OgreImageCodec;
class System;
} // namespace CEGUI

namespace seafold {

class EventLog;
class SceneFrameListener;

class Seafold {
public:
    Seafold();
    ~Seafold();
    Seafold(const Seafold&) = delete;
    Seafold& operator=(const Seafold&) = delete;

    // Where "plugins.cfg", "resources.cfg" and the media folders are; relative
    // locations in "resources.cfg" are taken from here. Set before set-up.
    void setMediaDirectory(const std::string& directory) { mMediaDirectory = directory; }
    // Where the renderer's and the GUI's logs (Ogre.log, CEGUI.log) go. Set
    // before set-up.
    void setLogDirectory(const std::string& directory) { mLogDirectory = directory; }
    // Whether the frame rates show from the start (--show-fps); F toggles them.
    void setFramesShownAtStart(bool shown) { mFramesShownAtStart = shown; }
    bool framesShownAtStart() const { return mFramesShownAtStart; }
    // Whether the ocean material's sliders are open at start (default:
    // folded behind their button). Set before set-up.
    void setMaterialSlidersOpenAtStart(bool open) { mSliderFold.setOpenAtStart(open); }
    // Told each time the user opens or folds the sliders with their button,
    // so that the choice can be kept for the next start.
    void setOnMaterialSlidersFolded(std::function<void(bool open)> told) { mSliderFold.setOnFolded(std::move(told)); }

    // The running session as the scene sees it; null restores a port with
    // no session behind it. Not owned.
    void setSessionPort(SessionPort* port) { mSessionPort = port ? port : &mNoSession; }
    SessionPort& sessionPort() const { return *mSessionPort; }

    // Where the window's event-log lines go; null (the default) writes none.
    // Set before set-up; not owned, and must stay open while the window exists.
    void setEventLog(EventLog* log) { mEvents.setLog(log); }
    WindowEvents& events() { return mEvents; }

    // Builds renderer, window, scene and GUI. False when the configuration
    // dialog was cancelled or the GUI could not be set up; renderer exceptions
    // of the other steps propagate.
    bool setUpApplication();

    // Releases GUI, frame listener, program handles and the renderer root, in
    // this order; safe to call more than once. The destructor calls it too.
    void tearDown();

    // Readies render targets and frame timing once before the first frame, as
    // the renderer's own continuous loop would, but does not loop.
    void startRendering();
    // Processes the window's pending messages and renders exactly one frame.
    // True when rendering is to end: a frame listener returned false, the end
    // was queued, or the window was closed.
    bool renderOneFrame();
    // Rendering ends after this frame.
    void endRendering();
    // Frame listeners beside the scene's own (not owned).
    void addFrameListener(Ogre::FrameListener* listener);
    void removeFrameListener(Ogre::FrameListener* listener);

    // Null before set-up and after tear-down.
    Ogre::RenderWindow* window() const { return mWindow; }
    const std::string& windowTitle() const { return mWindowTitle; }
    // The title as the session stands now (a client the server renamed goes
    // by its new name); true when it changed.
    bool refreshWindowTitle();
    Ogre::Camera* camera() const { return mCameraControl.camera(); }
    CameraControl& cameraControl() { return mCameraControl; }
    OwnModel& ownModel() { return mOwnModel; }
    // What the mouse drags: Panel::MovesCamera or Panel::MovesModel.
    uint32_t mouseMode() const { return mPanel.mouseMode(); }

    // Selects, on the panel too, the ocean material shown as `displayName`;
    // false when there is none.
    bool selectOceanMaterialNamed(const std::string& displayName);
    // Shows mesh `meshName` as the user's own model and tells the session;
    // when it cannot be shown, a notice says so. False then.
    bool selectOwnModel(const std::string& meshName);
    // Shows or hides the People panel (shown at start).
    void setPeoplePanelShown(bool shown);

    // The start window: made at set-up and shown over the scene when
    // wanted (set before set-up); the program drives it from then on.
    void setStartWindowWanted(bool wanted) { mStartWindowWanted = wanted; }
    StartWindow& startWindow() { return mStartWindow; }

    // Escape's menu over a session (made at set-up).
    SessionMenu& sessionMenu() { return mSessionMenu; }

    // The keys the user bound (the frame listener reads them; the Settings
    // window changes them). Set before set-up from the options.
    KeyBindings& keyBindings() { return mKeys; }
    const KeyBindings& keyBindings() const { return mKeys; }
    // The Settings window, opened from Escape's menu and the start window
    // once the program gives it its port (not owned; null: no Settings).
    void setSettingsPort(SettingsPort* port) { mSettings.setPort(port); }
    SettingsWindow& settingsWindow() { return mSettings; }
    // What "Leave session" does: the program's (back to its start window);
    // empty: leaving ends the program, as Quit does.
    void setOnLeave(std::function<void()> leave) { mOnLeave = std::move(leave); }
    // The user chose to leave the session.
    void leaveSession();

    // ---- the light ----
    // Swings the light about the x axis to `degrees` from overhead.
    void swingLight(float degrees);
    // Swings the light on by `degrees`.
    void turnLight(float degrees);
    // Where the light is; false before set-up.
    bool lightPosition(Ogre::Vector3& position) const;

private:
    bool makeRoot(const std::string& ogreLog);
    void setUpResources();
    bool configure();
    bool useShippedConfig();
    bool setUpGui();
    void setUpSceneContents();
    void tearDownGui();

    std::string mMediaDirectory = ".";
    std::string mLogDirectory = ".";
    bool mFramesShownAtStart = false;
    bool mStartWindowWanted = false;
    NoSessionPort mNoSession;
    SessionPort* mSessionPort = &mNoSession;
    WindowEvents mEvents;
    CameraControl mCameraControl;
    OwnModel mOwnModel;
    MaterialTuning mTuning;
    Panel mPanel;
    StartWindow mStartWindow;
    SessionMenu mSessionMenu;
    KeyBindings mKeys;
    SettingsWindow mSettings;
    std::function<void()> mOnLeave;
    SliderFold mSliderFold;

    Ogre::LogManager* mLogManager = nullptr;
    Ogre::Root* mRoot = nullptr;
    Ogre::RenderWindow* mWindow = nullptr;
    std::string mWindowTitle; // "Seafold — ..." (UTF-8)
    Ogre::SceneManager* mSceneManager = nullptr;
    SceneFrameListener* mFrameListener = nullptr;
    CEGUI::OgreRenderer* mGuiRenderer = nullptr;
    CEGUI::System* mGuiSystem = nullptr;
    CEGUI::OgreResourceProvider* mGuiResourceProvider = nullptr;
    CEGUI::OgreImageCodec* mGuiImageCodec = nullptr;

    // The one light and its flare, hung on a pivot at the origin; set by
    // scene set-up and never replaced while the scene lasts.
    Ogre::SceneNode* mLightPivot = nullptr;
    Ogre::Light* mLight = nullptr;
    Ogre::BillboardSet* mFlareSet = nullptr;
    Ogre::Billboard* mFlare = nullptr;
    Ogre::Entity* mOceanEntity = nullptr;
};

// Names the program relies on.
extern const char* const PanelLayoutFile; // "Seafold.layout"
extern const char* const GuiConfigFile;   // "SeafoldCegui.config"

} // namespace seafold
