// Finding the panel's windows by name, and the window a GUI event came from.
#pragma once

namespace CEGUI {
class EventArgs;
class Window;
} // namespace CEGUI

namespace seafold {

// The window `name` under the GUI's root; null, with a line in the renderer's
// log, when the layout has none (an edited layout must not end the program).
CEGUI::Window* panelWindow(const char* name);

// The window of a window event.
CEGUI::Window* eventWindow(const CEGUI::EventArgs& args);

} // namespace seafold
