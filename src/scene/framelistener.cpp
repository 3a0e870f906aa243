#include "scene/framelistener.h"
#include "base/platform.h"
#include "scene/clientmodels.h"
#include "scene/seafold.h"
#include "scene/voiceplacement.h"
#include "scene/windowevents.h"

#include <OgreCamera.h>
#include <OgreRenderWindow.h>
#include <OgreViewport.h>

#include <CEGUI/CEGUI.h>

#include <OISKeyboard.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace seafold {

namespace {

CEGUI::GUIContext& guiContext()
{
    return CEGUI::System::getSingleton().getDefaultGUIContext();
}

// The names of the windows shown under `window`: the panels and rows the
// user sees. The GUI's own parts ("__auto_...") and the name labels (named
// after the users) are left out.
void collectShown(const CEGUI::Window* window, std::vector<std::string>& names)
{
    for (size_t i = 0; i < window->getChildCount(); ++i) {
        const CEGUI::Window* child = window->getChildAtIdx(i);
        if (!child->isVisible())
            continue;
        const std::string name(child->getName().c_str());
        if (name.compare(0, 6, "__auto") == 0)
            continue;
        names.push_back(name);
        if (name != "NameLabels")
            collectShown(child, names);
    }
}

// How often the windows shown are compared with those logged last.
constexpr uint32_t ShownWidgetsCheckMs = 500;

} // namespace

SceneFrameListener::SceneFrameListener(Seafold& app) : mApp(app), mMotion(app), mSpin(app), mStatistics(app.events())
{
    Ogre::RenderWindow* window = mApp.window();
    mInput.reset(new InputDevices(*window, *this, mApp.events()));
    // Told once before the panel is looked up: this first line of the window's
    // size has no GUI size yet.
    windowResized(window);

    // The statistics windows and "root", which stands for the view.
    mRootWindow = guiContext().getRootWindow();
    if (mRootWindow) {
        mStatistics.attach(mRootWindow);
        mStatistics.setFramesShown(mApp.framesShownAtStart());
        // Key events reach "root" only while it or a child is active.
        mRootWindow->activate();
        mLabels.attach(mRootWindow->getChildRecursive("NameLabels"));
    }
    mPeople.attach(mRootWindow, mApp.sessionPort(), mApp.events());
    mMotion.attach(mRootWindow);
    mChat.attach(mRootWindow, mApp.sessionPort(), mApp.events());
    mSpin.attach();

    OgreBites::WindowEventUtilities::addWindowEventListener(window, this);

    // Read once: unset, no frame pays for the trace.
    const char* trace = std::getenv("SEAFOLD_TRACE_FRAMES");
    mTraceFrames = trace && std::strcmp(trace, "1") == 0 && mApp.events().active();
}

SceneFrameListener::~SceneFrameListener()
{
    if (mApp.window())
        OgreBites::WindowEventUtilities::removeWindowEventListener(mApp.window(), this);
}

bool SceneFrameListener::frameStarted(const Ogre::FrameEvent& event)
{
    // Reads: the devices. Writes: the GUI (its handlers on "root" collect
    // motion), the event log, and the key commands' effects.
    mInput->capture();

    // Escape.
    if (mShutdownRequested)
        return false;

    // The GUI's own timers (click detection, drop-down lists, tooltips).
    CEGUI::System::getSingleton().injectTimePulse(event.timeSinceLastFrame);
    guiContext().injectTimePulse(event.timeSinceLastFrame);

    // Reads the window's statistics; writes the panel's texts and the step.
    mStatistics.countFrame(*mApp.window());
    mMotion.setTimeStep(mStatistics.timeStep());

    // What the user chose in Escape's menu.
    switch (mApp.sessionMenu().takeAction()) {
    case SessionMenu::Action::Leave:
        mApp.leaveSession();
        break;
    case SessionMenu::Action::Quit:
        mShutdownRequested = true;
        return false;
    case SessionMenu::Action::None:
        break;
    }

    // The Settings window's meter and device lists.
    mApp.settingsWindow().update(getRealMilliseconds());

    // Keys typed into the start window's fields move nothing, nor do keys
    // while the menu or the Settings window is open.
    const bool starting =
        mApp.startWindow().shown() || mApp.sessionMenu().shown() || mApp.settingsWindow().shown();
    if (starting != mStartWindowShown) {
        mStartWindowShown = starting;
        mMotion.suspendKeys(starting || mChat.isOpen());
    }

    // Writes the camera or the own model (and the move to the session).
    mMotion.apply();
    mSpin.spin(mStatistics.timeStep());
    // The main loop sends after the frame is drawn; what the user did in
    // this frame goes out now instead, before the drawing, so that a frame's
    // rendering time is not added to every move on its way to the others.
    // The connection's rate still decides whether a packet leaves.
    mApp.sessionPort().sendInput();

    // Other users' models, a little in the past, between their states.
    presentOtherModels();

    // Voices from the speakers' models, as the camera now hears them.
    placeVoicesAtModels(mApp);
    // What the session looks like: people, labels, the notice.
    updateSessionDisplay();
    return true;
}

