#include "scene/sessionmenu.h"
#include "scene/guitext.h"
#include "scene/windowevents.h"

#include <CEGUI/CEGUI.h>

#include <nlohmann/json.hpp>

namespace seafold {

namespace {

CEGUI::Window* addButton(CEGUI::Window* parent, const char* name, const char* text, float top)
{
    CEGUI::Window* button = CEGUI::WindowManager::getSingleton().createWindow("TaharezLook/Button", name);
    button->setArea(CEGUI::URect(CEGUI::UVector2(cegui_reldim(0.1f), cegui_reldim(top)),
                                 CEGUI::UVector2(cegui_reldim(0.9f), cegui_reldim(top + 0.16f))));
    button->setText(text);
    parent->addChild(button);
    return button;
}

} // namespace

void SessionMenu::create(CEGUI::Window* root, WindowEvents& events)
{
    mEvents = &events;
    if (!root)
        return;
    auto& windows = CEGUI::WindowManager::getSingleton();
    mFrame = windows.createWindow("TaharezLook/FrameWindow", "SessionMenu");
    mFrame->setArea(CEGUI::URect(CEGUI::UVector2(cegui_reldim(0.36f), cegui_reldim(0.25f)),
                                 CEGUI::UVector2(cegui_reldim(0.64f), cegui_reldim(0.72f))));
    mFrame->setText("Menu");
    mFrame->setProperty("CloseButtonEnabled", "false");
    mFrame->setProperty("SizingEnabled", "false");
    mFrame->setProperty("DragMovingEnabled", "false");
    mFrame->setAlwaysOnTop(true);
    root->addChild(mFrame);
    using CEGUI::Event;
    auto on = [](CEGUI::Window* button, std::function<void()> act) {
        button->subscribeEvent(CEGUI::PushButton::EventClicked, Event::Subscriber([act](const CEGUI::EventArgs&) {
                                   act();
                                   return true;
                               }));
    };
    on(addButton(mFrame, "MenuResume", "Resume", 0.04f), [this] { show(false); });
    on(addButton(mFrame, "MenuSettings", "Settings", 0.24f), [this] {
        if (mOpenSettings) {
            show(false);
            mOpenSettings();
        } else if (mNote) {
            mNote->setText("There are no settings to change here yet.");
        }
    });
    on(addButton(mFrame, "MenuLeave", "Leave session", 0.44f), [this] { choose(Action::Leave); });
    on(addButton(mFrame, "MenuQuit", "Quit", 0.64f), [this] { choose(Action::Quit); });
    mNote = windows.createWindow("TaharezLook/StaticText", "MenuNote");
    mNote->setArea(CEGUI::URect(CEGUI::UVector2(cegui_reldim(0.05f), cegui_reldim(0.81f)),
                                CEGUI::UVector2(cegui_reldim(0.95f), cegui_reldim(0.99f))));
    mNote->setProperty("FrameEnabled", "false");
    mNote->setProperty("BackgroundEnabled", "false");
    mNote->setProperty("HorzFormatting", "WordWrapCentreAligned");
    mFrame->addChild(mNote);
    mFrame->hide();
}

void SessionMenu::show(bool shown)
{
    if (!mFrame || shown == mShown)
        return;
    mShown = shown;
    mFrame->setVisible(shown);
    if (mNote)
        mNote->setText("Escape: back to the session");
    if (shown)
        mFrame->activate();
    else if (mFrame->getParent())
        mFrame->getParent()->activate();
    if (mEvents && mEvents->active()) {
        Json widgets = Json::object();
        if (shown) {
            for (const char* name : {"MenuResume", "MenuSettings", "MenuLeave", "MenuQuit"}) {
                CEGUI::Rectf area = mFrame->getChild(name)->getUnclippedOuterRect().get();
                widgets[name] = Json::array({area.left(), area.top(), area.getWidth(), area.getHeight()});
            }
        }
        mEvents->sessionMenu(shown, widgets);
    }
}

void SessionMenu::pressKey(char key)
{
    if (key == 'e')
        show(false);
    else if (key == 'l')
        choose(Action::Leave);
    else if (key == 'q')
        choose(Action::Quit);
}

void SessionMenu::choose(Action action)
{
    mAction = action;
    show(false);
}

SessionMenu::Action SessionMenu::takeAction()
{
    Action action = mAction;
    mAction = Action::None;
    return action;
}

} // namespace seafold
