#include "scene/chatline.h"
#include "base/platform.h"
#include "scene/guitext.h"
#include "scene/sessionport.h"
#include "scene/windowevents.h"

#include <CEGUI/CEGUI.h>

#include <algorithm>

namespace seafold {

ChatLine::~ChatLine()
{
    if (mPort && mSubscription)
        mPort->unsubscribe(mSubscription);
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
    mEdit = windows.createWindow("TaharezLook/Editbox", "ChatEdit");
    mEdit->setArea(CEGUI::URect(CEGUI::UVector2(cegui_reldim(0.01f), cegui_reldim(0.93f)),
                                CEGUI::UVector2(cegui_reldim(0.6f), cegui_reldim(0.98f))));
    mEdit->setProperty("MaxTextLength", "500");
    mEdit->hide();
    root->addChild(mEdit);
    mSubscription =
        port.subscribeChat([this](const std::string& sender, const std::string& text) { add(sender, text, mNowMs); });
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
        add("", "Not sent: no server that knows chat is connected.", mNowMs);
    }
}

void ChatLine::cancel()
{
    if (!mOpen)
        return;
    close();
    mEvents->chatLine("cancelled");
}

void ChatLine::add(const std::string& sender, const std::string& text, uint32_t nowMs)
{
    mShown.push_back({sender.empty() ? text : sender + ": " + text, nowMs});
    while (mShown.size() > ShownLines)
        mShown.pop_front();
    show(nowMs);
}

void ChatLine::update(uint32_t nowMs)
{
    mNowMs = nowMs;
    const size_t before = mShown.size();
    while (!mShown.empty() && uint32_t(nowMs - mShown.front().atMs) >= ShownMs)
        mShown.pop_front();
    if (mShown.size() != before || !mShown.empty())
        show(nowMs);
}

void ChatLine::show(uint32_t nowMs)
{
    if (!mLines)
        return;
    std::string text;
    for (const Line& line : mShown)
        text += (text.empty() ? "" : "\n") + line.text;
    mLines->setText(guiUtf8(text));
    // The whole box fades with its newest line.
    float alpha = 1.0f;
    if (!mShown.empty()) {
        const uint32_t age = uint32_t(nowMs - mShown.back().atMs);
        if (age > ShownMs - FadeMs)
            alpha = float(ShownMs - std::min(age, ShownMs)) / float(FadeMs);
    }
    mLines->setAlpha(alpha);
}

} // namespace seafold
