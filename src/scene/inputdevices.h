// Keyboard and mouse on the render window: read once a frame, logged, and
// passed to the GUI, whose handlers turn them into motion and choices. A few
// keys mean something before the GUI sees them (Escape, Print Screen, Home,
// End, push-to-talk); the owner decides which.
#pragma once

#include <OgrePrerequisites.h>

#include <cstdint>
#include <memory>

namespace OIS {
class InputManager;
class Keyboard;
class Mouse;
} // namespace OIS

namespace seafold {

class WindowEvents;

// What the owner of the devices decides.
class InputHandler {
public:
    virtual ~InputHandler() = default;
    // A key (the input library's key code) went down. False: the GUI does
    // not see it, and no further input is read this frame.
    virtual bool keyPressed(uint32_t key) = 0;
    virtual void keyReleased(uint32_t key) = 0;
    // A mouse button (the input library's number: 0 left, 1 right, 2
    // middle, 3 and up the side buttons) went down or up, before the GUI
    // hears of it.
    virtual void mouseButton(uint32_t button, bool down)
    {
        (void)button;
        (void)down;
    }
    // True while a mouse button drags the camera or the model: pointer moves
    // then count as motion, not as a new pointer position.
    virtual bool dragging() const = 0;
};

class InputDevices {
public:
    // Opens buffered keyboard and mouse on `window` without grabbing pointer
    // or keyboard, so the desktop stays usable. Input library failures
    // propagate. `handler` and `events` must outlive the devices.
    InputDevices(Ogre::RenderWindow& window, InputHandler& handler, WindowEvents& events);
    ~InputDevices();
    InputDevices(const InputDevices&) = delete;
    InputDevices& operator=(const InputDevices&) = delete;

    // Reads what happened since the last call; the events go out from here.
    void capture();
    // The window's size, the mouse's range.
    void setArea(unsigned width, unsigned height);

private:
    class Listener;

    OIS::InputManager* mInputManager = nullptr;
    OIS::Keyboard* mKeyboard = nullptr;
    OIS::Mouse* mMouse = nullptr;
    std::unique_ptr<Listener> mListener;
};

} // namespace seafold
