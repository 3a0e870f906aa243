// Text chat, calls of version 1: a client sends a line, the server relays it
// under the sender's roster name to every other user who speaks version 1.
// A line longer than MaxChatBytes, or beyond ChatLinesPerSecond a second
// (with a burst of as many), is dropped; the sender is told once per
// episode.
#include "session/connectiontrace.h"
#include "session/names.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include <algorithm>

namespace seafold {

namespace {

std::string textOf(const RefPtr<ByteBuffer>& data)
{
    return data ? std::string(reinterpret_cast<const char*>(data->data()), data->size()) : std::string();
}

} // namespace

bool SimpleEventConnection::sendChat(const std::string& text)
{
    if (text.empty() || text.size() > MaxChatBytes || !chatLineRefusal(text).empty() ||
        (isEstablished() && !speaksSeafold(*this)))
        return false;
    RefPtr<ByteBuffer> data = new ByteBuffer(uint32_t(text.size()));
    std::copy(text.begin(), text.end(), data->data());
    return c2sChat(data);
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, c2sChat, GuaranteedOrdered, DirClientToServer,
                         (RefPtr<ByteBuffer> data))
{
    trace("c2sChat", data);
    ClientRecord* sender = senderRecord();
    Session* s = session();
    if (!sender || !s || !data || data->size() == 0)
        return;
    // The allowance fills at the line rate, up to a burst of as many.
    const uint32_t t = now();
    mChatAllowance = std::min(ChatLinesPerSecond,
                              mChatAllowance + double(uint32_t(t - mChatFilledAt)) * ChatLinesPerSecond / 1000.0);
    mChatFilledAt = t;
    const bool tooLong = data->size() > MaxChatBytes;
    if (tooLong || mChatAllowance < 1.0) {
        SF_LOG("LogSession", "%s: chat line dropped (%s)", name(), tooLong ? "too long" : "too many");
        if (!mChatToldDropped) {
            mChatToldDropped = true;
            sendServerNotice(tooLong ? "Your chat line is longer than 500 bytes; it was not sent."
                                     : "You send chat lines faster than 5 a second; some were not sent.");
        }
        return;
    }
    mChatAllowance -= 1.0;
    mChatToldDropped = false;
    const std::string text = textOf(data);
    // A line shows on one line, and shows everything it holds.
    const std::string refusal = chatLineRefusal(text);
    if (!refusal.empty()) {
        SF_LOG("LogSession", "%s: chat line dropped (%s)", name(), refusal.c_str());
        sendServerNotice("Your chat line was not sent: " + refusal + ".");
        return;
    }
    s->reportChat(sender->name, text);
    RefPtr<RPCEvent> relay = s2cChat_build(StringPtr(sender->name.c_str()), data);
    if (!relay)
        return;
    forEachOtherClient([&](SimpleEventConnection* other) {
        if (speaksSeafold(*other))
            other->postAbout(sender->id, relay);
    });
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cChat, GuaranteedOrdered, DirServerToClient,
                         (StringPtr sender, RefPtr<ByteBuffer> data))
{
    trace("s2cChat", sender, data);
    // No user goes without a name: an empty one would pass for the
    // server's own words in the views.
    if (Session* s = session())
        s->reportChat(sender.length() ? sender.c_str() : "?", textOf(data));
}

void SimpleEventConnection::sendServerNotice(const std::string& text, const std::string& olderText)
{
    if (text.empty())
        return;
    if (!speaksSeafold(*this)) {
        rpcMessageServerToClient(StringPtr(fitUtf8(olderText.empty() ? text : olderText, MaxNameBytes).c_str()));
        return;
    }
    const std::string line = fitUtf8(text, MaxChatBytes);
    RefPtr<ByteBuffer> data = new ByteBuffer(uint32_t(line.size()));
    std::copy(line.begin(), line.end(), data->data());
    s2cServerNotice(data);
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cServerNotice, GuaranteedOrdered, DirServerToClient,
                         (RefPtr<ByteBuffer> data))
{
    trace("s2cServerNotice", data);
    const std::string text = textOf(data);
    if (!text.empty())
        showServerText(text.c_str());
}

} // namespace seafold
