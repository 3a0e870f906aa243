#include "scene/seafold.h"
#include "base/platform.h"
#include "scene/clientmodels.h"
#include "scene/controllogic.h"
#include "scene/framelistener.h"
#include "session/eventlog.h"

#include <OgreBillboard.h>
#include <OgreBillboardSet.h>
#include <OgreCamera.h>
#include <OgreConfigFile.h>
#include <OgreEntity.h>
#include <OgreException.h>
#include <OgreFrameListener.h>
#include <OgreLight.h>
#include <OgreLogManager.h>
#include <OgreMaterialManager.h>
#include <OgreMeshManager.h>
#include <OgreRenderSystem.h>
#include <OgreRenderWindow.h>
#include <OgreResourceGroupManager.h>
#include <OgreRoot.h>
#include <OgreSceneManager.h>
#include <OgreSceneNode.h>
#include <OgreTextureManager.h>
#include <OgreViewport.h>

#include <Bites/OgreBitesConfigDialog.h>
#include <Bites/OgreWindowEventUtilities.h>

#include <CEGUI/CEGUI.h>
#include <CEGUI/RendererModules/Ogre/ImageCodec.h>
#include <CEGUI/RendererModules/Ogre/Renderer.h>
#include <CEGUI/RendererModules/Ogre/ResourceProvider.h>

#include <algorithm>
#include <cstdlib>

namespace seafold {

Seafold gApp;
Ogre::SceneNode* gLightPivot = nullptr;
Ogre::Light* gLight = nullptr;
Ogre::BillboardSet* gFlareSet = nullptr;
Ogre::Billboard* gFlare = nullptr;

const char* const kPanelLayoutFile = "Seafold.layout";
const char* const kGuiConfigFile = "SeafoldCegui.config";

namespace {

const Ogre::Vector3 kLightPosition(0, 400, 0);
const Ogre::ColourValue kLightDiffuse(0.6f, 0.6f, 0.6f, 1.0f);
const Ogre::ColourValue kLightSpecular(0.5f, 0.5f, 0.5f, 1.0f);
const Ogre::Real kLightPivotDegrees = 35;
// Where the camera starts (and Home puts it back): it looks at the origin.
const Ogre::Vector3 kCameraHome(50, 0, 100);

bool isAbsolutePath(const std::string& path)
{
    return !path.empty() && path[0] == '/';
}

} // namespace

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
    mFragmentProgram.reset();
    mFragmentParams.reset();
    mVertexProgram.reset();
    mVertexParams.reset();
    mMaterial.reset();
    if (mWindow)
        OgreBites::WindowEventUtilities::_removeRenderWindow(mWindow);
    mWindow = nullptr;
    mCamera = nullptr;
    mCameraNode = nullptr;
    mSceneManager = nullptr;
    mModelNode = nullptr;
    mModelEntity = nullptr;
    mModelMeshName.clear();
    mOceanEntity = nullptr;
    mPass = nullptr;
    mControlsScrollbar = nullptr;
    mUniformRows.clear();
    gLightPivot = nullptr;
    gLight = nullptr;
    gFlareSet = nullptr;
    gFlare = nullptr;
    delete mRoot;
    mRoot = nullptr;
    delete mLogManager;
    mLogManager = nullptr;
}

