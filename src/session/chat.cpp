#include "session/chat.h"
#include "session/names.h"
#include "session/relay.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include "base/utf8.h"

#include <algorithm>

namespace seafold {

ChatLimiter::Verdict ChatLimiter::take(size_t bytes, uint32_t nowMs)
{
    // The allowance fills at the line rate, up to a burst of as many.
    mAllowance = std::min(LinesPerSecond, mAllowance + double(uint32_t(nowMs - mFilledAt)) * LinesPerSecond / 1000.0);
    mFilledAt = nowMs;
    if (bytes > MaxLineBytes)
        return Verdict::TooLong;
    if (mAllowance < 1.0)
        return Verdict::TooMany;
    mAllowance -= 1.0;
    mToldDropped = false;
    return Verdict::Pass;
}

bool ChatLimiter::tellDropped()
{
    if (mToldDropped)
        return false;
    mToldDropped = true;
    return true;
}

std::string chatText(const RefPtr<ByteBuffer>& data)
{
    return data ? std::string(reinterpret_cast<const char*>(data->data()), data->size()) : std::string();
}

bool ChatChannel::send(const std::string& text)
{
    if (text.empty() || text.size() > ChatLimiter::MaxLineBytes || !chatLineRefusal(text).empty() ||
        (mConnection.isEstablished() && !speaksSeafold(mConnection)))
        return false;
    RefPtr<ByteBuffer> data = new ByteBuffer(uint32_t(text.size()));
    std::copy(text.begin(), text.end(), data->data());
    return mConnection.c2sChat(data);
}

void ChatChannel::receive(const RefPtr<ByteBuffer>& data)
{
    ClientRecord* sender = mConnection.senderRecord();
    Session* s = mConnection.session();
    if (!sender || !s || !data || data->size() == 0)
        return;
    const ChatLimiter::Verdict verdict = mLimiter.take(data->size(), mConnection.now());
    if (verdict != ChatLimiter::Verdict::Pass) {
        const bool tooLong = verdict == ChatLimiter::Verdict::TooLong;
        SF_LOG("LogSession", "%s: chat line dropped (%s)", mConnection.name(), tooLong ? "too long" : "too many");
        if (mLimiter.tellDropped())
            mConnection.sendServerNotice(tooLong ? "Your chat line is longer than 500 bytes; it was not sent."
                                                 : "You send chat lines faster than 5 a second; some were not sent.");
        return;
    }
    UserAction action;
    action.kind = UserAction::Chat;
    action.text = chatText(data);
    // A line shows on one line, and shows everything it holds.
    const std::string refusal = chatLineRefusal(action.text);
    if (!refusal.empty()) {
        SF_LOG("LogSession", "%s: chat line dropped (%s)", mConnection.name(), refusal.c_str());
        mConnection.sendServerNotice("Your chat line was not sent: " + refusal + ".");
        return;
    }
    relayUserAction(*s, *sender, action);
}

void SimpleEventConnection::sendServerNotice(const std::string& text, const std::string& olderText)
{
    if (text.empty())
        return;
    if (!speaksSeafold(*this)) {
        rpcMessageServerToClient(StringPtr(fitUtf8(olderText.empty() ? text : olderText, MaxNameBytes).c_str()));
        return;
    }
    const std::string line = fitUtf8(text, ChatLimiter::MaxLineBytes);
    RefPtr<ByteBuffer> data = new ByteBuffer(uint32_t(line.size()));
    std::copy(line.begin(), line.end(), data->data());
    s2cServerNotice(data);
}

} // namespace seafold
