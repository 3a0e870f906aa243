// The desktop's clipboard, for text the user copies out of the window.
//
// The GUI library copies only within itself, so what a host copies to tell
// others where to join would never reach a mail or a chat program. On X a
// clipboard holds nothing: the program that copied owns the CLIPBOARD
// selection and hands the text to whoever asks, for as long as it owns it.
// So this keeps a connection to the display of its own and a small window
// that is never shown, and answers requests when service() runs (once per
// frame is soon enough for a paste).
#pragma once

#include <memory>
#include <string>

namespace seafold {

class SystemClipboard {
public:
    SystemClipboard();
    ~SystemClipboard();
    SystemClipboard(const SystemClipboard&) = delete;
    SystemClipboard& operator=(const SystemClipboard&) = delete;

    // Puts `text` (UTF-8) on the clipboard. False when there is no display
    // or another program kept the selection.
    bool copy(const std::string& text);
    // Answers what other programs asked since the last call; gives the
    // text up when another program copies.
    void service();
    // The text on offer; empty once another program copied.
    const std::string& text() const { return mText; }

private:
    struct Connection;
    std::unique_ptr<Connection> mConnection;
    std::string mText;
};

} // namespace seafold
