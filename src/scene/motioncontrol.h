// Camera and model motion from the GUI's events on the panel's "root" window
// (the view behind the panels): mouse drags, the wheel and the direction
// keys are collected between frames and applied once a frame, to the camera
// or, in model mode, to the user's own model.
#pragma once

#include "scene/controllogic.h"

#include <CEGUI/Vector.h>

namespace CEGUI {
class EventArgs;
class Window;
} // namespace CEGUI

namespace seafold {

class Seafold;

class MotionControl {
public:
    explicit MotionControl(Seafold& app) : mApp(app) {}
    MotionControl(const MotionControl&) = delete;
    MotionControl& operator=(const MotionControl&) = delete;

    // Subscribes the handlers below on `root` (null: no motion from the GUI).
    void attach(CEGUI::Window* root);

    // The frame step that scales motion (see timeStepFromAverageFps).
    void setTimeStep(float timeStep) { mTimeStep = timeStep; }

    // True while a mouse button drags the camera or model.
    bool dragging() const { return mLeftDown || mRightDown; }

    // Once a frame: applies what was collected since the last one.
    void apply();
    // While suspended (a chat line is open) keys move nothing; keys held
    // when it begins count as released.
    void suspendKeys(bool suspended);

private:
    bool handleMouseMove(const CEGUI::EventArgs& args);
    bool handleMouseButtonUp(const CEGUI::EventArgs& args);
    bool handleMouseButtonDown(const CEGUI::EventArgs& args);
    bool handleMouseWheel(const CEGUI::EventArgs& args);
    bool handleKeyDown(const CEGUI::EventArgs& args);
    bool handleKeyUp(const CEGUI::EventArgs& args);
    bool handleDirectionKey(const CEGUI::EventArgs& args, bool down);
    bool handleFollowChanged(const CEGUI::EventArgs& args);
    // World units per pixel of a model drag at the own model's distance.
    float modelUnitsPerPixel() const;

    Seafold& mApp;
    CEGUI::Window* mRoot = nullptr;
    PendingMotion mMotion;
    DirectionKeys mKeys;
    bool mKeysSuspended = false;
    float mTimeStep = MaxTimeStepSeconds;
    bool mLeftDown = false;
    bool mRightDown = false;
    CEGUI::Vector2f mSavedCursorPos;
    bool mCursorSaved = false;
    // "Follow my model": the camera moves with the own model once there is
    // one (on unless the user turns it off).
    bool mFollowModel = true;
};

} // namespace seafold
