// The chat line and the chat lines shown on screen. Enter (or T) opens an
// edit line at the bottom of the view, Enter sends what was typed, Escape
// cancels; while it is open, keys type into it and move neither the model
// nor the camera. The last few lines, everyone's and the user's own, show
// above it with the sender's name and fade after a while.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace CEGUI {
class Window;
}

namespace seafold {

class SessionPort;
class WindowEvents;

class ChatLine {
public:
    // Lines shown at most, and how long each stays (the last part fading).
    static constexpr size_t ShownLines = 6;
    static constexpr uint32_t ShownMs = 12000;
    static constexpr uint32_t FadeMs = 2000;

    ChatLine() = default;
    ~ChatLine();
    ChatLine(const ChatLine&) = delete;
    ChatLine& operator=(const ChatLine&) = delete;

    // Makes the edit line and the lines' window under `root` and listens for
    // the session's chat. Without a root there is nothing to show.
    void attach(CEGUI::Window* root, SessionPort& port, WindowEvents& events);

    bool isOpen() const { return mOpen; }
    void open();
    // Sends the text typed (if any) and closes the line.
    void send();
    void cancel();

    // A line from `sender` arrived (or the user's own was sent): shown on
    // one line, anything hidden in it escaped.
    void add(const std::string& sender, const std::string& text, uint32_t nowMs);
    // The server's own words (the operator's lines, its notices): shown
    // apart, above the users' lines, under "[server]" and in another colour,
    // so that no user's line can pass for them.
    void addFromServer(const std::string& text, uint32_t nowMs);
    // A note of this program's own among the users' lines (a line not sent).
    void addNote(const std::string& text, uint32_t nowMs);
    // Once a frame: lines past their time go, the oldest ones fade.
    void update(uint32_t nowMs);
    // The users' lines and notes as shown now, one a line.
    std::string shownText() const { return joined(mShown); }

private:
    struct Line {
        std::string text;
        uint32_t atMs;
    };
    void close();
    void push(std::deque<Line>& lines, std::string text, uint32_t nowMs);
    void show(uint32_t nowMs);
    static void showIn(CEGUI::Window* box, const std::deque<Line>& lines, uint32_t nowMs);
    static std::string joined(const std::deque<Line>& lines);

    SessionPort* mPort = nullptr;
    WindowEvents* mEvents = nullptr;
    CEGUI::Window* mRoot = nullptr;
    CEGUI::Window* mEdit = nullptr;
    CEGUI::Window* mLines = nullptr;
    CEGUI::Window* mServerLines = nullptr;
    uint64_t mSubscription = 0;
    bool mOpen = false;
    std::deque<Line> mShown;
    std::deque<Line> mServerShown;
    uint32_t mNowMs = 0;
    bool mUpdated = false; // mNowMs is the clock's, not 0
};

} // namespace seafold