void SceneFrameListener::presentOtherModels()
{
    SessionPort& port = mApp.sessionPort();
    gRendererScene.present(getHighPrecisionMilliseconds(getHighPrecisionTimerValue()),
                           [&port](const ClientRecord& record) { return port.sendIntervalMsOf(record); });
    if (!mTraceFrames)
        return;
    Json shown = Json::object();
    gRendererScene.forEachPresented([&](const std::string& name, const Vector3& at, double yawDegrees) {
        shown[jsonText(name)] = Json{{"pos", Json::array({at.x, at.y, at.z})}, {"yaw", yawDegrees}};
    });
    mApp.events().frame(++mFramesTraced, shown);
}

void SceneFrameListener::updateSessionDisplay()
{
    uint32_t now = getRealMilliseconds();
    mPeople.setPushToTalkKey(mApp.keyBindings().keyName(KeyAction::PushToTalk));
    mPeople.update(now, mApp.ownModel().meshName());
    if (mPeople.othersLost() != gRendererScene.showsLost()) {
        gRendererScene.showLost(mPeople.othersLost());
        mApp.events().othersShownLost(mPeople.othersLost());
    }
    Ogre::Camera* camera = mApp.camera();
    Ogre::Viewport* viewport = camera->getViewport();
    if (viewport)
        mLabels.update(gRendererScene, *camera, float(viewport->getActualWidth()), float(viewport->getActualHeight()),
                       [&](const std::string& name) { return mPeople.speaking(name, now); });
    mStatistics.expireNotice(now);
    mChat.update(now);
    logShownWidgets(now);
}

void SceneFrameListener::logShownWidgets(uint32_t now)
{
    if (!mRootWindow || !mApp.events().active() || uint32_t(now - mWidgetsCheckedAt) < ShownWidgetsCheckMs)
        return;
    mWidgetsCheckedAt = now;
    std::vector<std::string> names;
    collectShown(mRootWindow, names);
    std::sort(names.begin(), names.end());
    if (names == mShownWidgets)
        return;
    mShownWidgets = names;
    Json logged = Json::array();
    for (const std::string& name : names)
        logged.push_back(jsonText(name));
    mApp.events().panels(logged);
}

bool SceneFrameListener::frameEnded(const Ogre::FrameEvent&)
{
    // Saved now, when the GUI has drawn the whole frame too.
    mScreenshots.frameEnded(*mApp.window());
    return true;
}

