#include "scene/peoplepanel.h"
#include "base/platform.h"
#include "scene/guitext.h"
#include "scene/windowevents.h"
#include <nlohmann/json.hpp>

#include <CEGUI/CEGUI.h>

#include <cmath>

namespace seafold {

namespace {

// Colours of the line tones (ARGB).
CEGUI::Colour toneColour(LineTone tone)
{
    switch (tone) {
    case LineTone::Own:
        return CEGUI::Colour(0xFFFFFFFF);
    case LineTone::Speaking:
        return CEGUI::Colour(0xFF6CF08C);
    case LineTone::Good:
        return CEGUI::Colour(0xFF8CE0A0);
    case LineTone::Waiting:
        return CEGUI::Colour(0xFFF0C850);
    case LineTone::Bad:
        return CEGUI::Colour(0xFFFF6A6A);
    case LineTone::Detail:
        return CEGUI::Colour(0xFFA8B4C8);
    case LineTone::Normal:
    default:
        return CEGUI::Colour(0xFFE4EAF4);
    }
}

std::string colourRect(LineTone tone)
{
    CEGUI::String colour = CEGUI::PropertyHelper<CEGUI::Colour>::toString(toneColour(tone));
    std::string c(colour.c_str());
    return "tl:" + c + " tr:" + c + " bl:" + c + " br:" + c;
}

// A change of the level meter smaller than this is not worth a redraw.
constexpr float LevelStep = 0.02f;

} // namespace

PeoplePanel::~PeoplePanel()
{
    if (mPort)
        mPort->unsubscribe(mSpeakerSubscription);
}

void PeoplePanel::attach(CEGUI::Window* root, SessionPort& port, WindowEvents& events)
{
    mEvents = &events;
    if (mPort)
        mPort->unsubscribe(mSpeakerSubscription);
    mPort = &port;
    mVoices.clear();
    mSpeakerSubscription =
        port.subscribeSpeakers([this](uint64_t userId) { mVoices.heard(userId, getRealMilliseconds()); });
    if (!root)
        return;
    mPanel = root->getChildRecursive("PeoplePanel");
    mList = dynamic_cast<CEGUI::Listbox*>(root->getChildRecursive("PeopleList"));
    mTalkStatus = root->getChildRecursive("TalkStatus");
    mTalkLevel = dynamic_cast<CEGUI::ProgressBar*>(root->getChildRecursive("TalkLevel"));
    if (mTalkStatus)
        mTalkStatus->setTextParsingEnabled(false);
    // The server has no push-to-talk.
    if (!port.isClient()) {
        if (mTalkStatus)
            mTalkStatus->hide();
        if (mTalkLevel)
            mTalkLevel->hide();
    }
}

void PeoplePanel::setShown(bool shown)
{
    mShown = shown;
    if (mPanel)
        mPanel->setVisible(shown);
    // Shown again: refresh at once.
    mFirst = mFirst || shown;
}

void PeoplePanel::update(uint32_t nowMs, const std::string& ownModel)
{
    if (!mShown || !mPort)
        return;
    if (mFirst || uint32_t(nowMs - mLastList) >= ListRefreshMs)
        refreshList(nowMs, ownModel);
    if (mPort->isClient())
        refreshTalk();
}

void PeoplePanel::refreshList(uint32_t nowMs, const std::string& ownModel)
{
    bool first = mFirst;
    mFirst = false;
    mLastList = nowMs;
    SessionStatus status;
    mPort->describeSession(status);
    if (first || uint32_t(nowMs - mLastStats) >= StatsRefreshMs) {
        mLastStats = nowMs;
        mShownLinks.clear();
        if (status.hasLink)
            mShownLinks[""] = status.link;
        for (const PersonStatus& person : status.people)
            if (person.hasLink)
                mShownLinks[person.name] = person.link;
    }
    // Whoever left is forgotten: the marks are kept for the users shown.
    std::vector<uint64_t> present;
    for (const PersonStatus& person : status.people)
        present.push_back(person.id);
    mVoices.keepOnly(present);
    std::vector<PanelLine> lines = peopleLines(
        status, ownModel, [this, nowMs](uint64_t userId) { return mVoices.playing(userId, nowMs); }, mShownLinks);
    if (lines == mLines)
        return;
    mLines = std::move(lines);

    if (mList) {
        // The items are kept and rewritten; only the surplus goes.
        while (mList->getItemCount() > mLines.size())
            mList->removeItem(mList->getListboxItemFromIndex(mList->getItemCount() - 1));
        for (size_t i = 0; i < mLines.size(); ++i) {
            CEGUI::ListboxTextItem* item;
            if (i < mList->getItemCount()) {
                item = static_cast<CEGUI::ListboxTextItem*>(mList->getListboxItemFromIndex(i));
            } else {
                item = new CEGUI::ListboxTextItem("", CEGUI::uint(i));
                // Names are the users' own texts: no markup in them is obeyed.
                item->setTextParsingEnabled(false);
                mList->addItem(item);
            }
            item->setText(guiUtf8(mLines[i].text));
            item->setTextColours(toneColour(mLines[i].tone));
        }
        mList->handleUpdatedItemData();
    }
    if (mEvents && mEvents->active()) {
        Json texts = Json::array();
        for (const PanelLine& line : mLines)
            texts.push_back(line.text);
        mEvents->people(texts);
    }
}

void PeoplePanel::refreshTalk()
{
    SessionPort::Microphone talk = mPort->microphone();
    if (talk != mTalk || !mTalkShown) {
        mTalk = talk;
        mTalkShown = true;
        PanelLine line = talkLine(talk);
        if (mTalkStatus) {
            mTalkStatus->setText(guiUtf8(line.text));
            mTalkStatus->setProperty("TextColours", colourRect(line.tone));
        }
        if (mEvents)
            mEvents->talk(line.text);
    }
    float level = talk == SessionPort::Microphone::Capturing ? mPort->talkLevel() : 0.0f;
    if (mTalkLevel && std::fabs(level - mLevel) >= LevelStep) {
        mTalkLevel->setProgress(level);
        mLevel = level;
    }
}

} // namespace seafold
