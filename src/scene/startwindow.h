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
#include <string>
#include <vector>

namespace CEGUI {
class EventArgs;
class Window;
class Listbox;
} // namespace CEGUI

namespace seafold {

class WindowEvents;

// One server of the list, as found on the local network.
struct StartServerRow {
    std::string name;
    uint32_t users = 0;
    std::string address; // host:port
    // This user joined the server at that address before, and remembers
    // its key: a later join checks it.
    bool known = false;
};

// "Harbour · 2 users · 10.0.0.5:28000 · known server": the name first, then
// the address, and whether this user joined it before ("new server").
std::string startServerLine(const StartServerRow& row);

class StartWindow {
public:
    enum class Action { None, Join, Host, Quit };

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

    // The list of servers found; the one picked stays picked while it is
    // still there.
    void setServers(const std::vector<StartServerRow>& rows);

    // The line under the buttons: what is going on, or what went wrong.
    void setStatus(const std::string& text, bool problem);

    // While a join is under way, "Join" says so; the user may still press
    // it again (with another address, say) or host instead.
    void setJoining(bool joining);

    // What the user asked for since the last call (one action at a time).
    Action takeAction();
    // Enter in the window: join.
    void pressEnter() { request(Action::Join); }

private:
    void request(Action action);
    bool handleServerPicked(const CEGUI::EventArgs& args);
    bool handleServerChosen(const CEGUI::EventArgs& args);
    void logWidgets();

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
    CEGUI::Window* mStatus = nullptr;
    // The scene's panels hidden while the window shows, to show again.
    std::vector<CEGUI::Window*> mHidden;
    std::vector<StartServerRow> mRows;
    std::string mStatusText;
    bool mShown = false;
    Action mAction = Action::None;
};

} // namespace seafold
