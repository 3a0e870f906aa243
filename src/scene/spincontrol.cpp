#include "scene/spincontrol.h"
#include "scene/guiwindows.h"
#include "scene/seafold.h"

#include <CEGUI/CEGUI.h>

namespace seafold {

void SpinControl::attach()
{
    using CEGUI::Event;
    if (CEGUI::Window* box = panelWindow("ModelSpinCB"))
        box->subscribeEvent(CEGUI::ToggleButton::EventSelectStateChanged,
                            Event::Subscriber(&SpinControl::handleModelSpinChanged, this));
    if (CEGUI::Window* box = panelWindow("LightSpinCB"))
        box->subscribeEvent(CEGUI::ToggleButton::EventSelectStateChanged,
                            Event::Subscriber(&SpinControl::handleLightSpinChanged, this));
}

void SpinControl::spin(float timeStep)
{
    if (mSpinModel) {
        mSpinStep = 20.0f * timeStep;
        mApp.ownModel().spin(mSpinStep);
    }
    if (mSpinLight)
        mApp.turnLight(2.0f * mSpinStep);
}

bool SpinControl::handleModelSpinChanged(const CEGUI::EventArgs& args)
{
    mSpinModel = static_cast<CEGUI::ToggleButton*>(eventWindow(args))->isSelected();
    return true;
}

bool SpinControl::handleLightSpinChanged(const CEGUI::EventArgs& args)
{
    mSpinLight = static_cast<CEGUI::ToggleButton*>(eventWindow(args))->isSelected();
    return true;
}

} // namespace seafold
