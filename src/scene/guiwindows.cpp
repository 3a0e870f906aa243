#include "scene/guiwindows.h"
#include "scene/materialcontrols.h"

#include <CEGUI/CEGUI.h>

#include <string>

namespace seafold {

CEGUI::Window* panelWindow(const char* name)
{
    CEGUI::Window* root = CEGUI::System::getSingleton().getDefaultGUIContext().getRootWindow();
    CEGUI::Window* window = root ? root->getChildRecursive(name) : nullptr;
    if (!window)
        logSceneMessage(std::string("The panel has no window \"") + name + "\"");
    return window;
}

CEGUI::Window* eventWindow(const CEGUI::EventArgs& args)
{
    return static_cast<const CEGUI::WindowEventArgs&>(args).window;
}

} // namespace seafold
