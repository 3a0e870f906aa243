#include "scene/inputdevices.h"
#include "scene/controllogic.h"
#include "scene/windowevents.h"

#include <OgreRenderWindow.h>

#include <CEGUI/CEGUI.h>

#include <OISInputManager.h>
#include <OISKeyboard.h>
#include <OISMouse.h>

#include <sstream>
#include <string>

namespace seafold {

namespace {

CEGUI::GUIContext& guiContext()
{
    return CEGUI::System::getSingleton().getDefaultGUIContext();
}

} // namespace

// Hears both devices: logs, asks the handler, passes on to the GUI.
class InputDevices::Listener : public OIS::KeyListener, public OIS::MouseListener {
public:
    Listener(OIS::Keyboard& keyboard, InputHandler& handler, WindowEvents& events)
        : mKeyboard(keyboard), mHandler(handler), mEvents(events)
    {
    }

    bool keyPressed(const OIS::KeyEvent& event) override
    {
        logKey(event, true);
        if (!mHandler.keyPressed(uint32_t(event.key)))
            return false;
        CEGUI::GUIContext& context = guiContext();
        context.injectKeyDown(CEGUI::Key::Scan(event.key));
        context.injectChar(CEGUI::String::value_type(event.text));
        return true;
    }

    bool keyReleased(const OIS::KeyEvent& event) override
    {
        logKey(event, false);
        mHandler.keyReleased(uint32_t(event.key));
        guiContext().injectKeyUp(CEGUI::Key::Scan(event.key));
        return true;
    }

    bool mouseMoved(const OIS::MouseEvent& event) override
    {
        CEGUI::GUIContext& context = guiContext();
        const OIS::MouseState& state = event.state;
        // While a button drags the camera or model the motion counts, and the
        // hidden cursor is held in place; otherwise the GUI's cursor stands
        // where the pointer is.
        if (mHandler.dragging())
            context.injectMouseMove(float(state.X.rel), float(state.Y.rel));
        else
            context.injectMousePosition(float(state.X.abs), float(state.Y.abs));
        if (state.Z.rel != 0)
            context.injectMouseWheelChange(float(state.Z.rel));
        return true;
    }

    bool mousePressed(const OIS::MouseEvent& event, OIS::MouseButtonID id) override
    {
        mEvents.button(int(id), true, event.state.X.abs, event.state.Y.abs);
        mHandler.mouseButton(uint32_t(id), true);
        guiContext().injectMouseButtonDown(CEGUI::MouseButton(guiMouseButton(int(id))));
        if (mEvents.active()) {
            CEGUI::Window* target = guiContext().getWindowContainingMouse();
            mEvents.guiTarget(target ? target->getNamePath().c_str() : nullptr);
        }
        return true;
    }

    bool mouseReleased(const OIS::MouseEvent& event, OIS::MouseButtonID id) override
    {
        mEvents.button(int(id), false, event.state.X.abs, event.state.Y.abs);
        mHandler.mouseButton(uint32_t(id), false);
        guiContext().injectMouseButtonUp(CEGUI::MouseButton(guiMouseButton(int(id))));
        return true;
    }

private:
    void logKey(const OIS::KeyEvent& event, bool down)
    {
        if (mEvents.active())
            mEvents.key(mKeyboard.getAsString(event.key), down);
    }

    OIS::Keyboard& mKeyboard;
    InputHandler& mHandler;
    WindowEvents& mEvents;
};

InputDevices::InputDevices(Ogre::RenderWindow& window, InputHandler& handler, WindowEvents& events)
{
    // The input system on the render window. Pointer and keyboard are
    // not grabbed and the pointer stays visible, so the rest of the desktop
    // keeps working while the program runs.
    unsigned long handle = 0;
    window.getCustomAttribute("WINDOW", &handle);
    std::ostringstream handleText;
    handleText << handle;
    OIS::ParamList params;
    params.insert(std::make_pair(std::string("WINDOW"), handleText.str()));
    params.insert(std::make_pair(std::string("x11_mouse_grab"), std::string("false")));
    params.insert(std::make_pair(std::string("x11_keyboard_grab"), std::string("false")));
    params.insert(std::make_pair(std::string("x11_mouse_hide"), std::string("false")));
    mInputManager = OIS::InputManager::createInputSystem(params);

    // Buffered keyboard and mouse.
    mKeyboard = static_cast<OIS::Keyboard*>(mInputManager->createInputObject(OIS::OISKeyboard, true));
    mMouse = static_cast<OIS::Mouse*>(mInputManager->createInputObject(OIS::OISMouse, true));

    // The mouse's range is the window. The input library puts the pointer
    // at (6, 6) as it starts; its absolute position follows from there.
    const OIS::MouseState& state = mMouse->getMouseState();
    const_cast<OIS::MouseState&>(state).X.abs = 6;
    const_cast<OIS::MouseState&>(state).Y.abs = 6;
    setArea(window.getWidth(), window.getHeight());

    mListener.reset(new Listener(*mKeyboard, handler, events));
    mMouse->setEventCallback(mListener.get());
    mKeyboard->setEventCallback(mListener.get());
}

InputDevices::~InputDevices()
{
    if (mInputManager) {
        if (mMouse)
            mInputManager->destroyInputObject(mMouse);
        if (mKeyboard)
            mInputManager->destroyInputObject(mKeyboard);
        OIS::InputManager::destroyInputSystem(mInputManager);
    }
}

void InputDevices::capture()
{
    mMouse->capture();
    mKeyboard->capture();
}

void InputDevices::setArea(unsigned width, unsigned height)
{
    const OIS::MouseState& state = mMouse->getMouseState();
    state.width = int(width);
    state.height = int(height);
}

} // namespace seafold
