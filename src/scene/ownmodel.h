// The user's own model: the node it stands on, the mesh shown there, and the
// moves that everyone else is told of. Moves go to the session port as
// deltas (what the others apply), turns as the heading they leave; the spin
// stays local.
#pragma once

#include <OgrePrerequisites.h>

#include <string>

namespace seafold {

class SessionPort;
class WindowEvents;

class OwnModel {
public:
    OwnModel(SessionPort*& port, WindowEvents& events) : mPort(port), mEvents(events) {}
    OwnModel(const OwnModel&) = delete;
    OwnModel& operator=(const OwnModel&) = delete;

    // Creates the (empty) node at the origin of `scene`.
    void create(Ogre::SceneManager& scene);
    // The renderer is going: node and entity go with its scene.
    void forget();

    // Null before create().
    Ogre::SceneNode* node() const { return mNode; }
    // The mesh shown; empty while none is.
    const std::string& meshName() const { return mMeshName; }

    // Shows mesh `meshName` on the node (replacing the model there) and
    // tells the session. False when it cannot be shown: the user then has
    // no model.
    bool select(const std::string& meshName);
    // Shows `meshName` without telling anyone (a measurement hook).
    void showUnannounced(const std::string& meshName);

    // Turns the model and moves it in the world; the move and the new
    // heading go out.
    void turnAndMove(float yawDegrees, const Ogre::Vector3& translate);
    // The spin: a local turn nobody else sees.
    void spin(float degrees);
    // Moves the model in front of `camera` (see modelReturnTarget); the move
    // goes out, so that everyone sees it move there.
    void bringIntoView(const Ogre::Camera& camera);

private:
    void report() const;

    SessionPort*& mPort; // the application's current port
    WindowEvents& mEvents;
    Ogre::SceneManager* mScene = nullptr;
    Ogre::SceneNode* mNode = nullptr;
    Ogre::Entity* mEntity = nullptr;
    std::string mMeshName;      // the mesh of mEntity; empty while none
    double mHeadingDegrees = 0; // the user's turns, without the spin
};

} // namespace seafold
