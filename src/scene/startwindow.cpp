#include "scene/startwindow.h"
#include "scene/guitext.h"
#include "scene/windowevents.h"

#include <CEGUI/CEGUI.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

namespace seafold {

std::string startServerLine(const StartServerRow& row)
{
    // U+00B7 MIDDLE DOT and U+2605 BLACK STAR, in UTF-8.
    const std::string dot = " \xc2\xb7 ";
    std::string line = row.favourite ? "\xe2\x98\x85 " : "";
    line += row.name.empty() ? std::string("(no name)") : row.name;
    if (row.roundTripMs < 0)
        return line + dot + "not answering" + dot + row.address;
    const std::string count = std::to_string(row.users) + (row.limit ? " of " + std::to_string(row.limit) : "");
    line += dot + count + (row.users == 1 && !row.limit ? " user" : " users");
    if (row.locked)
        line += dot + "locked";
    line += dot + std::to_string(row.roundTripMs) + " ms";
    if (row.otherVersion)
        line += dot + "other version";
    if (!row.trust.empty())
        line += dot + row.trust;
    return line + dot + row.address;
}

void sortServerRows(std::vector<StartServerRow>& rows)
{
    // Names as a person reads them: "bay" and "Bay" together, before "Harbour".
    auto folded = [](const std::string& text) {
        std::string out = text;
        for (char& c : out)
            c = char(std::tolower(uint8_t(c)));
        return out;
    };
    std::stable_sort(rows.begin(), rows.end(), [&folded](const StartServerRow& a, const StartServerRow& b) {
        if (a.favourite != b.favourite)
            return a.favourite;
        const std::string nameA = folded(a.name), nameB = folded(b.name);
        if (nameA != nameB)
            return nameA < nameB;
        if (a.name != b.name)
            return a.name < b.name;
        return a.address < b.address;
    });
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
        addChild(mFrame, "TaharezLook/Listbox", "StartServers", {0.04f, 0.23f, 0.74f, 0.52f}));
    // Beside the list: search again now, and keep the picked server.
    mRefresh = addChild(mFrame, "TaharezLook/Button", "StartRefresh", {0.76f, 0.23f, 0.96f, 0.31f}, "Refresh");
    mFavourite = addChild(mFrame, "TaharezLook/Button", "StartFavourite", {0.76f, 0.33f, 0.96f, 0.41f}, "Favourite");
    mRefresh->subscribeEvent(CEGUI::PushButton::EventClicked, CEGUI::Event::Subscriber([this](const CEGUI::EventArgs&) {
                                 request(Action::Refresh);
                                 return true;
                             }));
    mFavourite->subscribeEvent(CEGUI::PushButton::EventClicked,
                               CEGUI::Event::Subscriber([this](const CEGUI::EventArgs&) {
                                   request(Action::Favourite);
                                   return true;
                               }));
    if (mOpenSettings) {
        mSettings = addChild(mFrame, "TaharezLook/Button", "StartSettings", {0.76f, 0.44f, 0.96f, 0.52f}, "Settings");
        mSettings->subscribeEvent(CEGUI::PushButton::EventClicked,
                                  CEGUI::Event::Subscriber([this](const CEGUI::EventArgs&) {
                                      mOpenSettings();
                                      return true;
                                  }));
    }
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
                              showHostForm(true);
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
    for (size_t i = 0; i < mFrame->getChildCount(); ++i)
        if (mFrame->getChildAtIdx(i) != mStatus && mFrame->getChildAtIdx(i)->getName().compare(0, 6, "__auto") != 0)
            mStartPage.push_back(mFrame->getChildAtIdx(i));
    createHostForm();
    mFrame->hide();
}

void StartWindow::createHostForm()
{
    // In the start page's place: what the session is called, where it
    // listens, whether it needs a password, and how many it takes.
    mHostForm.push_back(addLabel(mFrame, "HostServerNameLabel", {0.04f, 0.02f, 0.96f, 0.08f}, "Server name"));
    mServerName = addChild(mFrame, "TaharezLook/Editbox", "HostServerName", {0.04f, 0.08f, 0.96f, 0.15f});
    mServerName->setProperty("MaxTextLength", "64");
    mHostForm.push_back(mServerName);
    mHostForm.push_back(addLabel(mFrame, "HostPortLabel", {0.04f, 0.18f, 0.46f, 0.24f}, "Port"));
    mPort = addChild(mFrame, "TaharezLook/Editbox", "HostPort", {0.04f, 0.24f, 0.46f, 0.31f}, "28000");
    mPort->setProperty("MaxTextLength", "5");
    mHostForm.push_back(mPort);
    mHostForm.push_back(addLabel(mFrame, "HostLimitLabel", {0.54f, 0.18f, 0.96f, 0.24f}, "User limit"));
    mLimit = addChild(mFrame, "TaharezLook/Editbox", "HostLimit", {0.54f, 0.24f, 0.96f, 0.31f}, "16");
    mLimit->setProperty("MaxTextLength", "4");
    mHostForm.push_back(mLimit);
    mHostForm.push_back(
        addLabel(mFrame, "HostPasswordLabel", {0.04f, 0.34f, 0.96f, 0.40f}, "Password (empty: anyone may join)"));
    mHostPassword = addChild(mFrame, "TaharezLook/Editbox", "HostPassword", {0.04f, 0.40f, 0.96f, 0.47f});
    mHostPassword->setProperty("MaskText", "true");
    mHostPassword->setProperty("MaxTextLength", "128");
    mHostForm.push_back(mHostPassword);
    mStartHosting =
        addChild(mFrame, "TaharezLook/Button", "HostStart", {0.04f, 0.71f, 0.48f, 0.79f}, "Start hosting");
    mStartHosting->subscribeEvent(CEGUI::PushButton::EventClicked,
                                  CEGUI::Event::Subscriber([this](const CEGUI::EventArgs&) {
                                      request(Action::Host);
                                      return true;
                                  }));
    mHostForm.push_back(mStartHosting);
    CEGUI::Window* back = addChild(mFrame, "TaharezLook/Button", "HostBack", {0.52f, 0.71f, 0.96f, 0.79f}, "Back");
    back->subscribeEvent(CEGUI::PushButton::EventClicked, CEGUI::Event::Subscriber([this](const CEGUI::EventArgs&) {
                             showHostForm(false);
                             return true;
                         }));
    mHostForm.push_back(back);
    for (CEGUI::Window* part : mHostForm)
        part->hide();
}

