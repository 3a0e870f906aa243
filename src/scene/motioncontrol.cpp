#include "scene/motioncontrol.h"
#include "scene/seafold.h"

#include <OgreCamera.h>
#include <OgreSceneNode.h>

#include <CEGUI/CEGUI.h>

namespace seafold {

namespace {

CEGUI::MouseCursor& guiCursor()
{
    return CEGUI::System::getSingleton().getDefaultGUIContext().getMouseCursor();
}

} // namespace

void MotionControl::attach(CEGUI::Window* root)
{
    mRoot = root;
    if (!root)
        return;
    using CEGUI::Event;
    using M = MotionControl;
    using W = CEGUI::Window;
    root->subscribeEvent(W::EventMouseMove, Event::Subscriber(&M::handleMouseMove, this));
    root->subscribeEvent(W::EventMouseButtonUp, Event::Subscriber(&M::handleMouseButtonUp, this));
    root->subscribeEvent(W::EventMouseButtonDown, Event::Subscriber(&M::handleMouseButtonDown, this));
    root->subscribeEvent(W::EventMouseWheel, Event::Subscriber(&M::handleMouseWheel, this));
    root->subscribeEvent(W::EventKeyDown, Event::Subscriber(&M::handleKeyDown, this));
    root->subscribeEvent(W::EventKeyUp, Event::Subscriber(&M::handleKeyUp, this));
    if (auto* follow = dynamic_cast<CEGUI::ToggleButton*>(root->getChildRecursive("FollowModelCB"))) {
        mFollowModel = follow->isSelected();
        follow->subscribeEvent(CEGUI::ToggleButton::EventSelectStateChanged,
                               Event::Subscriber(&M::handleFollowChanged, this));
    }
}

bool MotionControl::handleFollowChanged(const CEGUI::EventArgs& args)
{
    const auto& window = static_cast<const CEGUI::WindowEventArgs&>(args);
    mFollowModel = static_cast<CEGUI::ToggleButton*>(window.window)->isSelected();
    return true;
}

void MotionControl::apply()
{
    if (!mKeys.any() && !mMotion.mouseMoved)
        return;
    PendingMotion keyed;
    addKeyMotion(mKeys, mTimeStep, keyed);
    switch (mApp.mouseMode()) {
    case Panel::MovesCamera: {
        // The camera moves along its own axes.
        Ogre::Vector3 translate(mMotion.translate.x + keyed.translate.x, mMotion.translate.y + keyed.translate.y,
                                mMotion.translate.z + keyed.translate.z);
        mApp.cameraControl().turnAndMove(mMotion.rotX, mMotion.rotY, translate);
        break;
    }
    case Panel::MovesModel: {
        // The keys move the model the way the camera looks, over the water;
        // the turn and the move go to the server.
        Motion3 keys = keyed.translate;
        if (Ogre::Camera* camera = mApp.camera()) {
            const Ogre::Vector3 view = camera->getDerivedDirection();
            keys = keyMotionOnSea(keys, {view.x, view.y, view.z});
        }
        Ogre::Vector3 translate(mMotion.translate.x + keys.x, mMotion.translate.y + keys.y,
                                mMotion.translate.z + keys.z);
        mApp.ownModel().turnAndMove(mMotion.rotX, translate);
        // The camera keeps its place relative to the model, so the model
        // stays in view wherever the user takes it.
        if (mFollowModel && !mApp.ownModel().meshName().empty())
            mApp.cameraControl().moveBy(translate);
        break;
    }
    default:
        break;
    }
    // The keys' flags stay as the keys left them.
    mMotion = PendingMotion();
}

bool MotionControl::handleMouseButtonDown(const CEGUI::EventArgs& args)
{
    const auto& mouse = static_cast<const CEGUI::MouseEventArgs&>(args);
    if (mouse.button == CEGUI::LeftButton)
        mLeftDown = true;
    else if (mouse.button == CEGUI::RightButton)
        mRightDown = true;
    if (!mLeftDown && !mRightDown)
        return true;
    CEGUI::MouseCursor& cursor = guiCursor();
    cursor.hide();
    if (!mCursorSaved) {
        mSavedCursorPos = cursor.getPosition();
        mCursorSaved = true;
    }
    if (mRoot)
        mRoot->captureInput();
    return true;
}

bool MotionControl::handleMouseButtonUp(const CEGUI::EventArgs& args)
{
    const auto& mouse = static_cast<const CEGUI::MouseEventArgs&>(args);
    if (mouse.button == CEGUI::LeftButton)
        mLeftDown = false;
    else if (mouse.button == CEGUI::RightButton)
        mRightDown = false;
    if (mLeftDown || mRightDown)
        return true;
    if (mCursorSaved && mApp.mouseMode() == Panel::MovesCamera)
        mApp.cameraControl().report("drag");
    CEGUI::MouseCursor& cursor = guiCursor();
    cursor.show();
    if (mCursorSaved) {
        cursor.setPosition(mSavedCursorPos);
        mCursorSaved = false;
    }
    if (mRoot)
        mRoot->releaseInput();
    return true;
}

bool MotionControl::handleMouseMove(const CEGUI::EventArgs& args)
{
    const auto& mouse = static_cast<const CEGUI::MouseEventArgs&>(args);
    float dx = mouse.moveDelta.d_x, dy = mouse.moveDelta.d_y;
    bool dragging = mApp.mouseMode() == Panel::MovesModel
                        ? addModelDragMotion(mLeftDown, mRightDown, dx, dy, mTimeStep, modelUnitsPerPixel(), mMotion)
                        : addDragMotion(mLeftDown, mRightDown, dx, dy, mTimeStep, mMotion);
    if (!dragging)
        return true;
    guiCursor().setPosition(mSavedCursorPos);
    return true;
}

float MotionControl::modelUnitsPerPixel() const
{
    Ogre::SceneNode* model = mApp.ownModel().node();
    if (!model)
        return 0;
    return mApp.cameraControl().unitsPerPixelAt(model->_getDerivedPosition());
}

bool MotionControl::handleMouseWheel(const CEGUI::EventArgs& args)
{
    const auto& mouse = static_cast<const CEGUI::MouseEventArgs&>(args);
    // The step follows the distance to what the camera looks at: the own
    // model when it has one.
    Ogre::SceneNode* model = mApp.ownModel().meshName().empty() ? nullptr : mApp.ownModel().node();
    Ogre::Vector3 at;
    if (model)
        at = model->_getDerivedPosition();
    addWheelMotion(mouse.wheelChange, mApp.cameraControl().focusDistance(model ? &at : nullptr), mMotion);
    return true;
}

void MotionControl::suspendKeys(bool suspended)
{
    mKeysSuspended = suspended;
    if (suspended)
        mKeys = DirectionKeys();
}

bool MotionControl::handleDirectionKey(const CEGUI::EventArgs& args, bool down)
{
    if (mKeysSuspended)
        return false;
    const auto& key = static_cast<const CEGUI::KeyEventArgs&>(args);
    const bool moving = mKeys.any();
    const KeyBindings& bound = mApp.keyBindings();
    DirectionCodes codes;
    codes.forward = bound.code(KeyAction::Forward);
    codes.backward = bound.code(KeyAction::Back);
    codes.leftward = bound.code(KeyAction::Left);
    codes.rightward = bound.code(KeyAction::Right);
    applyDirectionKey(uint32_t(key.scancode), down, mKeys, codes);
    // Where the keys left the camera, once they are all up.
    if (moving && !mKeys.any() && mApp.mouseMode() == Panel::MovesCamera)
        mApp.cameraControl().report("keys");
    return true;
}

bool MotionControl::handleKeyDown(const CEGUI::EventArgs& args)
{
    return handleDirectionKey(args, true);
}

bool MotionControl::handleKeyUp(const CEGUI::EventArgs& args)
{
    return handleDirectionKey(args, false);
}

} // namespace seafold
