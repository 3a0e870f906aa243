// The spin switches: the user's model turns on its node, and the light swings
// about the origin, each while its check box on the panel is ticked.
#pragma once

namespace CEGUI {
class EventArgs;
}

namespace seafold {

class Seafold;

class SpinControl {
public:
    explicit SpinControl(Seafold& app) : mApp(app) {}
    SpinControl(const SpinControl&) = delete;
    SpinControl& operator=(const SpinControl&) = delete;

    // Subscribes the panel's two check boxes ("ModelSpinCB", "LightSpinCB").
    void attach();

    // Once a frame. With the model spin off the light keeps turning by
    // twice the model's last step.
    void spin(float timeStep);

private:
    bool handleModelSpinChanged(const CEGUI::EventArgs& args);
    bool handleLightSpinChanged(const CEGUI::EventArgs& args);

    Seafold& mApp;
    float mSpinStep = 0; // degrees of the model's last turn
    // Off until the user turns it on: the spin is this user's view only.
    bool mSpinModel = false;
    bool mSpinLight = false;
};

} // namespace seafold
