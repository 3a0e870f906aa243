#include "scene/seafold.h"
#include "base/platform.h"
#include "scene/clientmodels.h"
#include "scene/controllogic.h"
#include "scene/framelistener.h"

#include <OgreBillboard.h>
#include <OgreBillboardSet.h>
#include <OgreConfigFile.h>
#include <OgreEntity.h>
#include <OgreException.h>
#include <OgreFrameListener.h>
#include <OgreLight.h>
#include <OgreLogManager.h>
#include <OgreMeshManager.h>
#include <OgreRenderSystem.h>
#include <OgreRenderWindow.h>
#include <OgreResourceGroupManager.h>
#include <OgreRoot.h>
#include <OgreSceneManager.h>
#include <OgreSceneNode.h>
#include <OgreTextureManager.h>

#include <Bites/OgreBitesConfigDialog.h>
#include <Bites/OgreWindowEventUtilities.h>

#include <CEGUI/CEGUI.h>
#include <CEGUI/RendererModules/Ogre/ImageCodec.h>
#include <CEGUI/RendererModules/Ogre/Renderer.h>
#include <CEGUI/RendererModules/Ogre/ResourceProvider.h>

#include <cstdlib>

namespace seafold {

const char* const PanelLayoutFile = "Seafold.layout";
const char* const GuiConfigFile = "SeafoldCegui.config";

namespace {

const Ogre::Vector3 LightPosition(0, 400, 0);
const Ogre::ColourValue LightDiffuse(0.6f, 0.6f, 0.6f, 1.0f);
const Ogre::ColourValue LightSpecular(0.5f, 0.5f, 0.5f, 1.0f);
const Ogre::Real LightPivotDegrees = 35;

bool isAbsolutePath(const std::string& path)
{
    return !path.empty() && path[0] == '/';
}

} // namespace

Seafold::Seafold()
    : mCameraControl(mEvents), mOwnModel(mSessionPort, mEvents), mTuning(mEvents), mPanel(*this, mTuning),
      mSliderFold(mEvents)
{
}

Seafold::~Seafold()
{
    tearDown();
}

void Seafold::tearDown()
{
    tearDownGui();
    if (mRoot && mFrameListener)
        mRoot->removeFrameListener(mFrameListener);
    delete mFrameListener;
    mFrameListener = nullptr;
    // Other users' nodes go with the scene manager.
    gRendererScene.setSceneManager(nullptr);
    mTuning.forget();
    if (mWindow)
        OgreBites::WindowEventUtilities::_removeRenderWindow(mWindow);
    mWindow = nullptr;
    mCameraControl.forget();
    mSceneManager = nullptr;
    mOwnModel.forget();
    mOceanEntity = nullptr;
    mLightPivot = nullptr;
    mLight = nullptr;
    mFlareSet = nullptr;
    mFlare = nullptr;
    delete mRoot;
    mRoot = nullptr;
    delete mLogManager;
    mLogManager = nullptr;
}

void Seafold::tearDownGui()
{
    mSliderFold.forget();
    if (mGuiSystem) {
        CEGUI::System::destroy();
        mGuiSystem = nullptr;
    }
    if (mGuiImageCodec) {
        CEGUI::OgreRenderer::destroyOgreImageCodec(*mGuiImageCodec);
        mGuiImageCodec = nullptr;
    }
    if (mGuiResourceProvider) {
        CEGUI::OgreRenderer::destroyOgreResourceProvider(*mGuiResourceProvider);
        mGuiResourceProvider = nullptr;
    }
    if (mGuiRenderer) {
        CEGUI::OgreRenderer::destroy(*mGuiRenderer);
        mGuiRenderer = nullptr;
    }
}

namespace {

// Notes in the renderer's log how long set-up has taken so far, to see where
// start-up time goes.
class SetUpTimer {
public:
    SetUpTimer() : mStart(getHighPrecisionTimerValue()) {}
    void done(const char* step) const
    {
        double ms = getHighPrecisionMilliseconds(getHighPrecisionTimerValue() - mStart);
        Ogre::LogManager::getSingleton().logMessage(Ogre::StringUtil::format("Set-up: %s after %.0f ms", step, ms));
    }

private:
    int64_t mStart;
};

} // namespace

bool Seafold::refreshWindowTitle()
{
    SessionStatus status;
    sessionPort().describeSession(status);
    // A host listening on every network goes by the address others type,
    // not 0.0.0.0.
    std::string address = status.address;
    if (!status.joinAddresses.empty())
        address = status.joinAddresses.front().substr(0, status.joinAddresses.front().find(' '));
    std::string title = seafold::windowTitle(sessionPort().isClient(), status.userName, address);
    if (title == mWindowTitle)
        return false;
    mWindowTitle = title;
    mEvents.title(mWindowTitle);
    return true;
}

bool Seafold::setUpApplication()
{
    SetUpTimer timer;
    // The renderer root. Its log stays in "Ogre.log" instead of being
    // echoed to standard output.
    const std::string ogreLog = mLogDirectory + "/Ogre.log";
    if (!Ogre::LogManager::getSingletonPtr()) {
        mLogManager = new Ogre::LogManager;
        mLogManager->createLog(ogreLog, true, false, false);
    }
    if (!makeRoot(ogreLog))
        return false;

    // Resource locations.
    setUpResources();

    // Configuration and the render window.
    if (!configure())
        return false;
    timer.done("configuration");
    // The title says which process this is.
    refreshWindowTitle();
    mWindow = mRoot->initialise(true, mWindowTitle);
    // The message pump only serves windows it knows.
    OgreBites::WindowEventUtilities::_addRenderWindow(mWindow);

    // Scene manager.
    mSceneManager = mRoot->createSceneManager("DefaultSceneManager", "ExampleSMInstance");
    gRendererScene.setSceneManager(mSceneManager);

    // Camera and viewport.
    mCameraControl.create(*mSceneManager, *mWindow);

    // Textures and resources.
    Ogre::TextureManager::getSingleton().setDefaultNumMipmaps(5);
    timer.done("window");
    Ogre::ResourceGroupManager::getSingleton().initialiseAllResourceGroups();
    timer.done("resource groups");

    // The GUI.
    if (!setUpGui())
        return false;
    timer.done("GUI");

    // Sky, light, flare and ocean.
    setUpSceneContents();
    timer.done("scene contents");

    // The frame listener: input, camera and model motion, statistics.
    mFrameListener = new SceneFrameListener(*this);
    mRoot->addFrameListener(mFrameListener);
    timer.done("input");

    // Material controls.
    mTuning.loadControls();

    // The panel's handlers and lists; the ocean starts with the first
    // material entry.
    mPanel.wire();
    mPanel.fillLists();
    timer.done("material controls and panel");

    // Escape's menu and the Settings window, hidden until asked for.
    CEGUI::Window* guiRoot = CEGUI::System::getSingleton().getDefaultGUIContext().getRootWindow();
    mSessionMenu.create(guiRoot, mEvents);
    mSettings.create(guiRoot, mKeys, mEvents);
    if (mSettings.available()) {
        mSessionMenu.setSettingsOpener([this] { mSettings.show(true); });
        mStartWindow.setSettingsOpener([this] { mSettings.show(true); });
    }
    // Over the scene, before anything of the session is shown.
    if (mStartWindowWanted) {
        mStartWindow.create(guiRoot, mEvents);
        mStartWindow.show(true);
    }
    return true;
}

// The root without plug-ins, which are then loaded one by one here rather
// than by the root's constructor. A plug-in that cannot start (the GL render
// system when the display refuses it a connection, as a busy display may)
// throws from its own code: caught here, the plug-in is still loaded and its
// exception can be read; thrown out of the root's constructor, the plug-in
// was unloaded on the way, and reading the exception crashed. The display is
// given two more tries, a moment apart.
bool Seafold::makeRoot(const std::string& ogreLog)
{
    Ogre::ConfigFile plugins;
    plugins.load(mMediaDirectory + "/plugins.cfg");
    const std::string folder = plugins.getSetting("PluginFolder");
    const Ogre::StringVector names = plugins.getMultiSetting("Plugin");
    constexpr int Attempts = 3;
    constexpr uint32_t RetryMs = 300;
    std::string why;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        if (attempt > 0)
            sleepMilliseconds(RetryMs);
        mRoot = new Ogre::Root("", "ogre.cfg", ogreLog);
        why.clear();
        for (const std::string& name : names) {
            try {
                mRoot->loadPlugin(folder.empty() ? name : folder + "/" + name);
            } catch (const Ogre::Exception& e) {
                why = name + ": " + e.getDescription();
                break;
            }
        }
        if (why.empty())
            return true;
        Ogre::LogManager::getSingleton().logMessage("Renderer plug-in failed to start: " + why);
        delete mRoot;
        mRoot = nullptr;
    }
    std::fprintf(stderr, "seafold: the renderer could not start (%s)\n", why.c_str());
    return false;
}

