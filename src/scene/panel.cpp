// The GUI panel: model and material lists, the tuning rows of the selected
// ocean material, mouse mode, spin switches and the exit button.
#include "scene/clientmodels.h"
#include "scene/controllogic.h"
#include "scene/framelistener.h"
#include "scene/guitext.h"
#include "scene/seafold.h"
#include "session/eventlog.h"

#include <OgreEntity.h>
#include <OgreGpuProgramParams.h>
#include <OgreMaterialManager.h>
#include <OgrePass.h>
#include <OgreResourceGroupManager.h>
#include <OgreRoot.h>
#include <OgreSceneManager.h>
#include <OgreSceneNode.h>
#include <OgreTechnique.h>

#include <CEGUI/CEGUI.h>

#include <algorithm>

namespace seafold {

namespace {

// Every entry of the two lists: a text item with the scheme's selection
// brush, owned by its list.
class MyListItem : public CEGUI::ListboxTextItem {
public:
    MyListItem(const CEGUI::String& text, CEGUI::uint id) : CEGUI::ListboxTextItem(text, id, nullptr, false, true)
    {
        setSelectionBrushImage("TaharezLook/MultiListSelectionBrush");
    }
};

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

// ---- wiring and lists ---------------------------------------------------------------------------

void Seafold::wirePanelEvents()
{
    using CEGUI::Event;
    auto subscribe = [](const char* name, const CEGUI::String& event, Event::Subscriber subscriber) {
        if (CEGUI::Window* window = panelWindow(name))
            window->subscribeEvent(event, subscriber);
    };
    subscribe("ExitDemoBtn", CEGUI::PushButton::EventClicked, Event::Subscriber(&Seafold::handleExit, this));
    subscribe("ModelCombos", CEGUI::Combobox::EventListSelectionAccepted,
              Event::Subscriber(&Seafold::handleModelSelected, this));
    subscribe("ShaderCombos", CEGUI::Combobox::EventListSelectionAccepted,
              Event::Subscriber(&Seafold::handleMaterialSelected, this));
    subscribe("CameraRBtn", CEGUI::RadioButton::EventSelectStateChanged,
              Event::Subscriber(&Seafold::handleMouseModeChanged, this));
    subscribe("ModelRBtn", CEGUI::RadioButton::EventSelectStateChanged,
              Event::Subscriber(&Seafold::handleMouseModeChanged, this));
    subscribe("VerticalScroll", CEGUI::Scrollbar::EventScrollPositionChanged,
              Event::Subscriber(&Seafold::handleControlsScroll, this));

    // A combo box's area includes its drop-down list, which covers the
    // widgets below it even while closed: clicks there go through to them.
    for (const char* name : {"ModelCombos", "ShaderCombos"})
        if (CEGUI::Window* combo = panelWindow(name))
            combo->setMousePassThroughEnabled(true);

    Seafold_FrameListener* listener = mFrameListener;
    if (!listener)
        return;
    CEGUI::Window* root = CEGUI::System::getSingleton().getDefaultGUIContext().getRootWindow();
    if (root) {
        using L = Seafold_FrameListener;
        using W = CEGUI::Window;
        root->subscribeEvent(W::EventMouseMove, Event::Subscriber(&L::handleMouseMove, listener));
        root->subscribeEvent(W::EventMouseButtonUp, Event::Subscriber(&L::handleMouseButtonUp, listener));
        root->subscribeEvent(W::EventMouseButtonDown, Event::Subscriber(&L::handleMouseButtonDown, listener));
        root->subscribeEvent(W::EventMouseWheel, Event::Subscriber(&L::handleMouseWheel, listener));
        root->subscribeEvent(W::EventKeyDown, Event::Subscriber(&L::handleKeyDown, listener));
        root->subscribeEvent(W::EventKeyUp, Event::Subscriber(&L::handleKeyUp, listener));
    }
    subscribe("ModelSpinCB", CEGUI::ToggleButton::EventSelectStateChanged,
              Event::Subscriber(&Seafold_FrameListener::handleModelSpinChanged, listener));
    subscribe("LightSpinCB", CEGUI::ToggleButton::EventSelectStateChanged,
              Event::Subscriber(&Seafold_FrameListener::handleLightSpinChanged, listener));
}

void Seafold::fillSelectionLists()
{
    // The materials, the first one selected and applied.
    auto* shaders = static_cast<CEGUI::Combobox*>(panelWindow("ShaderCombos"));
    if (shaders) {
        for (size_t i = 0; i < mMaterialControlsList.size(); ++i)
            shaders->addItem(new MyListItem(guiUtf8(mMaterialControlsList[i].getDisplayName()), CEGUI::uint(i)));
        selectMaterialOnPanel(0);
    }

    // The meshes among the resources, in name order; none selected.
    auto* models = static_cast<CEGUI::Combobox*>(panelWindow("ModelCombos"));
    if (models) {
        Ogre::StringVectorPtr found = Ogre::ResourceGroupManager::getSingleton().findResourceNames(
            Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME, "*.mesh", false);
        std::vector<std::string> names(found->begin(), found->end());
        std::sort(names.begin(), names.end());
        for (const std::string& name : names)
            models->addItem(new MyListItem(name.c_str(), 0));
    }
}

void Seafold::selectMaterialOnPanel(uint32_t index)
{
    auto* shaders = static_cast<CEGUI::Combobox*>(panelWindow("ShaderCombos"));
    if (!shaders || index >= shaders->getItemCount() || index >= mMaterialControlsList.size())
        return;
    shaders->clearAllSelections();
    shaders->setItemSelectState(size_t(index), true);
    shaders->getEditbox()->setText(guiUtf8(mMaterialControlsList[index].getDisplayName()));
    CEGUI::WindowEventArgs args(shaders);
    handleMaterialSelected(args);
}

// ---- handlers -------------------------------------------------------------------------------------

bool Seafold::handleExit(const CEGUI::EventArgs&)
{
    if (mRoot)
        mRoot->queueEndRendering();
    return true;
}

bool Seafold::handleModelSelected(const CEGUI::EventArgs& args)
{
    auto* combo = static_cast<CEGUI::Combobox*>(eventWindow(args));
    CEGUI::ListboxItem* item = combo ? combo->getSelectedItem() : nullptr;
    if (!item)
        return true;
    selectOwnModel(item->getText().c_str());
    rebuildControlRows();
    return true;
}

bool Seafold::selectOwnModel(const std::string& meshName)
{
    if (!mSceneManager || !mModelNode)
        return false;
    if (mModelEntity) {
        mModelEntity->setVisible(false);
        mModelNode->detachObject(mModelEntity->getName());
        mModelEntity = nullptr;
        mModelMeshName.clear();
    }
    // A mesh that cannot be loaded leaves the user without a model (and
    // says so on the panel) instead of ending the program.
    mModelEntity = findOrCreateModelEntity(*mSceneManager, ownModelEntityName(meshName), meshName);
    if (!mModelEntity) {
        if (mFrameListener)
            mFrameListener->showNotice("Cannot show " + meshName);
        return false;
    }
    mModelEntity->setVisible(true);
    mModelNode->attachObject(mModelEntity);
    mModelMeshName = meshName;
    sessionPort().announceSelection(meshName);
    if (gEventLog.active()) {
        const Ogre::Vector3& at = mModelNode->getPosition();
        Json event;
        event["own"] = jsonText(meshName);
        event["pos"] = Json::array({double(at.x), double(at.y), double(at.z)});
        gEventLog.write(event);
    }
    return true;
}

bool Seafold::handleMaterialSelected(const CEGUI::EventArgs& args)
{
    auto* combo = static_cast<CEGUI::Combobox*>(eventWindow(args));
    CEGUI::ListboxItem* item = combo ? combo->getSelectedItem() : nullptr;
    if (!item)
        return true;
    selectOceanMaterial(uint32_t(item->getID()));
    rebuildControlRows();
    return true;
}

bool Seafold::handleMouseModeChanged(const CEGUI::EventArgs& args)
{
    auto* button = static_cast<CEGUI::RadioButton*>(eventWindow(args));
    CEGUI::RadioButton* selected = button ? button->getSelectedButtonInGroup() : nullptr;
    mMouseMode = selected && selected->getID() != 0 ? 1 : 0;
    if (gEventLog.active())
        gEventLog.write(Json{{"mouse_mode", mMouseMode}});
    return true;
}

bool Seafold::handleControlsScroll(const CEGUI::EventArgs&)
{
    if (!mControlsScrollbar)
        return true;
    float scroll = mControlsScrollbar->getScrollPosition();
    for (uint32_t i = 0; i < mUniformRows.size(); ++i) {
        placeRowWindow(mUniformRows[i].mLabel, RowPart::Label, i, scroll);
        placeRowWindow(mUniformRows[i].mNumber, RowPart::Value, i, scroll);
        placeRowWindow(mUniformRows[i].mScrollbar, RowPart::Scrollbar, i, scroll);
    }
    return true;
}

// ---- tuning rows ----------------------------------------------------------------------------------

CEGUI::Window* Seafold::createRowWindow(const char* type, const std::string& name, int part, uint32_t row)
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

void Seafold::rebuildControlRows()
{
    // The selected entry's material, its first supported technique and
    // that technique's first pass.
    if (mMaterialControlsList.empty() || mMaterialIndex >= mMaterialControlsList.size())
        return;
    MaterialControls& entry = mMaterialControlsList[mMaterialIndex];
    mMaterial = Ogre::MaterialManager::getSingleton().getByName(entry.getMaterialName());
    if (!mMaterial)
        return;
    // Techniques are sorted into supported ones when the material loads.
    mMaterial->load();
    const Ogre::Material::Techniques& supported = mMaterial->getSupportedTechniques();
    if (supported.empty())
        return;
    Ogre::Technique* technique = supported[0];
    if (!technique || technique->getNumPasses() == 0)
        return;
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

    // The rows' own scrollbar.
    uint32_t count = uint32_t(entry.getShaderControlCount());
    if (mControlsScrollbar) {
        mControlsScrollbar->setDocumentSize(rowsDocumentSize(count));
        mControlsScrollbar->setScrollPosition(0);
    }

    // One row per control, created on first need.
    mRebuildingRows = true;
    if (mUniformRows.size() < count)
        mUniformRows.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        ShaderParameterControl& control = entry.getShaderControl(i);
        UniformRow& row = mUniformRows[i];
        std::string index = std::to_string(i);
        if (!row.mLabel)
            row.mLabel = createRowWindow("TaharezLook/StaticText", "UniformTxt" + index, int(RowPart::Label), i);
        row.mLabel->setText(control.mName.c_str());
        row.mLabel->show();
        if (!row.mNumber)
            row.mNumber = createRowWindow("TaharezLook/StaticText", "UniformNumTxt" + index, int(RowPart::Value), i);
        row.mNumber->show();
        if (!row.mScrollbar) {
            row.mScrollbar =
                createRowWindow("TaharezLook/HorizontalScrollbar", "UniformSB" + index, int(RowPart::Scrollbar), i);
            row.mScrollbar->setID(i);
            auto* bar = static_cast<CEGUI::Scrollbar*>(row.mScrollbar);
            bar->setOverlapSize(0);
            bar->subscribeEvent(CEGUI::Scrollbar::EventScrollPositionChanged,
                                CEGUI::Event::Subscriber(&Seafold::handleUniformChanged, this));
        }
        auto* bar = static_cast<CEGUI::Scrollbar*>(row.mScrollbar);
        bar->setDocumentSize(controlDocumentSize(control.mMin, control.mMax));
        bar->setPageSize(0);
        bar->setStepSize(controlStepSize(control.mMin, control.mMax));

        // The current value, where the control names something that exists.
        float value = 0;
        row.mWritable = false;
        switch (control.mType) {
        case VertexProgramConstant:
        case FragmentProgramConstant: {
            const Ogre::GpuProgramParametersSharedPtr& params =
                control.mType == VertexProgramConstant ? mVertexParams : mFragmentParams;
            if (!params)
                break;
            // A constant the program does not have (a typo, or one the
            // shader compiler dropped as unused) only disables its row.
            const Ogre::GpuConstantDefinition* def =
                params->_findNamedConstantDefinition(control.mParameterName, false);
            if (!def || !def->isFloat() ||
                !constantComponentValid(control.mElementIndex, def->elementSize, def->arraySize)) {
                logSceneMessage("Material controls: \"" + control.mName + "\" names no float constant \"" +
                                control.mParameterName + "\" component " + std::to_string(control.mElementIndex) +
                                " in " + entry.getMaterialName());
                break;
            }
            control.mPhysicalIndex = uint32_t(def->physicalIndex);
            value = params->getFloatPointer(def->physicalIndex)[control.mElementIndex];
            row.mWritable = true;
            break;
        }
        case PassSpecular:
        case PassDiffuse:
        case PassAmbient:
            if (colourComponentValid(control.mElementIndex)) {
                value = passColour(*mPass, control.mType)[size_t(control.mElementIndex)];
                row.mWritable = true;
            }
            break;
        case PassShininess:
            value = mPass->getShininess();
            row.mWritable = true;
            break;
        }
        if (row.mWritable)
            bar->setScrollPosition(controlScrollPositionOf(value, control.mMin));
        showControlValue(i, value);
        row.mScrollbar->show();
    }
    mRebuildingRows = false;

