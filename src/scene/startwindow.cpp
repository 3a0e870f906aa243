#include "scene/startwindow.h"
#include "scene/guitext.h"
#include "scene/windowevents.h"

#include <CEGUI/CEGUI.h>

#include <nlohmann/json.hpp>

namespace seafold {

std::string startServerLine(const StartServerRow& row)
{
    // U+00B7 MIDDLE DOT, in UTF-8.
    const std::string dot = " \xc2\xb7 ";
    std::string users = row.users == 1 ? "1 user" : std::to_string(row.users) + " users";
    return (row.name.empty() ? std::string("(no name)") : row.name) + dot + users + dot + row.address + dot +
           (row.known ? "known server" : "new server");
}

namespace {

// The window's parts, in a grid of rows within the frame (relative units).
struct Place {
    float left, top, right, bottom;
};

CEGUI::Window* addChild(CEGUI::Window* parent, const char* type, const char* name, const Place& at,
                        const std::string& text = std::string())
{
    CEGUI::Window* window = CEGUI::WindowManager::getSingleton().createWindow(type, name);
    window->setArea(CEGUI::URect(CEGUI::UVector2(cegui_reldim(at.left), cegui_reldim(at.top)),
                                 CEGUI::UVector2(cegui_reldim(at.right), cegui_reldim(at.bottom))));
    if (!text.empty())
        window->setText(guiUtf8(text));
    parent->addChild(window);
    return window;
}

CEGUI::Window* addLabel(CEGUI::Window* parent, const char* name, const Place& at, const std::string& text)
{
    CEGUI::Window* label = addChild(parent, "TaharezLook/StaticText", name, at, text);
    label->setProperty("FrameEnabled", "false");
    label->setProperty("BackgroundEnabled", "false");
    return label;
}

std::string utf8Of(const CEGUI::Window* window)
{
    return window ? std::string(window->getText().c_str()) : std::string();
}

} // namespace

void StartWindow::create(CEGUI::Window* root, WindowEvents& events)
{
    mEvents = &events;
    mRoot = root;
    if (!root)
        return;
    mFrame = addChild(root, "TaharezLook/FrameWindow", "StartWindow", {0.2f, 0.08f, 0.8f, 0.92f}, "Seafold");
    mFrame->setProperty("CloseButtonEnabled", "false");
    mFrame->setProperty("SizingEnabled", "false");
    mFrame->setProperty("DragMovingEnabled", "false");
    mFrame->setAlwaysOnTop(true);

    addLabel(mFrame, "StartNameLabel", {0.04f, 0.02f, 0.5f, 0.08f}, "Your name");
    mName = addChild(mFrame, "TaharezLook/Editbox", "StartName", {0.04f, 0.08f, 0.6f, 0.15f});
    mName->setProperty("MaxTextLength", "64");

    addLabel(mFrame, "StartServersLabel", {0.04f, 0.17f, 0.96f, 0.23f}, "Servers on the local network");
    mServers = static_cast<CEGUI::Listbox*>(
        addChild(mFrame, "TaharezLook/Listbox", "StartServers", {0.04f, 0.23f, 0.96f, 0.52f}));
    mServers->subscribeEvent(CEGUI::Listbox::EventSelectionChanged,
                             CEGUI::Event::Subscriber(&StartWindow::handleServerPicked, this));
    mServers->subscribeEvent(CEGUI::Window::EventMouseDoubleClick,
                             CEGUI::Event::Subscriber(&StartWindow::handleServerChosen, this));

    addLabel(mFrame, "StartAddressLabel", {0.04f, 0.54f, 0.5f, 0.60f}, "Server address (host:port)");
    mAddress = addChild(mFrame, "TaharezLook/Editbox", "StartAddress", {0.04f, 0.60f, 0.5f, 0.67f});
    mAddress->setProperty("MaxTextLength", "64");
    addLabel(mFrame, "StartPasswordLabel", {0.54f, 0.54f, 0.96f, 0.60f}, "Password, if it has one");
    mPassword = addChild(mFrame, "TaharezLook/Editbox", "StartPassword", {0.54f, 0.60f, 0.96f, 0.67f});
    mPassword->setProperty("MaskText", "true");
    mPassword->setProperty("MaxTextLength", "128");

    mJoin = addChild(mFrame, "TaharezLook/Button", "StartJoin", {0.04f, 0.71f, 0.34f, 0.79f}, "Join");
    mHost = addChild(mFrame, "TaharezLook/Button", "StartHost", {0.37f, 0.71f, 0.71f, 0.79f}, "Host a session");
    mQuit = addChild(mFrame, "TaharezLook/Button", "StartQuit", {0.74f, 0.71f, 0.96f, 0.79f}, "Quit");
    mJoin->subscribeEvent(CEGUI::PushButton::EventClicked, CEGUI::Event::Subscriber([this](const CEGUI::EventArgs&) {
                              request(Action::Join);
                              return true;
                          }));
    mHost->subscribeEvent(CEGUI::PushButton::EventClicked, CEGUI::Event::Subscriber([this](const CEGUI::EventArgs&) {
                              request(Action::Host);
                              return true;
                          }));
    mQuit->subscribeEvent(CEGUI::PushButton::EventClicked, CEGUI::Event::Subscriber([this](const CEGUI::EventArgs&) {
                              request(Action::Quit);
                              return true;
                          }));

    mStatus = addLabel(mFrame, "StartStatus", {0.04f, 0.81f, 0.96f, 0.98f}, "");
    mStatus->setProperty("HorzFormatting", "WordWrapLeftAligned");
    mStatus->setProperty("VertFormatting", "TopAligned");
    // Server names and refusals come off the network: no markup is obeyed.
    mStatus->setTextParsingEnabled(false);
    mFrame->hide();
}

void StartWindow::show(bool shown)
{
    if (!mFrame || shown == mShown)
        return;
    mShown = shown;
    if (shown) {
        mHidden.clear();
        for (size_t i = 0; i < mRoot->getChildCount(); ++i) {
            CEGUI::Window* child = mRoot->getChildAtIdx(i);
            if (child != mFrame && child->isVisible() && child->getName() != "NameLabels") {
                child->hide();
                mHidden.push_back(child);
            }
        }
        mFrame->show();
        mFrame->activate();
        (mName->getText().empty() ? mName : mAddress)->activate();
    } else {
        mFrame->hide();
        for (CEGUI::Window* child : mHidden)
            child->show();
        mHidden.clear();
        mRoot->activate();
    }
    if (mEvents->active()) {
        if (shown)
            logWidgets();
        else
            mEvents->startWindow("hidden", Json::object());
    }
}

void StartWindow::logWidgets()
{
    // Where each part is on the screen, for the tests that click them.
    Json widgets = Json::object();
    const std::pair<const char*, CEGUI::Window*> parts[] = {
        {"name", mName}, {"servers", mServers}, {"address", mAddress}, {"password", mPassword},
        {"join", mJoin}, {"host", mHost},       {"quit", mQuit},
    };
    for (const auto& part : parts) {
        CEGUI::Rectf area = part.second->getUnclippedOuterRect().get();
        widgets[part.first] = Json::array({area.left(), area.top(), area.getWidth(), area.getHeight()});
    }
    mEvents->startWindow("shown", widgets);
}

void StartWindow::setName(const std::string& name)
{
    if (mName)
        mName->setText(guiUtf8(name));
}

std::string StartWindow::name() const
{
    return utf8Of(mName);
}

void StartWindow::setAddress(const std::string& address)
{
    if (mAddress)
        mAddress->setText(guiUtf8(address));
}

std::string StartWindow::address() const
{
    return utf8Of(mAddress);
}

std::string StartWindow::password() const
{
    return utf8Of(mPassword);
}

void StartWindow::setServers(const std::vector<StartServerRow>& rows)
{
    if (!mServers)
        return;
    bool same = rows.size() == mRows.size();
    for (size_t i = 0; same && i < rows.size(); ++i)
        same = startServerLine(rows[i]) == startServerLine(mRows[i]);
    if (same)
        return;
    std::string picked;
    if (CEGUI::ListboxItem* item = mServers->getFirstSelectedItem())
        picked = mRows[item->getID()].address;
    mRows = rows;
    mServers->resetList();
    Json logged = Json::array();
    for (size_t i = 0; i < rows.size(); ++i) {
        auto* item = new CEGUI::ListboxTextItem(guiUtf8(startServerLine(rows[i])), CEGUI::uint(i));
        // Server names are whatever answered on the network: no markup.
        item->setTextParsingEnabled(false);
        item->setSelectionBrushImage("TaharezLook/MultiListSelectionBrush");
        mServers->addItem(item);
        if (rows[i].address == picked)
            item->setSelected(true);
        logged.push_back(
            Json{{"name", jsonText(rows[i].name)}, {"users", rows[i].users}, {"address", rows[i].address},
                 {"known", rows[i].known}});
    }
    mServers->handleUpdatedItemData();
    mEvents->startServers(logged);
}

void StartWindow::setStatus(const std::string& text, bool problem)
{
    if (!mStatus || text == mStatusText)
        return;
    mStatusText = text;
    mStatus->setProperty("TextColours", problem ? "FFFF8080" : "FFFFFFFF");
    mStatus->setText(guiUtf8(text));
    mEvents->startStatus(text, problem);
}

void StartWindow::setJoining(bool joining)
{
    if (mJoin)
        mJoin->setText(joining ? "Joining..." : "Join");
}

StartWindow::Action StartWindow::takeAction()
{
    Action action = mAction;
    mAction = Action::None;
    return action;
}

void StartWindow::request(Action action)
{
    if (mShown)
        mAction = action;
}

bool StartWindow::handleServerPicked(const CEGUI::EventArgs&)
{
    // Picking a server puts its address in the field: that is what Join
    // joins, and the user may still change it.
    if (CEGUI::ListboxItem* item = mServers->getFirstSelectedItem())
        setAddress(mRows[item->getID()].address);
    return true;
}

bool StartWindow::handleServerChosen(const CEGUI::EventArgs&)
{
    if (mServers->getFirstSelectedItem())
        request(Action::Join);
    return true;
}

} // namespace seafold
