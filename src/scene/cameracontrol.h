// The user's camera: where it starts, how far it may pitch, and the turns
// and moves the mouse and keys make. It hangs on a node of its own, which
// moves and turns it; the camera itself stays at that node's origin.
#pragma once

#include <OgrePrerequisites.h>

namespace seafold {

class WindowEvents;

class CameraControl {
public:
    explicit CameraControl(WindowEvents& events) : mEvents(events) {}
    CameraControl(const CameraControl&) = delete;
    CameraControl& operator=(const CameraControl&) = delete;

    // Creates the camera in `scene` and its viewport covering `window`.
    void create(Ogre::SceneManager& scene, Ogre::RenderWindow& window);
    // The renderer is going: the camera goes with its scene.
    void forget();

    // Null before create().
    Ogre::Camera* camera() const { return mCamera; }

    // Puts the camera where it starts, looking at the origin.
    void reset();
    // Turns the camera towards `target`, within the pitch limits.
    void lookAt(const Ogre::Vector3& target);
    // The camera's pitch in degrees up from level.
    float pitchDegrees() const;
    // Pitches the camera by `degrees` (up is positive) as far as the limits allow.
    void pitch(float degrees);
    // Turns about the world's vertical by `yawDegrees`, pitches about the
    // camera's own horizontal (never over the top) and moves along the
    // camera's own axes.
    void turnAndMove(float yawDegrees, float pitchDegrees, const Ogre::Vector3& translate);
    // Moves the camera by `worldDelta` in the world, as far as the scene's
    // bounds allow (following the own model).
    void moveBy(const Ogre::Vector3& worldDelta);
    // How far what the camera looks at is: the own model at `model` (null:
    // none), the water, or a default (see focusDistance in controllogic).
    float focusDistance(const Ogre::Vector3* model) const;
    // The viewport's shape changed: the picture keeps its proportions.
    void fitAspectRatio();
    // World units per pixel at the distance of `point`.
    float unitsPerPixelAt(const Ogre::Vector3& point) const;

    // Event log line of the camera's place and pitch, after `why`.
    void report(const char* why) const;

private:
    // Every move ends above the water and within the scene.
    void keepInScene();

    WindowEvents& mEvents;
    Ogre::Camera* mCamera = nullptr;
    Ogre::SceneNode* mNode = nullptr;
};

} // namespace seafold
