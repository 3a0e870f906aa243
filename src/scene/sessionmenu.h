// The menu Escape opens over a running session: Resume, Settings, Leave
// session, Quit. It only shows itself and hands over what the user chose;
// what leaving or quitting means is the program's business (the window
// started from the menu goes back to its start window, a session started
// from the command line ends with the program).
#pragma once

#include <functional>

namespace CEGUI {
class Window;
} // namespace CEGUI

namespace seafold {

class WindowEvents;

class SessionMenu {
public:
    enum class Action { None, Leave, Quit };

    // Builds the menu (hidden) under the GUI's root window; without one,
    // every call below does nothing.
    void create(CEGUI::Window* root, WindowEvents& events);

    void show(bool shown);
    bool shown() const { return mShown; }

    // What "Settings" opens (the audio devices and keys); empty: the
    // button says there are none to change yet.
    void setSettingsOpener(std::function<void()> open) { mOpenSettings = std::move(open); }

    // What the user chose since the last call.
    Action takeAction();
    // The keys of an open menu: Escape resumes, L leaves, Q quits.
    void pressKey(char key);

private:
    void choose(Action action);

    WindowEvents* mEvents = nullptr;
    CEGUI::Window* mFrame = nullptr;
    CEGUI::Window* mNote = nullptr;
    std::function<void()> mOpenSettings;
    bool mShown = false;
    Action mAction = Action::None;
};

} // namespace seafold