void Seafold::setUpResources()
{
    Ogre::ConfigFile file;
    file.load(mMediaDirectory + "/resources.cfg", "\t:=", true);
    Ogre::ResourceGroupManager& resources = Ogre::ResourceGroupManager::getSingleton();
    for (const auto& section : file.getSettingsBySection()) {
        for (const auto& setting : section.second) {
            std::string location = setting.second;
            if (!isAbsolutePath(location))
                location = mMediaDirectory + "/" + location;
            resources.addResourceLocation(location, setting.first, section.first, false);
        }
    }
    Ogre::LogManager::getSingleton().logMessage("Resource directories setup");
}

bool Seafold::configure()
{
    // The dialog appears when asked for; otherwise the configuration saved in
    // the working folder is used, or else the one shipped in the media, so
    // that the program starts without a click from any folder.
    const char* ask = std::getenv("SEAFOLD_CONFIG_DIALOG");
    bool wantDialog = ask && std::string(ask) == "1";
    if (!wantDialog && (mRoot->restoreConfig() || useShippedConfig()))
        return true;
    return mRoot->showConfigDialog(OgreBites::getNativeConfigDialog());
}

bool Seafold::useShippedConfig()
{
    // The same form as a saved ogre.cfg: the render system's name, then its
    // options in a section of that name. Nothing is saved: the working
    // folder stays as it was.
    try {
        Ogre::ConfigFile file;
        file.load(mMediaDirectory + "/ogre-default.cfg", "=", true);
        Ogre::ConfigFile::SettingsBySection_ sections = file.getSettingsBySection();
        Ogre::RenderSystem* system = mRoot->getRenderSystemByName(file.getSetting("Render System"));
        if (!system)
            return false;
        for (const auto& option : sections[system->getName()])
            system->setConfigOption(option.first, option.second);
        if (!system->validateConfigOptions().empty())
            return false;
        mRoot->setRenderSystem(system);
        return true;
    } catch (const Ogre::Exception& e) {
        Ogre::LogManager::getSingleton().logMessage("The shipped configuration cannot be used: " + e.getDescription());
        return false;
    }
}

