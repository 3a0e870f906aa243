// Other users' models in the renderer's scene: one node per user, and one
// entity per user and mesh, so that any number of users (the local one too)
// can show the same mesh at once.
//
// A user's node starts at a free place on a ring around the origin (see
// ringSlotPosition), so that two users' models never start inside each
// other. That start is this scene's own presentation: the node then moves by
// exactly the deltas the session applies, and what is reported as shown
// (Shown, the event log) is the session's position, without the start.
//
// A node is not moved as each state arrives, though: a few states a second
// arrive while the window draws many frames, so each user's node is drawn
// through a MotionPlayout, a little in the past, gliding between the states
// received (present, once a frame). The state itself stays the exact sum.
#pragma once

#include <functional>
#include <map>
#include <string>

#include <OgrePrerequisites.h>

#include "session/motionplayout.h"
#include "session/roster.h"

namespace seafold {

// The entity that shows `meshName` for the user behind roster record number
// `serial` (a name alone could repeat) called `userName`.
std::string remoteModelEntityName(const std::string& userName, uint64_t serial, const std::string& meshName);
// The local user's own entity for `meshName`.
std::string ownModelEntityName(const std::string& meshName);

// Returns the entity `entityName` of `meshName`, creating it (and loading the
// mesh) on first use. Null, with the reason logged, when the mesh cannot be
// loaded.
Ogre::Entity* findOrCreateModelEntity(Ogre::SceneManager& scene, const std::string& entityName,
                                      const std::string& meshName);

// Shows `entity` in a flat grey (`lost`) or in its mesh's own materials.
void paintLost(Ogre::Entity& entity, bool lost);

class RendererScene : public ClientScene {
public:
    // The shown mesh is empty when none is (or it could not be loaded).
    using Shown = ShownModel;

    // The scene to work in; null before set-up and after the renderer went
    // away (then every operation only keeps the roster's numbers).
    void setSceneManager(Ogre::SceneManager* scene);

    void attachModel(ClientRecord& record) override;
    void detachModel(ClientRecord& record) override;
    void translateNode(ClientRecord& record, float dx, float dy, float dz) override;
    void orientNode(ClientRecord& record) override;
    void forgetClient(ClientRecord& record) override;
    void afterChange(const ClientRecord& record, bool removed) override;

    // Draws every user's model greyed while `lost` (what a client shows of
    // the others is stale: its server is silent or gone), else in its own
    // materials; models attached meanwhile follow.
    void showLost(bool lost);
    bool showsLost() const { return mLost; }

    // What the scene shows for a record (null: nothing kept for it).
    const Shown* shownFor(const ClientRecord& record) const;
    Ogre::SceneNode* nodeOf(const ClientRecord& record) const;

    // Once a frame, before it is drawn: places every user's node where its
    // playout draws it at `nowMs` (a clock that only moves forward).
    // `sendIntervalMs` gives the send interval of the connection a user's
    // states arrive on, which bounds the playout delay.
    void present(double nowMs, const std::function<double(const ClientRecord&)>& sendIntervalMs);

    // Every user's model as last presented: the name, the position drawn
    // (the session's coordinates, without the node's start) and the heading.
    void forEachPresented(
        const std::function<void(const std::string& name, const Vector3& position, double yawDegrees)>& visit) const;

    // Every user whose model is shown: a number that stays the user's while
    // they are in the roster, their name and the entity shown.
    void forEachShownModel(
        const std::function<void(uint64_t serial, const std::string& name, Ogre::Entity& entity)>& visit) const;

private:
    struct UserModels {
        uint64_t serial = 0;
        uint32_t slot = 0; // the place on the rings where the node started
        Ogre::SceneNode* node = nullptr;
        Ogre::Entity* attached = nullptr;
        Shown shown;
        MotionPlayout playout;
        Pose presented; // as last drawn
    };
    UserModels& modelsOf(ClientRecord& record);
    void destroyUserObjects(UserModels& models);
    // The lowest ring slot no other user's node stands on.
    uint32_t freeSlot() const;
    // The clock the playouts are stamped with (ms): the high-precision
    // timer's, as present is given.
    static double now();
    static void placeNode(UserModels& models, const Pose& pose);

    Ogre::SceneManager* mScene = nullptr;
    std::map<const ClientRecord*, UserModels> mUsers;
    bool mLost = false;
    uint64_t mNextSerial = 1;
};

// The renderer's scene for the process's roster.
extern RendererScene gRendererScene;

} // namespace seafold
