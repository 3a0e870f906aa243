#include "scene/clientmodels.h"
#include "base/platform.h"
#include "net/netinterface.h"
#include "scene/controllogic.h"
#include "scene/materialcontrols.h"

#include <OgreEntity.h>
#include <OgreException.h>
#include <OgreHardwareBuffer.h>
#include <OgreMaterialManager.h>
#include <OgreMesh.h>
#include <OgreMeshManager.h>
#include <OgrePass.h>
#include <OgreResourceGroupManager.h>
#include <OgreSceneManager.h>
#include <OgreSceneNode.h>
#include <OgreSubEntity.h>
#include <OgreSubMesh.h>
#include <OgreTechnique.h>

#include <cmath>

namespace seafold {

RendererScene gRendererScene;

namespace {

// A flat grey without highlights: a model that shows where a user was last
// heard of, not where the user is.
const char* const LostMaterialName = "Seafold/LostUser";

void makeLostMaterial()
{
    Ogre::MaterialManager& materials = Ogre::MaterialManager::getSingleton();
    if (materials.resourceExists(LostMaterialName, Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME))
        return;
    Ogre::MaterialPtr material =
        materials.create(LostMaterialName, Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME);
    Ogre::Pass* pass = material->getTechnique(0)->getPass(0);
    pass->setAmbient(0.25f, 0.25f, 0.25f);
    pass->setDiffuse(0.45f, 0.45f, 0.45f, 1.0f);
    pass->setSpecular(0, 0, 0, 1);
}

} // namespace

void paintLost(Ogre::Entity& entity, bool lost)
{
    if (lost)
        makeLostMaterial();
    for (size_t i = 0; i < entity.getNumSubEntities(); ++i) {
        Ogre::SubEntity* part = entity.getSubEntity(i);
        part->setMaterialName(lost ? std::string(LostMaterialName) : part->getSubMesh()->getMaterialName());
    }
}

std::string remoteModelEntityName(const std::string& userName, uint64_t serial, const std::string& meshName)
{
    return "User " + std::to_string(serial) + " (" + userName + "): " + meshName;
}

std::string ownModelEntityName(const std::string& meshName)
{
    return "Own model: " + meshName;
}

Ogre::Entity* findOrCreateModelEntity(Ogre::SceneManager& scene, const std::string& entityName,
                                      const std::string& meshName)
{
    if (scene.hasEntity(entityName))
        return scene.getEntity(entityName);
    // A name that is not one of our meshes (another version's media, or a
    // peer's mistake) must not end everyone's program: the user just shows
    // no model.
    try {
        Ogre::MeshManager::getSingleton().load(meshName, Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME,
                                               Ogre::HardwareBuffer::HBU_STATIC_WRITE_ONLY,
                                               Ogre::HardwareBuffer::HBU_STATIC_WRITE_ONLY, true, true);
        return scene.createEntity(entityName, meshName);
    } catch (const Ogre::Exception& e) {
        logSceneMessage("Model \"" + meshName + "\" cannot be shown: " + e.getDescription());
        return nullptr;
    }
}

void RendererScene::setSceneManager(Ogre::SceneManager* scene)
{
    // The old scene manager destroys its own nodes and entities.
    for (auto& user : mUsers) {
        user.second.node = nullptr;
        user.second.attached = nullptr;
    }
    mScene = scene;
}

RendererScene::UserModels& RendererScene::modelsOf(ClientRecord& record)
{
    UserModels& models = mUsers[&record];
    if (models.serial == 0)
        models.serial = mNextSerial++;
    return models;
}

void RendererScene::attachModel(ClientRecord& record)
{
    UserModels& models = modelsOf(record);
    models.shown.entity.clear();
    if (!mScene)
        return;
    if (!models.node) {
        models.slot = freeSlot();
        Motion3 start = ringSlotPosition(models.slot);
        models.node = mScene->getRootSceneNode()->createChildSceneNode(Ogre::Vector3(start.x, start.y, start.z),
                                                                       Ogre::Quaternion::IDENTITY);
        models.shown.x = models.shown.y = models.shown.z = 0;
        // A new node starts over: its first state is drawn at once.
        models.playout = MotionPlayout();
        models.presented = Pose();
    }
    Ogre::Entity* entity = findOrCreateModelEntity(
        *mScene, remoteModelEntityName(record.name, models.serial, record.entityName), record.entityName);
    if (!entity)
        return;
    entity->setVisible(true);
    paintLost(*entity, mLost);
    models.node->attachObject(entity);
    models.attached = entity;
    models.shown.entity = record.entityName;
}

void RendererScene::showLost(bool lost)
{
    if (lost == mLost)
        return;
    mLost = lost;
    for (auto& user : mUsers)
        if (user.second.attached)
            paintLost(*user.second.attached, lost);
}

void RendererScene::detachModel(ClientRecord& record)
{
    auto it = mUsers.find(&record);
    if (it == mUsers.end())
        return;
    UserModels& models = it->second;
    if (models.attached && models.node) {
        models.attached->setVisible(false);
        models.node->detachObject(models.attached->getName());
    }
    models.attached = nullptr;
    models.shown.entity.clear();
}

void RendererScene::translateNode(ClientRecord& record, float dx, float dy, float dz)
{
    // Movements come off the network: one that is not a number would put
    // the model nowhere for good.
    if (!std::isfinite(dx) || !std::isfinite(dy) || !std::isfinite(dz))
        return;
    UserModels& models = modelsOf(record);
    models.shown.x += dx;
    models.shown.y += dy;
    models.shown.z += dz;
    // The node follows at its next presentation; the first place, with the
    // orientation known so far, at once.
    if (!models.node)
        return;
    const Vector3 position{models.shown.x, models.shown.y, models.shown.z};
    if (models.playout.hasState())
        models.playout.receivePosition(position, now());
    else
        models.playout.snapTo({position, record.orientation}, now());
}

void RendererScene::orientNode(ClientRecord& record)
{
    UserModels& models = modelsOf(record);
    models.shown.turned = true;
    models.shown.yawDegrees = record.orientation.yawDegrees();
    if (models.node && models.playout.hasState())
        models.playout.receiveOrientation(record.orientation, now());
}

double RendererScene::now()
{
    // States are stamped when their datagram arrived, not when the handler
    // runs after the frame that was being drawn then.
    return getHighPrecisionMilliseconds(NetInterface::arrivalTimer());
}

void RendererScene::placeNode(UserModels& models, const Pose& pose)
{
    models.presented = pose;
    Motion3 start = ringSlotPosition(models.slot);
    const Vector3& at = pose.position;
    models.node->setPosition(Ogre::Vector3(float(start.x + at.x), float(start.y + at.y), float(start.z + at.z)));
    const Orientation& o = pose.orientation;
    models.node->setOrientation(Ogre::Quaternion(float(o.w), float(o.x), float(o.y), float(o.z)));
}

void RendererScene::present(double nowMs, const std::function<double(const ClientRecord&)>& sendIntervalMs)
{
    for (auto& user : mUsers) {
        UserModels& models = user.second;
        if (!models.node || !models.playout.hasState())
            continue;
        models.playout.setSendInterval(sendIntervalMs(*user.first));
        placeNode(models, models.playout.drawn(nowMs));
    }
}

void RendererScene::forEachPresented(
    const std::function<void(const std::string& name, const Vector3& position, double yawDegrees)>& visit) const
{
    for (const auto& user : mUsers)
        if (user.second.node && user.second.attached)
            visit(user.first->name, user.second.presented.position, user.second.presented.orientation.yawDegrees());
}

void RendererScene::destroyUserObjects(UserModels& models)
{
    if (!mScene || !models.node)
        return;
    // Every entity this user ever showed hangs on nothing now but its name;
    // they are found by the user's prefix.
    models.node->detachAllObjects();
    std::string prefix = "User " + std::to_string(models.serial) + " (";
    std::vector<Ogre::Entity*> mine;
    for (const auto& object : mScene->getMovableObjects("Entity")) {
        if (object.first.compare(0, prefix.size(), prefix) == 0)
            mine.push_back(static_cast<Ogre::Entity*>(object.second));
    }
    for (Ogre::Entity* entity : mine)
        mScene->destroyEntity(entity);
    mScene->destroySceneNode(models.node);
    models.node = nullptr;
    models.attached = nullptr;
}

void RendererScene::forgetClient(ClientRecord& record)
{
    auto it = mUsers.find(&record);
    if (it == mUsers.end())
        return;
    destroyUserObjects(it->second);
    mUsers.erase(it);
}

void RendererScene::afterChange(const ClientRecord& record, bool removed)
{
    if (!hasOnModelChange())
        return;
    const Shown* shown = removed ? nullptr : shownFor(record);
    tellModelChange(record.name, shown);
}

const RendererScene::Shown* RendererScene::shownFor(const ClientRecord& record) const
{
    auto it = mUsers.find(&record);
    return it == mUsers.end() ? nullptr : &it->second.shown;
}

uint32_t RendererScene::freeSlot() const
{
    std::vector<uint32_t> taken;
    for (const auto& user : mUsers)
        if (user.second.node)
            taken.push_back(user.second.slot);
    return firstFreeSlot(taken);
}

void RendererScene::forEachShownModel(
    const std::function<void(uint64_t serial, const std::string& name, Ogre::Entity& entity)>& visit) const
{
    for (const auto& user : mUsers)
        if (user.second.node && user.second.attached)
            visit(user.second.serial, user.first->name, *user.second.attached);
}

Ogre::SceneNode* RendererScene::nodeOf(const ClientRecord& record) const
{
    auto it = mUsers.find(&record);
    return it == mUsers.end() ? nullptr : it->second.node;
}

} // namespace seafold
