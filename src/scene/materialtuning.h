// The ocean's material and its tuning rows: which entry of the material
// controls files the ocean shows, and one row (label, value, scrollbar) per
// control of that entry. Moving a row's scrollbar writes the shader constant
// or pass colour it names, in the material itself, so that every entity with
// that material changes at once.
#pragma once

#include "scene/materialcontrols.h"

#include <OgrePrerequisites.h>
#include <OgreSharedPtr.h>

#include <cstdint>
#include <string>
#include <vector>

namespace CEGUI {
class EventArgs;
class Scrollbar;
class Window;
} // namespace CEGUI

namespace seafold {

class WindowEvents;

class MaterialTuning {
public:
    explicit MaterialTuning(WindowEvents& events) : mEvents(events) {}
    MaterialTuning(const MaterialTuning&) = delete;
    MaterialTuning& operator=(const MaterialTuning&) = delete;

    // The entity whose material is chosen, and the scrollbar that scrolls
    // the rows (either may be null). Not owned: they go with the renderer.
    void attachOcean(Ogre::Entity* ocean) { mOcean = ocean; }
    void attachRowsScrollbar(CEGUI::Scrollbar* scrollbar) { mRowsScrollbar = scrollbar; }
    // Reads every controls file of the resources.
    void loadControls();
    // Lets go of the material and the GUI's windows before they go.
    void forget();

    const MaterialControlsList& entries() const { return mEntries; }
    // The entry shown as `displayName`; false when there is none.
    bool findEntry(const std::string& displayName, uint32_t& index) const;

    // Applies entry `index` to the ocean; nothing for an index beyond the list.
    void select(uint32_t index);
    // Shows one row per control of the selected entry, with the current values.
    void rebuildRows();

    // GUI handlers: the rows' scrollbar and each row's own.
    bool handleRowsScroll(const CEGUI::EventArgs& args);
    bool handleValueChanged(const CEGUI::EventArgs& args);

private:
    // One tuning row of the panel.
    struct Row {
        CEGUI::Window* label = nullptr;
        CEGUI::Window* number = nullptr;
        CEGUI::Window* scrollbar = nullptr;
        // The row's control names something that exists in the selected pass
        // (a float constant with that component, or a colour component):
        // moving the scrollbar writes it.
        bool writable = false;
    };

    CEGUI::Window* createRowWindow(const char* type, const std::string& name, int part, uint32_t row);
    void showValue(uint32_t row, float value);
    // The entry's material, its first supported technique's first pass and
    // that pass's programs; false when the material has no such pass.
    bool choosePass(MaterialControls& entry);
    // Row i's windows, made on first need and shown.
    void showRowWindows(uint32_t i, const ShaderParameterControl& control);
    // The control's current value in the chosen pass, and whether the row
    // may write it (the control names something that exists).
    bool readControlValue(ShaderParameterControl& control, const std::string& materialName, float* value);
    // The parameters a program constant's control tunes (null without that
    // program).
    const Ogre::GpuProgramParametersSharedPtr& parametersOf(const ShaderParameterControl& control) const;

    WindowEvents& mEvents;
    Ogre::Entity* mOcean = nullptr;
    CEGUI::Scrollbar* mRowsScrollbar = nullptr;
    MaterialControlsList mEntries;
    uint32_t mIndex = 0;
    Ogre::MaterialPtr mMaterial;
    Ogre::Pass* mPass = nullptr;
    Ogre::GpuProgramPtr mFragmentProgram;
    Ogre::GpuProgramPtr mVertexProgram;
    Ogre::GpuProgramParametersSharedPtr mFragmentParams;
    Ogre::GpuProgramParametersSharedPtr mVertexParams;
    std::vector<Row> mRows;
    bool mRebuilding = false; // rows are being filled: show values, write nothing
};

} // namespace seafold