bool SceneFrameListener::keyPressed(uint32_t key)
{
    // The Settings window takes every key: the next one may be a new
    // binding, Escape closes it; the GUI sees none.
    if (mApp.settingsWindow().shown()) {
        if (key == OIS::KC_SYSRQ)
            saveScreenshot();
        mApp.settingsWindow().pressKey(key);
        return false;
    }
    // The start window takes every key but these: Enter joins, Escape
    // quits, Print Screen saves the window as ever.
    if (mApp.startWindow().shown()) {
        if (key == OIS::KC_RETURN || key == OIS::KC_NUMPADENTER) {
            mApp.startWindow().pressEnter();
            return false;
        }
        if (key == OIS::KC_ESCAPE) {
            mShutdownRequested = true;
            return false;
        }
        if (key == OIS::KC_SYSRQ)
            saveScreenshot();
        return true;
    }
    // The open menu takes every key: Escape resumes, L leaves, Q quits.
    if (mApp.sessionMenu().shown()) {
        if (key == OIS::KC_ESCAPE)
            mApp.sessionMenu().show(false);
        else if (key == OIS::KC_L)
            mApp.sessionMenu().pressKey('l');
        else if (key == OIS::KC_Q)
            mApp.sessionMenu().pressKey('q');
        return false;
    }
    // An open chat line takes every key: Enter sends, Escape cancels, the
    // rest is typed (the GUI's edit line gets them, the view does not).
    if (mChat.isOpen()) {
        if (key == OIS::KC_RETURN || key == OIS::KC_NUMPADENTER || key == OIS::KC_ESCAPE) {
            if (key == OIS::KC_ESCAPE)
                mChat.cancel();
            else
                mChat.send();
            mMotion.suspendKeys(false);
            return false;
        }
        return true;
    }
    const KeyAction action = mApp.keyBindings().actionOf(key);
    if (key == OIS::KC_RETURN || key == OIS::KC_NUMPADENTER || action == KeyAction::Chat) {
        mChat.open();
        if (mChat.isOpen()) {
            mMotion.suspendKeys(true);
            return false; // the key that opened it is not typed
        }
    }
    // Escape opens the menu: leaving or quitting is a choice there, not
    // one key away. The GUI never sees it.
    if (key == OIS::KC_ESCAPE) {
        mApp.sessionMenu().show(true);
        return false;
    }
    if (key == OIS::KC_SYSRQ)
        saveScreenshot();
    if (key == OIS::KC_HOME) {
        mApp.cameraControl().reset();
        mApp.cameraControl().report("home");
    }
    if (key == OIS::KC_END && mApp.camera())
        mApp.ownModel().bringIntoView(*mApp.camera());
    boundKey(key, true);
    // F shows the frame rates unless the user gave F to an action.
    if (key == OIS::KC_F && action == KeyAction::Count)
        mStatistics.setFramesShown(!mStatistics.framesShown());
    return true;
}

void SceneFrameListener::keyReleased(uint32_t key)
{
    boundKey(key, false);
}

void SceneFrameListener::mouseButton(uint32_t button, bool down)
{
    const uint32_t code = mouseButtonCode(button);
    if (mApp.settingsWindow().shown()) {
        if (down && mApp.settingsWindow().waitingForKey())
            mApp.settingsWindow().pressKey(code);
        return;
    }
    // A button held for push-to-talk while a window is open does nothing
    // until the window is closed; its release always ends push-to-talk.
    if (down && (mApp.startWindow().shown() || mApp.sessionMenu().shown() || mChat.isOpen()))
        return;
    boundKey(code, down);
}

bool SceneFrameListener::boundKey(uint32_t code, bool down)
{
    SessionPort& port = mApp.sessionPort();
    switch (mApp.keyBindings().actionOf(code)) {
    case KeyAction::PushToTalk:
        if (port.takesPart())
            port.setPushToTalk(down);
        return true;
    case KeyAction::MuteSelf:
        if (down && port.takesPart())
            port.toggleSelfMute();
        return true;
    case KeyAction::Deafen:
        if (down && port.takesPart())
            port.toggleDeafen();
        return true;
    default:
        return false;
    }
}

void SceneFrameListener::saveScreenshot()
{
    // Written when this frame has ended.
    std::string name = mScreenshots.request();
    showNotice("Saved: " + name);
    // Where the labels stand in the picture.
    if (mApp.events().active())
        mApp.events().screenshot(name, mLabels.describe());
}

void SceneFrameListener::windowResized(Ogre::RenderWindow* window)
{
    unsigned width = window->getWidth();
    unsigned height = window->getHeight();
    mInput->setArea(width, height);
    if (CEGUI::System::getSingletonPtr())
        CEGUI::System::getSingleton().notifyDisplaySizeChanged(CEGUI::Sizef(float(width), float(height)));
    mApp.cameraControl().fitAspectRatio();
    CEGUI::Sizef gui(0, 0);
    if (mRootWindow)
        gui = mRootWindow->getPixelSize();
    mApp.events().windowSize(width, height, mRootWindow != nullptr, double(gui.d_width), double(gui.d_height));
}

} // namespace seafold
