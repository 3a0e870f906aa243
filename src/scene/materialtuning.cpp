#include "scene/materialtuning.h"
#include "scene/controllogic.h"
#include "scene/guiwindows.h"
#include "scene/windowevents.h"

#include <OgreEntity.h>
#include <OgreGpuProgramParams.h>
#include <OgreMaterialManager.h>
#include <OgrePass.h>
#include <OgreTechnique.h>

#include <CEGUI/CEGUI.h>

namespace seafold {

namespace {

void placeRowWindow(CEGUI::Window* window, RowPart part, uint32_t row, float scroll)
{
    if (!window)
        return;
    RowRect r = rowRect(part, row, scroll);
    window->setPosition(CEGUI::UVector2(CEGUI::UDim(r.x, 0), CEGUI::UDim(r.y, 0)));
}

// The pass colour that a control of this type tunes.
Ogre::ColourValue passColour(const Ogre::Pass& pass, ControlType type)
{
    switch (type) {
    case PassSpecular:
        return pass.getSpecular();
    case PassDiffuse:
        return pass.getDiffuse();
    default:
        return pass.getAmbient();
    }
}

void setPassColour(Ogre::Pass& pass, ControlType type, const Ogre::ColourValue& colour)
{
    switch (type) {
    case PassSpecular:
        pass.setSpecular(colour);
        break;
    case PassDiffuse:
        pass.setDiffuse(colour);
        break;
    default:
        pass.setAmbient(colour);
        break;
    }
}

} // namespace

void MaterialTuning::loadControls()
{
    loadAllMaterialControls(mEntries);
}

void MaterialTuning::forget()
{
    mFragmentProgram.reset();
    mFragmentParams.reset();
    mVertexProgram.reset();
    mVertexParams.reset();
    mMaterial.reset();
    mPass = nullptr;
    mOcean = nullptr;
    mRowsScrollbar = nullptr;
    mRows.clear();
}

bool MaterialTuning::findEntry(const std::string& displayName, uint32_t& index) const
{
    for (uint32_t i = 0; i < mEntries.size(); ++i) {
        if (mEntries[i].getDisplayName() == displayName) {
            index = i;
            return true;
        }
    }
    return false;
}

void MaterialTuning::select(uint32_t index)
{
    if (index >= mEntries.size())
        return;
    mIndex = index;
    if (mOcean)
        mOcean->setMaterialName(mEntries[index].getMaterialName());
}

bool MaterialTuning::handleRowsScroll(const CEGUI::EventArgs&)
{
    if (!mRowsScrollbar)
        return true;
    float scroll = mRowsScrollbar->getScrollPosition();
    for (uint32_t i = 0; i < mRows.size(); ++i) {
        placeRowWindow(mRows[i].label, RowPart::Label, i, scroll);
        placeRowWindow(mRows[i].number, RowPart::Value, i, scroll);
        placeRowWindow(mRows[i].scrollbar, RowPart::Scrollbar, i, scroll);
    }
    return true;
}

CEGUI::Window* MaterialTuning::createRowWindow(const char* type, const std::string& name, int part, uint32_t row)
{
    CEGUI::Window* window = CEGUI::WindowManager::getSingleton().createWindow(type, name.c_str());
    RowRect r = rowRect(RowPart(part), row);
    window->setPosition(CEGUI::UVector2(CEGUI::UDim(r.x, 0), CEGUI::UDim(r.y, 0)));
    CEGUI::USize size(CEGUI::UDim(r.width, 0), CEGUI::UDim(r.height, 0));
    window->setMinSize(size);
    window->setMaxSize(size);
    window->setSize(size);
    window->setInheritsAlpha(false);
    if (RowPart(part) != RowPart::Scrollbar) {
        window->setProperty("VertFormatting", "TopAligned");
        // Sizes fixed by equal minimum and maximum sizes are measured
        // against the display, not the panel: a right-aligned label would run
        // into the value beside it.
        window->setProperty("HorzFormatting", "LeftAligned");
        window->setProperty("FrameEnabled", "false");
        window->setProperty("BackgroundEnabled", "false");
    }
    if (CEGUI::Window* parent = panelWindow("ShaderControlsWin"))
        parent->addChild(window);
    return window;
}

bool MaterialTuning::choosePass(MaterialControls& entry)
{
    mMaterial = Ogre::MaterialManager::getSingleton().getByName(entry.getMaterialName());
    if (!mMaterial)
        return false;
    // Techniques are sorted into supported ones when the material loads.
    mMaterial->load();
    const Ogre::Material::Techniques& supported = mMaterial->getSupportedTechniques();
    if (supported.empty())
        return false;
    Ogre::Technique* technique = supported[0];
    if (!technique || technique->getNumPasses() == 0)
        return false;
    mPass = technique->getPass(0);

    // The pass's programs. A pass without one leaves none: an earlier
    // material's parameters must not be tuned through this one's rows.
    mFragmentProgram.reset();
    mFragmentParams.reset();
    mVertexProgram.reset();
    mVertexParams.reset();
    if (mPass->hasFragmentProgram()) {
        mFragmentProgram = mPass->getFragmentProgram();
        mFragmentParams = mPass->getFragmentProgramParameters();
    }
    if (mPass->hasVertexProgram()) {
        mVertexProgram = mPass->getVertexProgram();
        mVertexParams = mPass->getVertexProgramParameters();
    }
    return true;
}

void MaterialTuning::showRowWindows(uint32_t i, const ShaderParameterControl& control)
{
    Row& row = mRows[i];
    std::string index = std::to_string(i);
    if (!row.label)
        row.label = createRowWindow("TaharezLook/StaticText", "UniformTxt" + index, int(RowPart::Label), i);
    row.label->setText(control.mName.c_str());
    row.label->show();
    if (!row.number)
        row.number = createRowWindow("TaharezLook/StaticText", "UniformNumTxt" + index, int(RowPart::Value), i);
    row.number->show();
    if (!row.scrollbar) {
        row.scrollbar =
            createRowWindow("TaharezLook/HorizontalScrollbar", "UniformSB" + index, int(RowPart::Scrollbar), i);
        row.scrollbar->setID(i);
        auto* bar = static_cast<CEGUI::Scrollbar*>(row.scrollbar);
        bar->setOverlapSize(0);
        bar->subscribeEvent(CEGUI::Scrollbar::EventScrollPositionChanged,
                            CEGUI::Event::Subscriber(&MaterialTuning::handleValueChanged, this));
    }
    auto* bar = static_cast<CEGUI::Scrollbar*>(row.scrollbar);
    bar->setDocumentSize(controlDocumentSize(control.mMin, control.mMax));
    bar->setPageSize(0);
    bar->setStepSize(controlStepSize(control.mMin, control.mMax));
}

const Ogre::GpuProgramParametersSharedPtr& MaterialTuning::parametersOf(const ShaderParameterControl& control) const
{
    return control.mType == VertexProgramConstant ? mVertexParams : mFragmentParams;
}

bool MaterialTuning::readControlValue(ShaderParameterControl& control, const std::string& materialName, float* value)
{
    switch (control.mType) {
    case VertexProgramConstant:
    case FragmentProgramConstant: {
        const Ogre::GpuProgramParametersSharedPtr& params = parametersOf(control);
        if (!params)
            return false;
        // A constant the program does not have (a typo, or one the shader
        // compiler dropped as unused) only disables its row.
        const Ogre::GpuConstantDefinition* def = params->_findNamedConstantDefinition(control.mParameterName, false);
        if (!def || !def->isFloat() ||
            !constantComponentValid(control.mElementIndex, def->elementSize, def->arraySize)) {
            logSceneMessage("Material controls: \"" + control.mName + "\" names no float constant \"" +
                            control.mParameterName + "\" component " + std::to_string(control.mElementIndex) +
                            " in " + materialName);
            return false;
        }
        control.mPhysicalIndex = uint32_t(def->physicalIndex);
        *value = params->getFloatPointer(def->physicalIndex)[control.mElementIndex];
        return true;
    }
    case PassSpecular:
    case PassDiffuse:
    case PassAmbient:
        if (!colourComponentValid(control.mElementIndex))
            return false;
        *value = passColour(*mPass, control.mType)[size_t(control.mElementIndex)];
        return true;
    case PassShininess:
        *value = mPass->getShininess();
        return true;
    }
    return false;
}

void MaterialTuning::rebuildRows()
{
    // The selected entry's material, its first supported technique and
    // that technique's first pass.
    if (mEntries.empty() || mIndex >= mEntries.size())
        return;
    MaterialControls& entry = mEntries[mIndex];
    if (!choosePass(entry))
        return;

    // The rows' own scrollbar.
    uint32_t count = uint32_t(entry.getShaderControlCount());
    if (mRowsScrollbar) {
        mRowsScrollbar->setDocumentSize(rowsDocumentSize(count));
        mRowsScrollbar->setScrollPosition(0);
    }

    // One row per control, created on first need.
    mRebuilding = true;
    if (mRows.size() < count)
        mRows.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        ShaderParameterControl& control = entry.getShaderControl(i);
        showRowWindows(i, control);
        Row& row = mRows[i];
        // The current value, where the control names something that exists.
        float value = 0;
        row.writable = readControlValue(control, entry.getMaterialName(), &value);
        if (row.writable)
            static_cast<CEGUI::Scrollbar*>(row.scrollbar)->setScrollPosition(controlScrollPositionOf(value, control.mMin));
        showValue(i, value);
        row.scrollbar->show();
    }
    mRebuilding = false;

