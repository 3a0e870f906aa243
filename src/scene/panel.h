// The GUI panel's wiring: the model and material lists, the mouse mode
// buttons, the tuning rows' scrollbar and the exit button, each subscribed to
// the handler that acts on the choice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace CEGUI {
class EventArgs;
}

namespace seafold {

class MaterialTuning;
class Seafold;

class Panel {
public:
    // What the mouse drags in the view.
    enum MouseMode : uint32_t { MovesCamera = 0, MovesModel = 1 };

    Panel(Seafold& app, MaterialTuning& tuning) : mApp(app), mTuning(tuning) {}
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    // Subscribes the panel's handlers.
    void wire();
    // Fills the material and model lists and selects the first material.
    void fillLists();
    // Selects material entry `index` in the material list and applies it.
    void selectMaterial(uint32_t index);

    // "Your model" shows `meshName` (empty: none) as the model in use.
    void showOwnModel(const std::string& meshName);

    uint32_t mouseMode() const { return mMouseMode; }

private:
    bool handleExit(const CEGUI::EventArgs& args);
    bool handleModelSelected(const CEGUI::EventArgs& args);
    bool handleMaterialSelected(const CEGUI::EventArgs& args);
    bool handleMouseModeChanged(const CEGUI::EventArgs& args);

    Seafold& mApp;
    MaterialTuning& mTuning;
    uint32_t mMouseMode = MovesCamera;
    // The mesh files of "Your model", in the list's order (the items show
    // their names).
    std::vector<std::string> mModelFiles;
};

} // namespace seafold
