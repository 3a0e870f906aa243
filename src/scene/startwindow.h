// The start window: what the windowed program shows over the sea when it is
// started without a session to run (from the desktop's menu, say). The user
// types a name, picks one of the servers found on the local network or types
// an address, and joins; or hosts a session; or quits. What happens then
// (the search, the join, the server) is the program's business: the window
// only shows what it is told and hands over what the user asked for.
//
// While it is shown, the scene's own panels are hidden and keys go to its
// fields, not to the camera.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace CEGUI {
class EventArgs;
class Window;
class Listbox;
} // namespace CEGUI

namespace seafold {

class WindowEvents;

// One server of the list, as found on the local network (or kept as a
// favourite).
struct StartServerRow {
    std::string name;
    uint32_t users = 0;
    std::string address;      // host:port
    uint32_t limit = 0;       // users it takes; 0: not told
    bool locked = false;      // a join needs a password
    int32_t roundTripMs = -1; // query to answer; -1: not answering now
    bool otherVersion = false; // its wire version cannot be joined from here
    bool favourite = false;
    // What this program knows of the server's key ("new server", "known
    // server"); empty: nothing is shown.
    std::string trust;
};

// "★ Harbour · 2 of 8 users · locked · 3 ms · 10.0.0.5:28000": the name
// first, the address last; "other version" and "not answering" where so.
std::string startServerLine(const StartServerRow& row);

// The rows in the order the list shows them: favourites first, then by
// name, then by address, so that a row never moves because another one
// answered sooner.
void sortServerRows(std::vector<StartServerRow>& rows);

// What the user asks of a session hosted from the window, as typed.
struct HostChoice {
    std::string serverName;
    std::string port;     // digits, as typed
    std::string password; // empty: none
    std::string limit;    // users it takes, as typed
};

class StartWindow {
public:
    // Host: "Start hosting" in the host form ("Host a session" opens the
    // form; "Back" closes it, which the program need not hear of).
    enum class Action { None, Join, Host, Quit, Refresh, Favourite };

    // Builds the window (hidden) under the GUI's root window; without one
    // (no GUI), every call below does nothing.
    void create(CEGUI::Window* root, WindowEvents& events);
    bool exists() const { return mFrame != nullptr; }

    // Shows the window and hides the scene's panels, or the other way round.
    void show(bool shown);
    bool shown() const { return mShown; }

    // The fields.
    void setName(const std::string& name);
    std::string name() const;
    void setAddress(const std::string& address);
    std::string address() const;
    std::string password() const;

    // The host form: its fields as the user left them, and as the program
    // fills them in (a free port offered, say).
    HostChoice hostChoice() const;
    void setHostChoice(const HostChoice& choice);
    bool hostFormShown() const { return mHostFormShown; }
    void showHostForm(bool shown);

    // The list of servers found; the one picked stays picked while it is
    // still there. While the pointer is over the list its rows keep their
    // places: a change of order waits until the pointer leaves.
    void setServers(const std::vector<StartServerRow>& rows);
    // The address of the row picked in the list (empty: none).
    std::string pickedServer() const;

    // The line under the buttons: what is going on, or what went wrong.
    void setStatus(const std::string& text, bool problem);

    // While a join is under way, "Join" says so; the user may still press
    // it again (with another address, say) or host instead.
    void setJoining(bool joining);

    // What its "Settings" button opens (the devices and keys); without it
    // the button is not shown. Set before create.
    void setSettingsOpener(std::function<void()> open) { mOpenSettings = std::move(open); }

    // What the user asked for since the last call (one action at a time).
    Action takeAction();
    // Enter in the window: join, or in the host form start hosting.
    void pressEnter() { request(mHostFormShown ? Action::Host : Action::Join); }

private:
    void request(Action action);
    bool handleServerPicked(const CEGUI::EventArgs& args);
    bool handleServerChosen(const CEGUI::EventArgs& args);
    void logWidgets();
    void createHostForm();
    bool pointerOverList() const;

    WindowEvents* mEvents = nullptr;
    CEGUI::Window* mRoot = nullptr;
    CEGUI::Window* mFrame = nullptr;
    CEGUI::Window* mName = nullptr;
    CEGUI::Listbox* mServers = nullptr;
    CEGUI::Window* mAddress = nullptr;
    CEGUI::Window* mPassword = nullptr;
    CEGUI::Window* mJoin = nullptr;
    CEGUI::Window* mHost = nullptr;
    CEGUI::Window* mQuit = nullptr;
    CEGUI::Window* mRefresh = nullptr;
    CEGUI::Window* mSettings = nullptr;
    std::function<void()> mOpenSettings;
    // The host form, in the same frame: its parts, and the start page's
    // parts it stands in for while shown.
    std::vector<CEGUI::Window*> mHostForm;
    std::vector<CEGUI::Window*> mStartPage;
    CEGUI::Window* mServerName = nullptr;
    CEGUI::Window* mPort = nullptr;
    CEGUI::Window* mHostPassword = nullptr;
    CEGUI::Window* mLimit = nullptr;
    CEGUI::Window* mStartHosting = nullptr;
    bool mHostFormShown = false;
    CEGUI::Window* mFavourite = nullptr;
    CEGUI::Window* mStatus = nullptr;
    // The scene's panels hidden while the window shows, to show again.
    std::vector<CEGUI::Window*> mHidden;
    std::vector<StartServerRow> mRows;
    std::string mStatusText;
    bool mShown = false;
    Action mAction = Action::None;
};

} // namespace seafold