    // Rows beyond this material's controls are hidden.
    for (uint32_t i = count; i < mRows.size(); ++i) {
        Row& row = mRows[i];
        for (CEGUI::Window* window : {row.label, row.number, row.scrollbar})
            if (window)
                window->hide();
    }
}

void MaterialTuning::showValue(uint32_t row, float value)
{
    if (row < mRows.size() && mRows[row].number)
        mRows[row].number->setText(formatControlValue(value).c_str());
}

bool MaterialTuning::handleValueChanged(const CEGUI::EventArgs& args)
{
    auto* bar = static_cast<CEGUI::Scrollbar*>(eventWindow(args));
    if (!bar || mIndex >= mEntries.size())
        return true;
    uint32_t i = uint32_t(bar->getID());
    MaterialControls& entry = mEntries[mIndex];
    if (i >= entry.getShaderControlCount() || i >= mRows.size())
        return true;
    const ShaderParameterControl& control = entry.getShaderControl(i);
    float value = controlValueAt(bar->getScrollPosition(), control.mMin);
    showValue(i, value);
    if (!mPass || mRebuilding || !mRows[i].writable)
        return true;

    float written = value;
    switch (control.mType) {
    case VertexProgramConstant:
    case FragmentProgramConstant: {
        const Ogre::GpuProgramParametersSharedPtr& params = parametersOf(control);
        if (!params)
            return true;
        params->_writeRawConstant(control.mPhysicalIndex + size_t(control.mElementIndex), value);
        written = params->getFloatPointer(control.mPhysicalIndex)[control.mElementIndex];
        break;
    }
    case PassSpecular:
    case PassDiffuse:
    case PassAmbient: {
        Ogre::ColourValue colour = passColour(*mPass, control.mType);
        colour[size_t(control.mElementIndex)] = value;
        setPassColour(*mPass, control.mType, colour);
        written = passColour(*mPass, control.mType)[size_t(control.mElementIndex)];
        break;
    }
    case PassShininess:
        mPass->setShininess(value);
        written = mPass->getShininess();
        break;
    }
    mEvents.controlValue(control.mName, control.mParameterName, double(written));
    return true;
}

} // namespace seafold