void Seafold::tearDownGui()
{
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

bool Seafold::setUpApplication()
{
    SetUpTimer timer;
    // The renderer root. Its log stays in "Ogre.log" instead of being
    // echoed to standard output.
    if (!Ogre::LogManager::getSingletonPtr()) {
        mLogManager = new Ogre::LogManager;
        mLogManager->createLog("Ogre.log", true, false, false);
    }
    mRoot = new Ogre::Root(mMediaDirectory + "/plugins.cfg", "ogre.cfg", "Ogre.log");

    // Resource locations.
    setUpResources();

    // Configuration and the render window.
    if (!configure())
        return false;
    timer.done("configuration");
    // The title says which process this is.
    SessionStatus status;
    sessionPort().describeSession(status);
    mWindowTitle = windowTitle(sessionPort().isClient(), status.userName, status.address);
    mWindow = mRoot->initialise(true, mWindowTitle);
    if (gEventLog.active())
        gEventLog.write(Json{{"title", jsonText(mWindowTitle)}});
    // The message pump only serves windows it knows.
    OgreBites::WindowEventUtilities::_addRenderWindow(mWindow);

    // Scene manager.
    mSceneManager = mRoot->createSceneManager("DefaultSceneManager", "ExampleSMInstance");
    gRendererScene.setSceneManager(mSceneManager);

    // Camera and viewport.
    setUpCameraAndViewport();

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
    mFrameListener = new Seafold_FrameListener(*this);
    mRoot->addFrameListener(mFrameListener);
    timer.done("input");

    // Material controls.
    loadAllMaterialControls(mMaterialControlsList);

    // The panel's handlers and lists; the ocean starts with the first
    // material entry.
    wirePanelEvents();
    fillSelectionLists();
    timer.done("material controls and panel");
    return true;
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

void Seafold::setUpCameraAndViewport()
{
    mCamera = mSceneManager->createCamera("PlayerCam");
    mCameraNode = mSceneManager->getRootSceneNode()->createChildSceneNode();
    mCameraNode->attachObject(mCamera);
    mCameraNode->setFixedYawAxis(true);
    mCameraNode->setPosition(0, 0, 0);
    mCameraNode->lookAt(Ogre::Vector3(0, 0, -300), Ogre::Node::TS_WORLD);
    mCamera->setNearClipDistance(1);

    Ogre::Viewport* viewport = mWindow->addViewport(mCamera, 0, 0, 0, 1, 1);
    viewport->setBackgroundColour(Ogre::ColourValue(0, 0, 0, 1));
    mCamera->setAspectRatio(Ogre::Real(viewport->getActualWidth()) / Ogre::Real(viewport->getActualHeight()));
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
                                            kGuiConfigFile, "CEGUI.log");
        CEGUI::GUIContext& context = mGuiSystem->getDefaultGUIContext();
        context.getMouseCursor().setDefaultImage("TaharezLook/MouseArrow");
        CEGUI::Window* root = CEGUI::WindowManager::getSingleton().loadLayoutFromFile(kPanelLayoutFile);
        context.setRootWindow(root);
        mControlsScrollbar = static_cast<CEGUI::Scrollbar*>(root->getChildRecursive("VerticalScroll"));
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
    mModelNode = sceneRoot->createChildSceneNode(Ogre::Vector3::ZERO, Ogre::Quaternion::IDENTITY);

    gLightPivot = sceneRoot->createChildSceneNode();
    gLightPivot->rotate(Ogre::Vector3::UNIT_X, Ogre::Radian(Ogre::Math::AngleUnitsToRadians(kLightPivotDegrees)),
                        Ogre::Node::TS_LOCAL);

    // The light hangs on its own child of the pivot at the light position, so
    // turning the pivot swings it around the origin.
    gLight = mSceneManager->createLight("Light" + Ogre::StringConverter::toString(0));
    gLight->setDiffuseColour(kLightDiffuse);
    gLight->setSpecularColour(kLightSpecular);
    gLight->setVisible(true);
    gLightPivot->createChildSceneNode(kLightPosition)->attachObject(gLight);

    gFlareSet = mSceneManager->createBillboardSet("Flare0", 20);
    gFlareSet->setMaterialName("LightFlare");
    gLightPivot->attachObject(gFlareSet);
    gFlare = gFlareSet->createBillboard(kLightPosition, Ogre::ColourValue::White);
    gFlare->setColour(gLight->getDiffuseColour());
    gFlareSet->setVisible(true);

    resetCamera();

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
}

void Seafold::selectOceanMaterial(uint32_t index)
{
    if (index >= mMaterialControlsList.size())
        return;
    mMaterialIndex = index;
    if (mOceanEntity)
        mOceanEntity->setMaterialName(mMaterialControlsList[index].getMaterialName());
}

bool Seafold::selectOceanMaterialNamed(const std::string& displayName)
{
    for (uint32_t i = 0; i < mMaterialControlsList.size(); ++i) {
        if (mMaterialControlsList[i].getDisplayName() != displayName)
            continue;
        selectMaterialOnPanel(i);
        return true;
    }
    return false;
}

// ---- camera and own model ---------------------------------------------------------

void Seafold::resetCamera()
{
    if (!mCameraNode)
        return;
    // The camera was created at the origin looking down -Z, so a move
    // relative to it is a move in the world.
    mCameraNode->setPosition(Ogre::Vector3::ZERO);
    mCameraNode->setOrientation(Ogre::Quaternion::IDENTITY);
    mCameraNode->translate(kCameraHome, Ogre::Node::TS_LOCAL);
    mCameraNode->lookAt(Ogre::Vector3(0, 0, 0), Ogre::Node::TS_WORLD);
}

float Seafold::cameraPitchDegrees() const
{
    if (!mCamera)
        return 0;
    return pitchOfDirection(mCamera->getDerivedDirection().y);
}

void Seafold::pitchCamera(float degrees)
{
    if (!mCameraNode)
        return;
    float step = clampedPitchStep(cameraPitchDegrees(), degrees);
    if (step != 0)
        mCameraNode->pitch(Ogre::Degree(step), Ogre::Node::TS_LOCAL);
}

void Seafold::lookAt(const Ogre::Vector3& target)
{
    if (!mCameraNode)
        return;
    mCameraNode->lookAt(target, Ogre::Node::TS_WORLD);
    // Straight up or down is beyond the limits: back to the nearest one.
    float pitch = cameraPitchDegrees();
    float limited = std::max(-kPitchLimitDegrees, std::min(kPitchLimitDegrees, pitch));
    if (limited != pitch)
        mCameraNode->pitch(Ogre::Degree(limited - pitch), Ogre::Node::TS_LOCAL);
}

void Seafold::bringModelIntoView()
{
    if (!mModelNode || !mCamera)
        return;
    const Ogre::Vector3 camera = mCamera->getDerivedPosition();
    const Ogre::Vector3 view = mCamera->getDerivedDirection();
    Motion3 target = modelReturnTarget({camera.x, camera.y, camera.z}, {view.x, view.y, view.z});
    Ogre::Vector3 delta = Ogre::Vector3(target.x, target.y, target.z) - mModelNode->getPosition();
    mModelNode->translate(delta, Ogre::Node::TS_PARENT);
    sessionPort().sendMovement(double(delta.x), double(delta.y), double(delta.z));
    if (gEventLog.active()) {
        const Ogre::Vector3& at = mModelNode->getPosition();
        Json event;
        event["own"] = mModelMeshName.empty() ? Json(nullptr) : Json(jsonText(mModelMeshName));
        event["pos"] = Json::array({double(at.x), double(at.y), double(at.z)});
        gEventLog.write(event);
    }
}

// ---- one frame at a time ---------------------------------------------------------

void myStartRendering(Ogre::Root& root)
{
    root.getRenderSystem()->_initRenderTargets();
    // Frame times count from here, not from the creation of the root.
    root.clearEventTimes();
    root.queueEndRendering(false);
}

bool myRenderingLoop(Ogre::Root& root, Ogre::RenderWindow* window)
{
    OgreBites::WindowEventUtilities::messagePump();
    if (window && window->isClosed())
        return true;
    // A hidden or fully covered window is not rendered; the GUI must then
    // not draw either, or it would start a frame without a viewport and the
    // renderer would throw.
    if (window && gApp.mGuiRenderer)
        gApp.mGuiRenderer->setRenderingEnabled(window->isActive());
    bool ok = root.renderOneFrame();
    return !ok || root.endRenderingQueued() || (window && window->isClosed());
}

} // namespace seafold
