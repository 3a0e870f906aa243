#include "scene/panel.h"
#include "scene/controllogic.h"
#include "scene/guitext.h"
#include "scene/guiwindows.h"
#include "scene/materialtuning.h"
#include "scene/seafold.h"
#include "scene/windowevents.h"

#include <OgreResourceGroupManager.h>

#include <CEGUI/CEGUI.h>

#include <algorithm>
#include <string>
#include <vector>

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

} // namespace

void Panel::wire()
{
    using CEGUI::Event;
    auto subscribe = [](const char* name, const CEGUI::String& event, Event::Subscriber subscriber) {
        if (CEGUI::Window* window = panelWindow(name))
            window->subscribeEvent(event, subscriber);
    };
    subscribe("ExitDemoBtn", CEGUI::PushButton::EventClicked, Event::Subscriber(&Panel::handleExit, this));
    subscribe("ModelCombos", CEGUI::Combobox::EventListSelectionAccepted,
              Event::Subscriber(&Panel::handleModelSelected, this));
    subscribe("ShaderCombos", CEGUI::Combobox::EventListSelectionAccepted,
              Event::Subscriber(&Panel::handleMaterialSelected, this));
    subscribe("CameraRBtn", CEGUI::RadioButton::EventSelectStateChanged,
              Event::Subscriber(&Panel::handleMouseModeChanged, this));
    subscribe("ModelRBtn", CEGUI::RadioButton::EventSelectStateChanged,
              Event::Subscriber(&Panel::handleMouseModeChanged, this));
    subscribe("VerticalScroll", CEGUI::Scrollbar::EventScrollPositionChanged,
              Event::Subscriber(&MaterialTuning::handleRowsScroll, &mTuning));

    // A combo box's area includes its drop-down list, which covers the
    // widgets below it even while closed: clicks there go through to them.
    for (const char* name : {"ModelCombos", "ShaderCombos"})
        if (CEGUI::Window* combo = panelWindow(name))
            combo->setMousePassThroughEnabled(true);
}

void Panel::fillLists()
{
    // The materials, the first one selected and applied.
    const MaterialControlsList& entries = mTuning.entries();
    auto* shaders = static_cast<CEGUI::Combobox*>(panelWindow("ShaderCombos"));
    if (shaders) {
        for (size_t i = 0; i < entries.size(); ++i)
            shaders->addItem(new MyListItem(guiUtf8(entries[i].getDisplayName()), CEGUI::uint(i)));
        selectMaterial(0);
    }

    // The meshes among the resources, in name order; none selected.
    auto* models = static_cast<CEGUI::Combobox*>(panelWindow("ModelCombos"));
    if (models) {
        Ogre::StringVectorPtr found = Ogre::ResourceGroupManager::getSingleton().findResourceNames(
            Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME, "*.mesh", false);
        mModelFiles.assign(found->begin(), found->end());
        std::sort(mModelFiles.begin(), mModelFiles.end());
        for (size_t k = 0; k < mModelFiles.size(); ++k)
            models->addItem(new MyListItem(guiUtf8(modelListName(mModelFiles[k])), CEGUI::uint(k)));
    }
}

void Panel::selectMaterial(uint32_t index)
{
    const MaterialControlsList& entries = mTuning.entries();
    auto* shaders = static_cast<CEGUI::Combobox*>(panelWindow("ShaderCombos"));
    if (!shaders || index >= shaders->getItemCount() || index >= entries.size())
        return;
    shaders->clearAllSelections();
    shaders->setItemSelectState(size_t(index), true);
    shaders->getEditbox()->setText(guiUtf8(entries[index].getDisplayName()));
    CEGUI::WindowEventArgs args(shaders);
    handleMaterialSelected(args);
}

void Panel::showOwnModel(const std::string& meshName)
{
    // However the model was picked (the list, --model, the config file, the
    // last session), the list shows the one in use.
    auto* models = static_cast<CEGUI::Combobox*>(panelWindow("ModelCombos"));
    if (!models)
        return;
    auto found = std::find(mModelFiles.begin(), mModelFiles.end(), meshName);
    models->clearAllSelections();
    if (found != mModelFiles.end())
        models->setItemSelectState(size_t(found - mModelFiles.begin()), true);
    models->getEditbox()->setText(guiUtf8(meshName.empty() ? std::string() : modelListName(meshName)));
}

bool Panel::handleExit(const CEGUI::EventArgs&)
{
    mApp.endRendering();
    return true;
}

bool Panel::handleModelSelected(const CEGUI::EventArgs& args)
{
    auto* combo = static_cast<CEGUI::Combobox*>(eventWindow(args));
    CEGUI::ListboxItem* item = combo ? combo->getSelectedItem() : nullptr;
    if (!item)
        return true;
    if (item->getID() >= mModelFiles.size())
        return true;
    mApp.selectOwnModel(mModelFiles[item->getID()]);
    mTuning.rebuildRows();
    return true;
}

bool Panel::handleMaterialSelected(const CEGUI::EventArgs& args)
{
    auto* combo = static_cast<CEGUI::Combobox*>(eventWindow(args));
    CEGUI::ListboxItem* item = combo ? combo->getSelectedItem() : nullptr;
    if (!item)
        return true;
    mTuning.select(uint32_t(item->getID()));
    mTuning.rebuildRows();
    return true;
}

bool Panel::handleMouseModeChanged(const CEGUI::EventArgs& args)
{
    auto* button = static_cast<CEGUI::RadioButton*>(eventWindow(args));
    CEGUI::RadioButton* selected = button ? button->getSelectedButtonInGroup() : nullptr;
    mMouseMode = selected && selected->getID() != 0 ? MovesModel : MovesCamera;
    mApp.events().mouseMode(mMouseMode);
    return true;
}

} // namespace seafold
