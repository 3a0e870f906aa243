#include "scene/framelistener.h"
#include "base/platform.h"
#include "scene/clientmodels.h"
#include "scene/guitext.h"
#include "scene/seafold.h"
#include "scene/voiceplacement.h"
#include "session/eventlog.h"

#include <OgreCamera.h>
#include <OgreRenderWindow.h>
#include <OgreRoot.h>
#include <OgreSceneNode.h>
#include <OgreStringConverter.h>
#include <OgreViewport.h>

#include <CEGUI/CEGUI.h>

#include <OISInputManager.h>

#include <sstream>

namespace seafold {

namespace {

CEGUI::GUIContext& guiContext()
{
    return CEGUI::System::getSingleton().getDefaultGUIContext();
}

CEGUI::String guiText(const std::string& text)
{
    return CEGUI::String(text.c_str());
}

} // namespace

Seafold_FrameListener::Seafold_FrameListener(Seafold& app) : mApp(&app)
{
    // The input system on the render window. Pointer and keyboard are
    // not grabbed and the pointer stays visible, so the rest of the desktop
    // keeps working while the program runs.
    unsigned long handle = 0;
    mApp->mWindow->getCustomAttribute("WINDOW", &handle);
    std::ostringstream handleText;
    handleText << handle;
    OIS::ParamList params;
    params.insert(std::make_pair(std::string("WINDOW"), handleText.str()));
    params.insert(std::make_pair(std::string("x11_mouse_grab"), std::string("false")));
    params.insert(std::make_pair(std::string("x11_keyboard_grab"), std::string("false")));
    params.insert(std::make_pair(std::string("x11_mouse_hide"), std::string("false")));
    mInputManager = OIS::InputManager::createInputSystem(params);

    // Buffered keyboard and mouse.
    mKeyboard = static_cast<OIS::Keyboard*>(mInputManager->createInputObject(OIS::OISKeyboard, true));
    mMouse = static_cast<OIS::Mouse*>(mInputManager->createInputObject(OIS::OISMouse, true));

    // The mouse's range is the window. The input library puts the pointer
    // at (6, 6) as it starts; its absolute position follows from there.
    const OIS::MouseState& state = mMouse->getMouseState();
    const_cast<OIS::MouseState&>(state).X.abs = 6;
    const_cast<OIS::MouseState&>(state).Y.abs = 6;
    windowResized(mApp->mWindow);

    // This object hears both devices.
    mMouse->setEventCallback(this);
    mKeyboard->setEventCallback(this);

    // The statistics windows and "root".
    mRootWindow = guiContext().getRootWindow();
    if (mRootWindow) {
        mAverageFps = mRootWindow->getChildRecursive("OPAverageFPS");
        mCurrentFps = mRootWindow->getChildRecursive("OPCurrentFPS");
        mBestFps = mRootWindow->getChildRecursive("OPBestFPS");
        mWorstFps = mRootWindow->getChildRecursive("OPWorstFPS");
        mTriangleCount = mRootWindow->getChildRecursive("OPTriCount");
        mDebugMessage = mRootWindow->getChildRecursive("OPDebugMsg");
        // Key events reach "root" only while it or a child is active.
        mRootWindow->activate();
        mLabels.attach(mRootWindow->getChildRecursive("NameLabels"));
    }
    mPeople.attach(mRootWindow, mApp->sessionPort());

    OgreBites::WindowEventUtilities::addWindowEventListener(mApp->mWindow, this);
}

Seafold_FrameListener::~Seafold_FrameListener()
{
    if (mApp->mWindow)
        OgreBites::WindowEventUtilities::removeWindowEventListener(mApp->mWindow, this);
    if (mInputManager) {
        if (mMouse)
            mInputManager->destroyInputObject(mMouse);
        if (mKeyboard)
            mInputManager->destroyInputObject(mKeyboard);
        OIS::InputManager::destroyInputSystem(mInputManager);
    }
}

bool Seafold_FrameListener::frameStarted(const Ogre::FrameEvent& event)
{
    // Buffered input: the callbacks below pass it to the GUI, whose
    // handlers on "root" collect motion.
    mMouse->capture();
    mKeyboard->capture();

    // Escape.
    if (mShutdownRequested)
        return false;

    // The GUI's own timers (click detection, drop-down lists, tooltips).
    CEGUI::System::getSingleton().injectTimePulse(event.timeSinceLastFrame);
    guiContext().injectTimePulse(event.timeSinceLastFrame);

    // Statistics every 50 frames.
    mStatsFrameCounter += 1;
    if (mStatsFrameCounter >= mStatsInterval) {
        mStatsFrameCounter = 0;
        updateStatistics();
    }

    // Motion collected since the last frame.
    if (mKeys.any() || mMotion.mouseMoved)
        applyMotion();

    // Spinning. With the model spin off the light keeps turning by
    // twice the model's last step.
    if (mSpinModel) {
        mSpinStep = 20.0f * mTimeStep;
        mApp->mModelNode->yaw(Ogre::Degree(mSpinStep), Ogre::Node::TS_LOCAL);
    }
    if (mSpinLight && gLightPivot)
        gLightPivot->rotate(Ogre::Vector3::UNIT_X, Ogre::Degree(2.0f * mSpinStep), Ogre::Node::TS_LOCAL);

    // Voices from the speakers' models, as the camera now hears them.
    placeVoicesAtModels(*mApp);
    // What the session looks like: people, labels, the notice.
    updateSessionDisplay();
    return true;
}

void Seafold_FrameListener::updateSessionDisplay()
{
    uint32_t now = getRealMilliseconds();
    mPeople.update(now, mApp->mModelMeshName);
    Ogre::Viewport* viewport = mApp->mCamera->getViewport();
    if (viewport)
        mLabels.update(gRendererScene, *mApp->mCamera, float(viewport->getActualWidth()),
                       float(viewport->getActualHeight()));
    if (!mDebugText.empty() && uint32_t(now - mNoticeSince) >= kNoticeMs)
        showNotice("");
}

void Seafold_FrameListener::showNotice(const std::string& text)
{
    mDebugText = text;
    mNoticeSince = getRealMilliseconds();
    if (mDebugMessage)
        mDebugMessage->setText(guiUtf8(mDebugText));
    if (gEventLog.active())
        gEventLog.write(Json{{"notice", jsonText(mDebugText)}});
}

bool Seafold_FrameListener::frameEnded(const Ogre::FrameEvent&)
{
    // Saved now, when the GUI has drawn the whole frame too.
    if (!mPendingScreenshot.empty()) {
        mApp->mWindow->writeContentsToFile(mPendingScreenshot);
        mPendingScreenshot.clear();
    }
    return true;
}

void Seafold_FrameListener::applyMotion()
{
    addKeyMotion(mKeys, mTimeStep, mMotion);
    Ogre::Vector3 translate(mMotion.translate.x, mMotion.translate.y, mMotion.translate.z);
    switch (mApp->mMouseMode) {
    case 0:
        // The camera turns about the world's vertical, pitches about its
        // own horizontal (never over the top) and moves along its own axes.
        mApp->mCameraNode->yaw(Ogre::Degree(mMotion.rotX), Ogre::Node::TS_WORLD);
        mApp->pitchCamera(mMotion.rotY);
        mApp->mCameraNode->translate(translate, Ogre::Node::TS_LOCAL);
        break;
    case 1:
        // The model turns locally (others do not see the turn) and moves in
        // the world; the move goes to the server.
        mApp->mModelNode->yaw(Ogre::Degree(mMotion.rotX), Ogre::Node::TS_LOCAL);
        mApp->mModelNode->translate(translate, Ogre::Node::TS_PARENT);
        mApp->sessionPort().sendMovement(double(translate.x), double(translate.y), double(translate.z));
        if (gEventLog.active()) {
            const Ogre::Vector3& at = mApp->mModelNode->getPosition();
            Json event;
            event["own"] = mApp->mModelMeshName.empty() ? Json(nullptr) : Json(jsonText(mApp->mModelMeshName));
            event["pos"] = Json::array({double(at.x), double(at.y), double(at.z)});
            gEventLog.write(event);
        }
        break;
    default:
        break;
    }
    // The keys' flags stay as the keys left them.
    mMotion = PendingMotion();
}

void Seafold_FrameListener::updateStatistics()
{
    const Ogre::RenderTarget::FrameStats& stats = mApp->mWindow->getStatistics();
    using Ogre::StringConverter;
    if (mAverageFps)
        mAverageFps->setText(guiText("Average FPS: " + StringConverter::toString(stats.avgFPS)));
    if (mCurrentFps)
        mCurrentFps->setText(guiText("Current FPS: " + StringConverter::toString(stats.lastFPS)));
    if (mBestFps)
        mBestFps->setText(guiText("Best FPS: " + StringConverter::toString(stats.bestFPS) + " " +
                                  StringConverter::toString(stats.bestFrameTime) + " ms"));
    if (mWorstFps)
        mWorstFps->setText(guiText("Worst FPS: " + StringConverter::toString(stats.worstFPS) + " " +
                                   StringConverter::toString(stats.worstFrameTime) + " ms"));
    if (mTriangleCount)
        mTriangleCount->setText(guiText("Triangle Count: " + StringConverter::toString(stats.triangleCount)));
    mTimeStep = timeStepFromAverageFps(stats.avgFPS);
}

// ---- input devices ------------------------------------------------------------------------

bool Seafold_FrameListener::keyPressed(const OIS::KeyEvent& event)
{
    logKey(event, true);
    // Escape ends the program at this frame; the GUI never sees it.
    if (event.key == OIS::KC_ESCAPE) {
        mShutdownRequested = true;
        return false;
    }
    if (event.key == OIS::KC_SYSRQ)
        saveScreenshot();
    if (event.key == OIS::KC_HOME) {
        mApp->resetCamera();
        logCamera("home");
    }
    if (event.key == OIS::KC_END)
        mApp->bringModelIntoView();
    if (event.key == OIS::KC_R && mApp->sessionPort().isClient())
        mApp->sessionPort().setPushToTalk(true);
    CEGUI::GUIContext& context = guiContext();
    context.injectKeyDown(CEGUI::Key::Scan(event.key));
    context.injectChar(CEGUI::String::value_type(event.text));
    return true;
}

bool Seafold_FrameListener::keyReleased(const OIS::KeyEvent& event)
{
    logKey(event, false);
    if (event.key == OIS::KC_R && mApp->sessionPort().isClient())
        mApp->sessionPort().setPushToTalk(false);
    guiContext().injectKeyUp(CEGUI::Key::Scan(event.key));
    return true;
}

void Seafold_FrameListener::logKey(const OIS::KeyEvent& event, bool down)
{
    if (!gEventLog.active())
        return;
    Json line;
    line["key"] = jsonText(mKeyboard->getAsString(event.key));
    line["down"] = down;
    gEventLog.write(line);
}

void Seafold_FrameListener::logButton(const OIS::MouseEvent& event, OIS::MouseButtonID id, bool down)
{
    if (!gEventLog.active())
        return;
    Json line;
    line["button"] = int(id);
    line["down"] = down;
    line["at"] = Json::array({event.state.X.abs, event.state.Y.abs});
    gEventLog.write(line);
}

void Seafold_FrameListener::saveScreenshot()
{
    mScreenshotCount += 1;
    std::string name = screenshotName(mScreenshotCount);
    // Written when this frame has ended.
    mPendingScreenshot = name;
    showNotice("Saved: " + name);
    // Where the labels stand in the picture.
    if (gEventLog.active())
        gEventLog.write(Json{{"screenshot", name}, {"labels", mLabels.describe()}});
}

void Seafold_FrameListener::logCamera(const char* why)
{
    if (!gEventLog.active() || !mApp->mCamera)
        return;
    const Ogre::Vector3 at = mApp->mCamera->getDerivedPosition();
    Json camera;
    camera["after"] = why;
    camera["pos"] = Json::array({double(at.x), double(at.y), double(at.z)});
    camera["pitch"] = double(mApp->cameraPitchDegrees());
    gEventLog.write(Json{{"camera", camera}});
}

bool Seafold_FrameListener::mouseMoved(const OIS::MouseEvent& event)
{
    CEGUI::GUIContext& context = guiContext();
    const OIS::MouseState& state = event.state;
    // While a button drags the camera or model the motion counts, and the
    // hidden cursor is held in place; otherwise the GUI's cursor stands
    // where the pointer is.
    if (mLeftDown || mRightDown)
        context.injectMouseMove(float(state.X.rel), float(state.Y.rel));
    else
        context.injectMousePosition(float(state.X.abs), float(state.Y.abs));
    if (state.Z.rel != 0)
        context.injectMouseWheelChange(float(state.Z.rel));
    return true;
}

bool Seafold_FrameListener::mousePressed(const OIS::MouseEvent& event, OIS::MouseButtonID id)
{
    logButton(event, id, true);
    guiContext().injectMouseButtonDown(CEGUI::MouseButton(guiMouseButton(int(id))));
    if (gEventLog.active()) {
        CEGUI::Window* target = guiContext().getWindowContainingMouse();
        Json line;
        line["gui_target"] = target ? Json(jsonText(target->getNamePath().c_str())) : Json(nullptr);
        gEventLog.write(line);
    }
    return true;
}

bool Seafold_FrameListener::mouseReleased(const OIS::MouseEvent& event, OIS::MouseButtonID id)
{
    logButton(event, id, false);
    guiContext().injectMouseButtonUp(CEGUI::MouseButton(guiMouseButton(int(id))));
    return true;
}

void Seafold_FrameListener::windowResized(Ogre::RenderWindow* window)
{
    unsigned width = window->getWidth();
    unsigned height = window->getHeight();
    const OIS::MouseState& state = mMouse->getMouseState();
    state.width = int(width);
    state.height = int(height);
    if (CEGUI::System::getSingletonPtr())
        CEGUI::System::getSingleton().notifyDisplaySizeChanged(CEGUI::Sizef(float(width), float(height)));
    Ogre::Viewport* viewport = mApp->mCamera ? mApp->mCamera->getViewport() : nullptr;
    if (viewport && viewport->getActualHeight() > 0)
        mApp->mCamera->setAspectRatio(Ogre::Real(viewport->getActualWidth()) / Ogre::Real(viewport->getActualHeight()));
    if (gEventLog.active()) {
        Json event;
        event["window"] = Json::array({width, height});
        if (mRootWindow) {
            const CEGUI::Sizef& gui = mRootWindow->getPixelSize();
            event["gui"] = Json::array({double(gui.d_width), double(gui.d_height)});
        }
        gEventLog.write(event);
    }
}

// ---- GUI handlers on "root" -------------------------------------------------------------------

bool Seafold_FrameListener::handleMouseButtonDown(const CEGUI::EventArgs& args)
{
    const auto& mouse = static_cast<const CEGUI::MouseEventArgs&>(args);
    if (mouse.button == CEGUI::LeftButton)
        mLeftDown = true;
    else if (mouse.button == CEGUI::RightButton)
        mRightDown = true;
    if (!mLeftDown && !mRightDown)
        return true;
    CEGUI::MouseCursor& cursor = guiContext().getMouseCursor();
    cursor.hide();
    if (!mCursorSaved) {
        mSavedCursorPos = cursor.getPosition();
        mCursorSaved = true;
    }
    if (mRootWindow)
        mRootWindow->captureInput();
    return true;
}

bool Seafold_FrameListener::handleMouseButtonUp(const CEGUI::EventArgs& args)
{
    const auto& mouse = static_cast<const CEGUI::MouseEventArgs&>(args);
    if (mouse.button == CEGUI::LeftButton)
        mLeftDown = false;
    else if (mouse.button == CEGUI::RightButton)
        mRightDown = false;
    if (mLeftDown || mRightDown)
        return true;
    if (mCursorSaved && mApp->mMouseMode == 0)
        logCamera("drag");
    CEGUI::MouseCursor& cursor = guiContext().getMouseCursor();
    cursor.show();
    if (mCursorSaved) {
        cursor.setPosition(mSavedCursorPos);
        mCursorSaved = false;
    }
    if (mRootWindow)
        mRootWindow->releaseInput();
    return true;
}

bool Seafold_FrameListener::handleMouseMove(const CEGUI::EventArgs& args)
{
    const auto& mouse = static_cast<const CEGUI::MouseEventArgs&>(args);
    float dx = mouse.moveDelta.d_x, dy = mouse.moveDelta.d_y;
    bool dragging = mApp->mMouseMode == 1
                        ? addModelDragMotion(mLeftDown, mRightDown, dx, dy, mTimeStep, modelUnitsPerPixel(), mMotion)
                        : addDragMotion(mLeftDown, mRightDown, dx, dy, mTimeStep, mMotion);
    if (!dragging)
        return true;
    guiContext().getMouseCursor().setPosition(mSavedCursorPos);
    return true;
}

float Seafold_FrameListener::modelUnitsPerPixel() const
{
    Ogre::Camera* camera = mApp->mCamera;
    Ogre::Viewport* viewport = camera ? camera->getViewport() : nullptr;
    if (!viewport || !mApp->mModelNode)
        return 0;
    float distance = camera->getDerivedPosition().distance(mApp->mModelNode->_getDerivedPosition());
    return unitsPerPixelAt(distance, camera->getFOVy().valueRadians(), float(viewport->getActualHeight()));
}

bool Seafold_FrameListener::handleMouseWheel(const CEGUI::EventArgs& args)
{
    const auto& mouse = static_cast<const CEGUI::MouseEventArgs&>(args);
    addWheelMotion(mouse.wheelChange, mMotion);
    return true;
}

bool Seafold_FrameListener::handleDirectionKey(const CEGUI::EventArgs& args, bool down)
{
    const auto& key = static_cast<const CEGUI::KeyEventArgs&>(args);
    applyDirectionKey(uint32_t(key.scancode), down, mKeys);
    return true;
}

bool Seafold_FrameListener::handleKeyDown(const CEGUI::EventArgs& args)
{
    return handleDirectionKey(args, true);
}

bool Seafold_FrameListener::handleKeyUp(const CEGUI::EventArgs& args)
{
    return handleDirectionKey(args, false);
}

bool Seafold_FrameListener::handleModelSpinChanged(const CEGUI::EventArgs& args)
{
    const auto& window = static_cast<const CEGUI::WindowEventArgs&>(args);
    mSpinModel = static_cast<CEGUI::ToggleButton*>(window.window)->isSelected();
    return true;
}

bool Seafold_FrameListener::handleLightSpinChanged(const CEGUI::EventArgs& args)
{
    const auto& window = static_cast<const CEGUI::WindowEventArgs&>(args);
    mSpinLight = static_cast<CEGUI::ToggleButton*>(window.window)->isSelected();
    return true;
}

} // namespace seafold
