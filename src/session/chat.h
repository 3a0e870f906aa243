// Text chat, calls of version 1: a client sends a line, the server relays it
// under the sender's roster name to every other user who speaks version 1.
// A line longer than MaxLineBytes, or beyond LinesPerSecond a second (with
// a burst of as many), is dropped; the sender is told once per episode. So
// is a line that would not show on one line as it is (names.h).
// The server's own words to a user (sendServerNotice, s2cServerNotice) are
// sent here too: a kind of their own that no chat line can pass for.
//
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/rpc.h"

namespace seafold {

class SimpleEventConnection;

// One sender's allowance of chat lines; knows nothing of connections.
class ChatLimiter {
public:
    static constexpr size_t MaxLineBytes = 500;
    // Lines a sender may send a second, in a burst of as many.
    static constexpr double LinesPerSecond = 5;

    enum class Verdict { Pass, TooLong, TooMany };
    // A line of `bytes` at `nowMs`: passed (and counted) or why it is dropped.
    Verdict take(size_t bytes, uint32_t nowMs);
    // True for the first drop of an episode (lines dropped with no line
    // passed between them): the sender is to be told, once.
    bool tellDropped();

private:
    double mAllowance = LinesPerSecond; // lines
    uint32_t mFilledAt = 0;             // when the allowance was last filled
    bool mToldDropped = false;
};

// The text of a chat line's bytes.
std::string chatText(const RefPtr<ByteBuffer>& data);

class ChatChannel {
public:
    explicit ChatChannel(SimpleEventConnection& connection) : mConnection(connection) {}
    ChatChannel(const ChatChannel&) = delete;
    ChatChannel& operator=(const ChatChannel&) = delete;

    // Client: the line to the server (nothing when the server does not
    // speak version 1, or the line is empty or too long).
    bool send(const std::string& text);
    // Server, c2sChat: within the limit, relayed from the sender.
    void receive(const RefPtr<ByteBuffer>& data);

private:
    SimpleEventConnection& mConnection;
    ChatLimiter mLimiter;
};

} // namespace seafold
