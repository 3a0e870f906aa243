#include "scene/chatline.h"
#include "base/platform.h"
#include "scene/guitext.h"
#include "scene/sessionport.h"
#include "scene/windowevents.h"
#include "session/names.h"

#include <CEGUI/CEGUI.h>

#include <algorithm>

namespace seafold {

ChatLine::~ChatLine()
{
    if (mPort && mSubscription)
        mPort->unsubscribe(mSubscription);
    if (mPort)
        mPort->setNoteShower(nullptr);
}

void ChatLine::attach(CEGUI::Window* root, SessionPort& port, WindowEvents& events)
{
    mPort = &port;
    mEvents = &events;
    mRoot = root;
    if (!root)
        return;
    CEGUI::WindowManager& windows = CEGUI::WindowManager::getSingleton();
    mLines = windows.createWindow("TaharezLook/StaticText", "ChatLines");
    mLines->setArea(CEGUI::URect(CEGUI::UVector2(cegui_reldim(0.01f), cegui_reldim(0.58f)),
                                 CEGUI::UVector2(cegui_reldim(0.6f), cegui_reldim(0.92f))));
    mLines->setProperty("FrameEnabled", "false");
    mLines->setProperty("BackgroundEnabled", "false");
    mLines->setProperty("VertFormatting", "BottomAligned");
    mLines->setProperty("HorzFormatting", "WordWrapLeftAligned");
    mLines->setProperty("TextColours", "FFFFFFFF");
    mLines->setMousePassThroughEnabled(true);
    // The lines are the users' own texts: no markup in them is obeyed.
    mLines->setTextParsingEnabled(false);
    root->addChild(mLines);
    // The server's words, just above, in amber.
    mServerLines = windows.createWindow("TaharezLook/StaticText", "ChatServerLines");
    mServerLines->setArea(CEGUI::URect(CEGUI::UVector2(cegui_reldim(0.01f), cegui_reldim(0.44f)),
                                       CEGUI::UVector2(cegui_reldim(0.6f), cegui_reldim(0.575f))));
    mServerLines->setProperty("FrameEnabled", "false");
    mServerLines->setProperty("BackgroundEnabled", "false");
    mServerLines->setProperty("VertFormatting", "BottomAligned");
    mServerLines->setProperty("HorzFormatting", "WordWrapLeftAligned");
    mServerLines->setProperty("TextColours", "FFFFC040");
    mServerLines->setMousePassThroughEnabled(true);
    mServerLines->setTextParsingEnabled(false);
    root->addChild(mServerLines);
    mEdit = windows.createWindow("TaharezLook/Editbox", "ChatEdit");
    mEdit->setArea(CEGUI::URect(CEGUI::UVector2(cegui_reldim(0.01f), cegui_reldim(0.93f)),
                                CEGUI::UVector2(cegui_reldim(0.6f), cegui_reldim(0.98f))));
    mEdit->setProperty("MaxTextLength", "500");
    mEdit->hide();
    root->addChild(mEdit);
    // A line without a sender is the server's: no user goes without a name.
    mSubscription = port.subscribeChat([this](const std::string& sender, const std::string& text) {
        if (sender.empty())
            addFromServer(text, mNowMs);
        else
            add(sender, text, mNowMs);
    });
    port.setNoteShower([this](const std::string& text) { addNote(text, mNowMs); });
}

void ChatLine::open()
{
    if (!mEdit || mOpen)
        return;
    mOpen = true;
    mEdit->setText("");
    mEdit->show();
    mEdit->activate();
    mEvents->chatLine("open");
}

void ChatLine::close()
{
    mOpen = false;
    if (mEdit)
        mEdit->hide();
    // Key events reach the view's handlers again.
    if (mRoot)
        mRoot->activate();
}

void ChatLine::send()
{
    if (!mOpen)
        return;
    const CEGUI::String typed = mEdit->getText();
    const std::string text(typed.c_str());
    close();
    if (text.empty()) {
        mEvents->chatLine("cancelled");
        return;
    }
    const bool sent = mPort->sendChat(text);
    mEvents->chatLine(sent ? "sent" : "not sent");
    if (sent) {
        SessionStatus status;
        mPort->describeSession(status);
        add(status.userName.empty() ? std::string("you") : status.userName, text, mNowMs);
    } else {
        addNote("Not sent: no server that knows chat is connected, or the line holds a character that does not "
                "show.",
                mNowMs);
    }
}

void ChatLine::cancel()
{
    if (!mOpen)
        return;
    close();
    mEvents->chatLine("cancelled");
}

void ChatLine::push(std::deque<Line>& lines, std::string text, uint32_t nowMs)
{
    lines.push_back({std::move(text), nowMs});
    while (lines.size() > ShownLines)
        lines.pop_front();
    show(nowMs);
}

void ChatLine::add(const std::string& sender, const std::string& text, uint32_t nowMs)
{
    push(mShown, oneLineText(sender) + ": " + oneLineText(text), nowMs);
}

void ChatLine::addFromServer(const std::string& text, uint32_t nowMs)
{
    push(mServerShown, "[server] " + oneLineText(text), nowMs);
}

void ChatLine::addNote(const std::string& text, uint32_t nowMs)
{
    push(mShown, text, nowMs);
}

void ChatLine::update(uint32_t nowMs)
{
    mNowMs = nowMs;
    if (!mUpdated) {
        // Notes given before the first frame (the sound device, the config
        // file's lines let be) are shown from it: stamped 0 they were gone
        // at once, the clock being far past ShownMs.
        mUpdated = true;
        for (std::deque<Line>* lines : {&mShown, &mServerShown})
            for (Line& line : *lines)
                line.atMs = nowMs;
    }
    bool changed = false;
    for (std::deque<Line>* lines : {&mShown, &mServerShown})
        while (!lines->empty() && uint32_t(nowMs - lines->front().atMs) >= ShownMs) {
            lines->pop_front();
            changed = true;
        }
    if (changed || !mShown.empty() || !mServerShown.empty())
        show(nowMs);
}

void ChatLine::show(uint32_t nowMs)
{
    showIn(mLines, mShown, nowMs);
    showIn(mServerLines, mServerShown, nowMs);
}

std::string ChatLine::joined(const std::deque<Line>& lines)
{
    std::string text;
    for (const Line& line : lines)
        text += (text.empty() ? "" : "\n") + line.text;
    return text;
}

void ChatLine::showIn(CEGUI::Window* box, const std::deque<Line>& lines, uint32_t nowMs)
{
    if (!box)
        return;
    box->setText(guiUtf8(joined(lines)));
    // The whole box fades with its newest line.
    float alpha = 1.0f;
    if (!lines.empty()) {
        const uint32_t age = uint32_t(nowMs - lines.back().atMs);
        if (age > ShownMs - FadeMs)
            alpha = float(ShownMs - std::min(age, ShownMs)) / float(FadeMs);
    }
    box->setAlpha(alpha);
}

} // namespace seafold