bool Seafold::setUpGui()
{
    // Any failure here, of any kind, means no GUI: set-up fails. What was
    // created stays referenced and is released by the destructor.
    try {
        mGuiRenderer = &CEGUI::OgreRenderer::create(*mWindow);
        mGuiResourceProvider = &CEGUI::OgreRenderer::createOgreResourceProvider();
        mGuiImageCodec = &CEGUI::OgreRenderer::createOgreImageCodec();
        // Caught GUI exceptions would still be echoed on standard error.
        CEGUI::Exception::setStdErrEnabled(false);
        mGuiSystem = &CEGUI::System::create(*mGuiRenderer, mGuiResourceProvider, nullptr, mGuiImageCodec, nullptr,
                                            GuiConfigFile, mLogDirectory + "/CEGUI.log");
        CEGUI::GUIContext& context = mGuiSystem->getDefaultGUIContext();
        context.getMouseCursor().setDefaultImage("TaharezLook/MouseArrow");
        CEGUI::Window* root = CEGUI::WindowManager::getSingleton().loadLayoutFromFile(PanelLayoutFile);
        context.setRootWindow(root);
        mTuning.attachRowsScrollbar(static_cast<CEGUI::Scrollbar*>(root->getChildRecursive("VerticalScroll")));
        mSliderFold.attach(root);
    } catch (const CEGUI::Exception& e) {
        Ogre::LogManager::getSingleton().logError(std::string("GUI set-up failed: ") + e.getMessage().c_str());
        return false;
    } catch (const std::exception& e) {
        Ogre::LogManager::getSingleton().logError(std::string("GUI set-up failed: ") + e.what());
        return false;
    } catch (...) {
        Ogre::LogManager::getSingleton().logError("GUI set-up failed");
        return false;
    }
    return true;
}

