#include "scene/ownmodel.h"
#include "scene/clientmodels.h"
#include "scene/controllogic.h"
#include "scene/sessionport.h"
#include "scene/windowevents.h"

#include <OgreCamera.h>
#include <OgreEntity.h>
#include <OgreSceneManager.h>
#include <OgreSceneNode.h>

#include <cmath>

namespace seafold {

void OwnModel::create(Ogre::SceneManager& scene)
{
    mScene = &scene;
    mNode = scene.getRootSceneNode()->createChildSceneNode(Ogre::Vector3::ZERO, Ogre::Quaternion::IDENTITY);
}

void OwnModel::forget()
{
    mScene = nullptr;
    mNode = nullptr;
    mEntity = nullptr;
    mMeshName.clear();
}

bool OwnModel::select(const std::string& meshName)
{
    if (!mScene || !mNode)
        return false;
    if (mEntity) {
        mEntity->setVisible(false);
        mNode->detachObject(mEntity->getName());
        mEntity = nullptr;
        mMeshName.clear();
    }
    // A mesh that cannot be loaded leaves the user without a model instead
    // of ending the program.
    mEntity = findOrCreateModelEntity(*mScene, ownModelEntityName(meshName), meshName);
    if (!mEntity)
        return false;
    mEntity->setVisible(true);
    mNode->attachObject(mEntity);
    mMeshName = meshName;
    mPort->announceSelection(meshName);
    report();
    return true;
}

void OwnModel::showUnannounced(const std::string& meshName)
{
    if (!mScene || !mNode)
        return;
    mEntity = mScene->createEntity(meshName, meshName);
    mNode->attachObject(mEntity);
}

void OwnModel::turnAndMove(float yawDegrees, const Ogre::Vector3& translate)
{
    if (!mNode)
        return;
    mNode->yaw(Ogre::Degree(yawDegrees), Ogre::Node::TS_LOCAL);
    mNode->translate(translate, Ogre::Node::TS_PARENT);
    mPort->sendMovement(double(translate.x), double(translate.y), double(translate.z));
    if (yawDegrees != 0) {
        mHeadingDegrees = std::remainder(mHeadingDegrees + double(yawDegrees), 360.0);
        mPort->sendHeading(mHeadingDegrees);
    }
    report();
}

void OwnModel::spin(float degrees)
{
    if (mNode)
        mNode->yaw(Ogre::Degree(degrees), Ogre::Node::TS_LOCAL);
}

void OwnModel::bringIntoView(const Ogre::Camera& camera)
{
    if (!mNode)
        return;
    const Ogre::Vector3 eye = camera.getDerivedPosition();
    const Ogre::Vector3 view = camera.getDerivedDirection();
    Motion3 target = modelReturnTarget({eye.x, eye.y, eye.z}, {view.x, view.y, view.z});
    Ogre::Vector3 delta = Ogre::Vector3(target.x, target.y, target.z) - mNode->getPosition();
    mNode->translate(delta, Ogre::Node::TS_PARENT);
    mPort->sendMovement(double(delta.x), double(delta.y), double(delta.z));
    report();
}

void OwnModel::report() const
{
    if (!mEvents.active())
        return;
    const Ogre::Vector3& at = mNode->getPosition();
    mEvents.ownModel(mMeshName, {double(at.x), double(at.y), double(at.z)});
}

} // namespace seafold