    // Rows beyond this material's controls are hidden.
    for (uint32_t i = count; i < mUniformRows.size(); ++i) {
        UniformRow& row = mUniformRows[i];
        for (CEGUI::Window* window : {row.mLabel, row.mNumber, row.mScrollbar})
            if (window)
                window->hide();
    }
}

void Seafold::showControlValue(uint32_t row, float value)
{
    if (row < mUniformRows.size() && mUniformRows[row].mNumber)
        mUniformRows[row].mNumber->setText(formatControlValue(value).c_str());
}

bool Seafold::handleUniformChanged(const CEGUI::EventArgs& args)
{
    auto* bar = static_cast<CEGUI::Scrollbar*>(eventWindow(args));
    if (!bar || mMaterialIndex >= mMaterialControlsList.size())
        return true;
    uint32_t i = uint32_t(bar->getID());
    MaterialControls& entry = mMaterialControlsList[mMaterialIndex];
    if (i >= entry.getShaderControlCount() || i >= mUniformRows.size())
        return true;
    const ShaderParameterControl& control = entry.getShaderControl(i);
    float value = controlValueAt(bar->getScrollPosition(), control.mMin);
    showControlValue(i, value);
    if (!mPass || mRebuildingRows || !mUniformRows[i].mWritable)
        return true;

    float written = value;
    switch (control.mType) {
    case VertexProgramConstant:
    case FragmentProgramConstant: {
        const Ogre::GpuProgramParametersSharedPtr& params =
            control.mType == VertexProgramConstant ? mVertexParams : mFragmentParams;
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
    if (gEventLog.active()) {
        Json event;
        event["control"] = jsonText(control.mName);
        event["constant"] = jsonText(control.mParameterName);
        event["value"] = double(written);
        gEventLog.write(event);
    }
    return true;
}

} // namespace seafold
