// The application object: renderer root, render window, scene, GUI system and
// the state of the material and model choices. One instance, gApp, lives for
// the whole process.
#pragma once

#include "scene/materialcontrols.h"
#include "scene/sessionport.h"

#include <OgrePrerequisites.h>
#include <OgreSharedPtr.h>

#include <cstdint>
#include <string>
#include <vector>

namespace CEGUI {
class EventArgs;
class OgreRenderer;
class OgreResourceProvider;
class OgreImageCodec;
class System;
class Window;
class Scrollbar;
} // namespace CEGUI

namespace seafold {

class Seafold_FrameListener;

// One tuning row of the panel: label, value text and scrollbar.
struct UniformRow {
    CEGUI::Window* mLabel = nullptr;
    CEGUI::Window* mNumber = nullptr;
    CEGUI::Window* mScrollbar = nullptr;
    // The row's control names something that exists in the selected pass
    // (a float constant with that component, or a colour component):
    // moving the scrollbar writes it.
    bool mWritable = false;
};

class Seafold {
public:
    Seafold() = default;
    ~Seafold();
    Seafold(const Seafold&) = delete;
    Seafold& operator=(const Seafold&) = delete;

    // Where "plugins.cfg", "resources.cfg" and the media folders are; relative
    // locations in "resources.cfg" are taken from here. Set before set-up.
    void setMediaDirectory(const std::string& directory) { mMediaDirectory = directory; }

    // The running session as the scene sees it; null restores a port with
    // no session behind it. Not owned.
    void setSessionPort(SessionPort* port) { mSessionPort = port ? port : &mNoSession; }
    SessionPort& sessionPort() const { return *mSessionPort; }

    // Builds renderer, window, scene and GUI. False when the configuration
    // dialog was cancelled or the GUI could not be set up; renderer exceptions
    // of the other steps propagate.
    bool setUpApplication();

    // Releases GUI, frame listener, program handles and the renderer root, in
    // this order; safe to call more than once. The destructor calls it too.
    void tearDown();

    // Applies entry `index` of the material controls list to the ocean surface.
    void selectOceanMaterial(uint32_t index);
    // Selects, on the panel too, the entry shown as `displayName`; false
    // when there is none.
    bool selectOceanMaterialNamed(const std::string& displayName);

    // ---- camera and own model ----
    // Puts the camera where it starts, looking at the origin.
    void resetCamera();
    // Turns the camera towards `target`, within the pitch limits.
    void lookAt(const Ogre::Vector3& target);
    // The camera's pitch in degrees up from level.
    float cameraPitchDegrees() const;
    // Pitches the camera by `degrees` (up is positive) as far as the limits allow.
    void pitchCamera(float degrees);
    // Moves the own model in front of the camera (see modelReturnTarget)
    // and sends the delta, so that everyone sees it move there.
    void bringModelIntoView();

    // ---- the panel (panel.cpp) ----
    // Subscribes the panel's handlers and the frame listener's.
    void wirePanelEvents();
    // Fills the material and model lists and selects the first material.
    void fillSelectionLists();
    // Selects material entry `index` in the panel's list and applies it.
    void selectMaterialOnPanel(uint32_t index);
    // Shows one tuning row per control of the selected material, with the
    // current values.
    void rebuildControlRows();
    void showControlValue(uint32_t row, float value);

    bool handleExit(const CEGUI::EventArgs& args);
    bool handleModelSelected(const CEGUI::EventArgs& args);
    bool handleMaterialSelected(const CEGUI::EventArgs& args);
    bool handleMouseModeChanged(const CEGUI::EventArgs& args);
    bool handleControlsScroll(const CEGUI::EventArgs& args);
    bool handleUniformChanged(const CEGUI::EventArgs& args);

    // Shows mesh `meshName` on the user's own node (replacing the model
    // there) and tells the server in a client. False when it cannot be shown.
    bool selectOwnModel(const std::string& meshName);

    Ogre::Root* mRoot = nullptr;
    Ogre::Camera* mCamera = nullptr;
    Ogre::SceneNode* mCameraNode = nullptr; // carries mCamera: moves and turns it
    Ogre::SceneManager* mSceneManager = nullptr;
    Ogre::SceneNode* mModelNode = nullptr;
    Seafold_FrameListener* mFrameListener = nullptr;
    Ogre::RenderWindow* mWindow = nullptr;
    CEGUI::OgreRenderer* mGuiRenderer = nullptr;
    CEGUI::System* mGuiSystem = nullptr;
    Ogre::Entity* mModelEntity = nullptr;
    std::string mModelMeshName; // the mesh of mModelEntity; empty while none
    Ogre::Entity* mOceanEntity = nullptr;
    uint32_t mMaterialIndex = 0;
    Ogre::MaterialPtr mMaterial;
    Ogre::Pass* mPass = nullptr;
    Ogre::GpuProgramPtr mFragmentProgram;
    Ogre::GpuProgramPtr mVertexProgram;
    Ogre::GpuProgramParametersSharedPtr mFragmentParams;
    Ogre::GpuProgramParametersSharedPtr mVertexParams;
    std::vector<UniformRow> mUniformRows;
    MaterialControlsList mMaterialControlsList;
    CEGUI::Scrollbar* mControlsScrollbar = nullptr;
    uint32_t mMouseMode = 0; // 0 the mouse moves the camera, 1 the user's model
    std::string mWindowTitle; // "Seafold — ..." (UTF-8)

private:
    void setUpResources();
    bool configure();
    bool useShippedConfig();
    void setUpCameraAndViewport();
    bool setUpGui();
    void setUpSceneContents();
    void tearDownGui();
    CEGUI::Window* createRowWindow(const char* type, const std::string& name, int part, uint32_t row);

    bool mRebuildingRows = false; // rows are being filled: show values, write nothing

    std::string mMediaDirectory = ".";
    NoSessionPort mNoSession;
    SessionPort* mSessionPort = &mNoSession;
    Ogre::LogManager* mLogManager = nullptr;
    CEGUI::OgreResourceProvider* mGuiResourceProvider = nullptr;
    CEGUI::OgreImageCodec* mGuiImageCodec = nullptr;
};

extern Seafold gApp;

// The one light and its flare; set by scene set-up and never replaced.
extern Ogre::SceneNode* gLightPivot;
extern Ogre::Light* gLight;
extern Ogre::BillboardSet* gFlareSet;
extern Ogre::Billboard* gFlare;

// Readies render targets and frame timing once before the first frame, as the
// renderer's own continuous loop would, but does not loop.
void myStartRendering(Ogre::Root& root);

// Processes the window's pending messages and renders exactly one frame.
// True when rendering is to end: a frame listener returned false, the end was
// queued, or the window was closed.
bool myRenderingLoop(Ogre::Root& root, Ogre::RenderWindow* window);

// Names the program relies on.
extern const char* const kPanelLayoutFile; // "Seafold.layout"
extern const char* const kGuiConfigFile;   // "SeafoldCegui.config"

} // namespace seafold