void Seafold::setUpSceneContents()
{
    mSceneManager->setAmbientLight(Ogre::ColourValue(0.3f, 0.3f, 0.3f, 1.0f));
    mSceneManager->setSkyBox(true, "SkyBox", 1000, true, Ogre::Quaternion::IDENTITY,
                             Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME);

    Ogre::SceneNode* sceneRoot = mSceneManager->getRootSceneNode();
    sceneRoot->createChildSceneNode(Ogre::Vector3::ZERO, Ogre::Quaternion::IDENTITY);
    mOwnModel.create(*mSceneManager);

    mLightPivot = sceneRoot->createChildSceneNode();
    mLightPivot->rotate(Ogre::Vector3::UNIT_X, Ogre::Radian(Ogre::Math::AngleUnitsToRadians(LightPivotDegrees)),
                        Ogre::Node::TS_LOCAL);

    // The light hangs on its own child of the pivot at the light position, so
    // turning the pivot swings it around the origin.
    mLight = mSceneManager->createLight("Light" + Ogre::StringConverter::toString(0));
    mLight->setDiffuseColour(LightDiffuse);
    mLight->setSpecularColour(LightSpecular);
    mLight->setVisible(true);
    mLightPivot->createChildSceneNode(LightPosition)->attachObject(mLight);

    mFlareSet = mSceneManager->createBillboardSet("Flare0", 20);
    mFlareSet->setMaterialName("LightFlare");
    mLightPivot->attachObject(mFlareSet);
    mFlare = mFlareSet->createBillboard(LightPosition, Ogre::ColourValue::White);
    mFlare->setColour(mLight->getDiffuseColour());
    mFlareSet->setVisible(true);

    mCameraControl.reset();

    // Normal up, d = 20: the surface lies at y = -20, below the camera.
    Ogre::Plane plane;
    plane.normal = Ogre::Vector3::UNIT_Y;
    plane.d = 20;
    Ogre::MeshManager::getSingleton().createPlane(
        "OceanSurface", Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME, plane, 1000, 1000, 50, 50, true, 1, 1,
        1, Ogre::Vector3::UNIT_Z, Ogre::HardwareBuffer::HBU_STATIC_WRITE_ONLY,
        Ogre::HardwareBuffer::HBU_STATIC_WRITE_ONLY, true, true);
    mOceanEntity = mSceneManager->createEntity("OceanSurface", "OceanSurface");
    sceneRoot->createChildSceneNode(Ogre::Vector3::ZERO, Ogre::Quaternion::IDENTITY)->attachObject(mOceanEntity);
    mTuning.attachOcean(mOceanEntity);
}

bool Seafold::selectOceanMaterialNamed(const std::string& displayName)
{
    uint32_t index = 0;
    if (!mTuning.findEntry(displayName, index))
        return false;
    mPanel.selectMaterial(index);
    return true;
}

bool Seafold::selectOwnModel(const std::string& meshName)
{
    if (mOwnModel.select(meshName)) {
        mPanel.showOwnModel(meshName);
        return true;
    }
    mPanel.showOwnModel(std::string());
    // Said on the panel: the user is left without a model.
    if (mFrameListener && mOwnModel.node())
        mFrameListener->showNotice("Cannot show " + meshName);
    return false;
}

void Seafold::leaveSession()
{
    if (mOnLeave)
        mOnLeave();
    else
        endRendering();
}

void Seafold::setPeoplePanelShown(bool shown)
{
    if (mFrameListener)
        mFrameListener->setPeoplePanelShown(shown);
}

// ---- the light -------------------------------------------------------------------

void Seafold::swingLight(float degrees)
{
    if (!mLightPivot)
        return;
    mLightPivot->setOrientation(Ogre::Quaternion::IDENTITY);
    mLightPivot->rotate(Ogre::Vector3::UNIT_X, Ogre::Degree(degrees), Ogre::Node::TS_LOCAL);
}

void Seafold::turnLight(float degrees)
{
    if (mLightPivot)
        mLightPivot->rotate(Ogre::Vector3::UNIT_X, Ogre::Degree(degrees), Ogre::Node::TS_LOCAL);
}

bool Seafold::lightPosition(Ogre::Vector3& position) const
{
    if (!mLight)
        return false;
    position = mLight->getParentSceneNode()->_getDerivedPosition();
    return true;
}

// ---- one frame at a time ---------------------------------------------------------

void Seafold::startRendering()
{
    mRoot->getRenderSystem()->_initRenderTargets();
    // Frame times count from here, not from the creation of the root.
    mRoot->clearEventTimes();
    mRoot->queueEndRendering(false);
}

bool Seafold::renderOneFrame()
{
    OgreBites::WindowEventUtilities::messagePump();
    if (mWindow && mWindow->isClosed())
        return true;
    // A hidden or fully covered window is not rendered; the GUI must then
    // not draw either, or it would start a frame without a viewport and the
    // renderer would throw.
    if (mWindow && mGuiRenderer)
        mGuiRenderer->setRenderingEnabled(mWindow->isActive());
    bool ok = mRoot->renderOneFrame();
    return !ok || mRoot->endRenderingQueued() || (mWindow && mWindow->isClosed());
}

void Seafold::endRendering()
{
    if (mRoot)
        mRoot->queueEndRendering();
}

void Seafold::addFrameListener(Ogre::FrameListener* listener)
{
    if (mRoot)
        mRoot->addFrameListener(listener);
}

void Seafold::removeFrameListener(Ogre::FrameListener* listener)
{
    if (mRoot)
        mRoot->removeFrameListener(listener);
}

} // namespace seafold