void StartWindow::showHostForm(bool shown)
{
    if (!mFrame)
        return;
    mHostFormShown = shown;
    for (CEGUI::Window* part : mStartPage)
        part->setVisible(!shown);
    for (CEGUI::Window* part : mHostForm)
        part->setVisible(shown);
    mFrame->setText(shown ? "Host a session" : "Seafold");
    if (shown && mServerName->getText().empty() && !name().empty())
        mServerName->setText(guiUtf8(name() + "'s session"));
    if (shown)
        mServerName->activate();
    if (mEvents->active() && mShown)
        logWidgets();
}

HostChoice StartWindow::hostChoice() const
{
    return {utf8Of(mServerName), utf8Of(mPort), utf8Of(mHostPassword), utf8Of(mLimit)};
}

void StartWindow::setHostChoice(const HostChoice& choice)
{
    if (!mServerName)
        return;
    mServerName->setText(guiUtf8(choice.serverName));
    mPort->setText(guiUtf8(choice.port));
    mHostPassword->setText(guiUtf8(choice.password));
    mLimit->setText(guiUtf8(choice.limit));
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
        {"join", mJoin}, {"host", mHost},       {"quit", mQuit},        {"refresh", mRefresh},
        {"favourite", mFavourite}, {"server_name", mServerName}, {"port", mPort}, {"host_password", mHostPassword},
        {"limit", mLimit}, {"start_hosting", mStartHosting}, {"settings", mSettings},
    };
    for (const auto& part : parts) {
        if (!part.second)
            continue;
        CEGUI::Rectf area = part.second->getUnclippedOuterRect().get();
        widgets[part.first] = Json::array({area.left(), area.top(), area.getWidth(), area.getHeight()});
    }
    widgets["form"] = mHostFormShown ? "host" : "start";
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
    bool sameOrder = rows.size() == mRows.size();
    bool sameText = sameOrder;
    for (size_t i = 0; sameOrder && i < rows.size(); ++i) {
        sameOrder = rows[i].address == mRows[i].address;
        sameText = sameText && sameOrder && startServerLine(rows[i]) == startServerLine(mRows[i]);
    }
    if (sameText)
        return;
    // A row must not move under the pointer: a click on one server joined
    // another. A change that moves a row shown now waits until the pointer
    // leaves the list; rows added after the shown ones come at once.
    bool moves = false;
    for (size_t i = 0; i < mRows.size() && !moves; ++i)
        moves = i >= rows.size() || rows[i].address != mRows[i].address;
    if (moves && pointerOverList())
        return;
    std::string picked = pickedServer();
    mRows = rows;
    Json logged = Json::array();
    if (sameOrder) {
        // Only what the rows say changed: the items are rewritten in place.
        for (size_t i = 0; i < rows.size(); ++i)
            mServers->getListboxItemFromIndex(i)->setText(guiUtf8(startServerLine(rows[i])));
    } else {
        mServers->resetList();
        for (size_t i = 0; i < rows.size(); ++i) {
            auto* item = new CEGUI::ListboxTextItem(guiUtf8(startServerLine(rows[i])), CEGUI::uint(i));
            // Server names are whatever answered on the network: no markup.
            item->setTextParsingEnabled(false);
            item->setSelectionBrushImage("TaharezLook/MultiListSelectionBrush");
            mServers->addItem(item);
            if (rows[i].address == picked)
                item->setSelected(true);
        }
    }
    for (const StartServerRow& row : rows)
        logged.push_back(Json{{"name", jsonText(row.name)},
                              {"users", row.users},
                              {"address", row.address},
                              {"limit", row.limit},
                              {"locked", row.locked},
                              {"ms", row.roundTripMs},
                              {"other_version", row.otherVersion},
                              {"favourite", row.favourite},
                              {"known", row.trust == "known server"}});
    mServers->handleUpdatedItemData();
    mEvents->startServers(logged);
}

std::string StartWindow::pickedServer() const
{
    CEGUI::ListboxItem* item = mServers ? mServers->getFirstSelectedItem() : nullptr;
    return item && item->getID() < mRows.size() ? mRows[item->getID()].address : std::string();
}

bool StartWindow::pointerOverList() const
{
    if (!mServers || !mServers->isEffectiveVisible())
        return false;
    const CEGUI::Vector2f at =
        CEGUI::System::getSingleton().getDefaultGUIContext().getMouseCursor().getPosition();
    return mServers->getUnclippedOuterRect().get().isPointInRect(at);
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
