#include "scene/cameracontrol.h"
#include "scene/controllogic.h"
#include "scene/windowevents.h"

#include <OgreCamera.h>
#include <OgreRenderWindow.h>
#include <OgreSceneManager.h>
#include <OgreSceneNode.h>
#include <OgreViewport.h>

#include <algorithm>

namespace seafold {

namespace {

// Where the camera starts (and Home puts it back): it looks at the origin.
const Ogre::Vector3 CameraHome(50, 0, 100);

} // namespace

void CameraControl::create(Ogre::SceneManager& scene, Ogre::RenderWindow& window)
{
    mCamera = scene.createCamera("PlayerCam");
    mNode = scene.getRootSceneNode()->createChildSceneNode();
    mNode->attachObject(mCamera);
    mNode->setFixedYawAxis(true);
    mNode->setPosition(0, 0, 0);
    mNode->lookAt(Ogre::Vector3(0, 0, -300), Ogre::Node::TS_WORLD);
    mCamera->setNearClipDistance(1);

    Ogre::Viewport* viewport = window.addViewport(mCamera, 0, 0, 0, 1, 1);
    viewport->setBackgroundColour(Ogre::ColourValue(0, 0, 0, 1));
    mCamera->setAspectRatio(Ogre::Real(viewport->getActualWidth()) / Ogre::Real(viewport->getActualHeight()));
}

void CameraControl::forget()
{
    mCamera = nullptr;
    mNode = nullptr;
}

void CameraControl::reset()
{
    if (!mNode)
        return;
    // The camera was created at the origin looking down -Z, so a move
    // relative to it is a move in the world.
    mNode->setPosition(Ogre::Vector3::ZERO);
    mNode->setOrientation(Ogre::Quaternion::IDENTITY);
    mNode->translate(CameraHome, Ogre::Node::TS_LOCAL);
    mNode->lookAt(Ogre::Vector3(0, 0, 0), Ogre::Node::TS_WORLD);
}

float CameraControl::pitchDegrees() const
{
    if (!mCamera)
        return 0;
    return pitchOfDirection(mCamera->getDerivedDirection().y);
}

void CameraControl::pitch(float degrees)
{
    if (!mNode)
        return;
    float step = clampedPitchStep(pitchDegrees(), degrees);
    if (step != 0)
        mNode->pitch(Ogre::Degree(step), Ogre::Node::TS_LOCAL);
}

void CameraControl::lookAt(const Ogre::Vector3& target)
{
    if (!mNode)
        return;
    mNode->lookAt(target, Ogre::Node::TS_WORLD);
    // Straight up or down is beyond the limits: back to the nearest one.
    float pitch = pitchDegrees();
    float limited = std::max(-PitchLimitDegrees, std::min(PitchLimitDegrees, pitch));
    if (limited != pitch)
        mNode->pitch(Ogre::Degree(limited - pitch), Ogre::Node::TS_LOCAL);
}

void CameraControl::turnAndMove(float yawDegrees, float pitchDegrees, const Ogre::Vector3& translate)
{
    if (!mNode)
        return;
    mNode->yaw(Ogre::Degree(yawDegrees), Ogre::Node::TS_WORLD);
    pitch(pitchDegrees);
    mNode->translate(translate, Ogre::Node::TS_LOCAL);
    keepInScene();
}

void CameraControl::moveBy(const Ogre::Vector3& worldDelta)
{
    if (!mNode)
        return;
    mNode->translate(worldDelta, Ogre::Node::TS_WORLD);
    keepInScene();
}

void CameraControl::keepInScene()
{
    const Ogre::Vector3 at = mNode->getPosition();
    const Motion3 kept = clampToScene({at.x, at.y, at.z});
    if (kept.x != at.x || kept.y != at.y || kept.z != at.z)
        mNode->setPosition(kept.x, kept.y, kept.z);
}

float CameraControl::focusDistance(const Ogre::Vector3* model) const
{
    if (!mCamera)
        return DefaultFocusDistance;
    const Ogre::Vector3 at = mCamera->getDerivedPosition();
    const Ogre::Vector3 view = mCamera->getDerivedDirection();
    Motion3 own;
    if (model)
        own = {model->x, model->y, model->z};
    return seafold::focusDistance({at.x, at.y, at.z}, {view.x, view.y, view.z}, model ? &own : nullptr);
}

void CameraControl::fitAspectRatio()
{
    Ogre::Viewport* viewport = mCamera ? mCamera->getViewport() : nullptr;
    if (viewport && viewport->getActualHeight() > 0)
        mCamera->setAspectRatio(Ogre::Real(viewport->getActualWidth()) / Ogre::Real(viewport->getActualHeight()));
}

float CameraControl::unitsPerPixelAt(const Ogre::Vector3& point) const
{
    Ogre::Viewport* viewport = mCamera ? mCamera->getViewport() : nullptr;
    if (!viewport)
        return 0;
    float distance = mCamera->getDerivedPosition().distance(point);
    return seafold::unitsPerPixelAt(distance, mCamera->getFOVy().valueRadians(), float(viewport->getActualHeight()));
}

void CameraControl::report(const char* why) const
{
    if (!mEvents.active() || !mCamera)
        return;
    const Ogre::Vector3 at = mCamera->getDerivedPosition();
    mEvents.camera(why, {double(at.x), double(at.y), double(at.z)}, double(pitchDegrees()));
}

} // namespace seafold
