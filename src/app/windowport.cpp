#include "app/windowport.h"

#include <algorithm>

namespace seafold {

void WindowPort::setTarget(SessionPort* target)
{
    if (target == mTarget)
        return;
    for (auto& entry : mListeners) {
        if (mTarget && entry.second.targetId)
            mTarget->unsubscribe(entry.second.targetId);
        entry.second.targetId = 0;
    }
    mTarget = target;
    for (auto& entry : mListeners)
        subscribeToTarget(entry.second);
    // A new session hears this user's mutes at once, and talks as chosen.
    if (mTarget) {
        for (const auto& entry : mVolumes)
            mTarget->setVoiceVolume(entry.first, mTarget->voiceMuted(entry.first), entry.second);
        for (const std::string& name : mMuted)
            mTarget->setVoiceVolume(name, true, mTarget->voiceVolume(name));
        if (mTalkChosen)
            mTarget->setVoiceActivation(mVoiceActivation);
        mTarget->setMasterVolume(mMasterVolume);
    }
}

void WindowPort::subscribeToTarget(Listener& listener)
{
    if (!mTarget)
        return;
    listener.targetId =
        listener.speakers ? mTarget->subscribeSpeakers(listener.speakers) : mTarget->subscribeChat(listener.chat);
}

uint64_t WindowPort::subscribeSpeakers(std::function<void(uint64_t userId)> heard)
{
    Listener& listener = mListeners[mNextId];
    listener.speakers = std::move(heard);
    subscribeToTarget(listener);
    return mNextId++;
}

uint64_t WindowPort::subscribeChat(std::function<void(const std::string& sender, const std::string& text)> heard)
{
    Listener& listener = mListeners[mNextId];
    listener.chat = std::move(heard);
    subscribeToTarget(listener);
    return mNextId++;
}

void WindowPort::unsubscribe(uint64_t id)
{
    auto found = mListeners.find(id);
    if (found == mListeners.end())
        return;
    if (mTarget && found->second.targetId)
        mTarget->unsubscribe(found->second.targetId);
    mListeners.erase(found);
}

void WindowPort::announceSelection(const std::string& meshName)
{
    current().announceSelection(meshName);
    if (meshName == mLastModel)
        return;
    mLastModel = meshName;
    remember("model", {meshName}, false);
}

void WindowPort::setVoiceActivation(bool on)
{
    const bool before = current().voiceActivation();
    current().setVoiceActivation(on);
    mTalkChosen = true;
    mVoiceActivation = on;
    if (on != before)
        remember("voice-activation", {on ? "true" : "false"}, false);
}

void WindowPort::setVoiceVolume(const std::string& name, bool muted, float volume)
{
    current().setVoiceVolume(name, muted, volume);
    auto kept = mVolumes.find(name);
    const float before = kept == mVolumes.end() ? 1.0f : kept->second;
    if (volume != before) {
        if (volume == 1.0f)
            mVolumes.erase(name);
        else
            mVolumes[name] = volume;
        std::vector<std::string> volumes;
        for (const auto& entry : mVolumes)
            volumes.push_back(entry.first + "=" + std::to_string(int(entry.second * 100.0f + 0.5f)));
        remember("volume", volumes, true);
    }
    auto found = std::find(mMuted.begin(), mMuted.end(), name);
    const bool was = found != mMuted.end();
    if (muted == was)
        return;
    if (muted)
        mMuted.push_back(name);
    else
        mMuted.erase(found);
    remember("mute", mMuted, true);
}

void WindowPort::setMasterVolume(float volume)
{
    current().setMasterVolume(volume);
    const int before = int(mMasterVolume * 100.0f + 0.5f);
    mMasterVolume = volume;
    // Kept in whole percent: a slider's drag is not a write per pixel.
    const int percent = int(volume * 100.0f + 0.5f);
    if (percent != before)
        remember("master-volume", {std::to_string(percent)}, false);
}

void WindowPort::setMuted(const std::vector<std::string>& names)
{
    mMuted.clear();
    for (const std::string& name : names) {
        if (std::find(mMuted.begin(), mMuted.end(), name) == mMuted.end())
            mMuted.push_back(name);
    }
}

void WindowPort::setVolumes(const std::vector<std::pair<std::string, float>>& volumes)
{
    mVolumes.clear();
    for (const auto& entry : volumes)
        if (entry.second != 1.0f)
            mVolumes[entry.first] = entry.second;
}

void WindowPort::remember(const std::string& option, const std::vector<std::string>& values, bool list)
{
    if (!mKeeper)
        return;
    FileWriteResult kept = mKeeper(option, values, list);
    if (kept || kept.error == mToldKeepFailure)
        return;
    mToldKeepFailure = kept.error;
    // A note of this program's own: a line without a sender is the server's.
    showNote("Your choices cannot be kept for the next start: " + kept.error + ".");
}

FileWriteResult WindowPort::keep(const std::string& option, const std::vector<std::string>& values, bool list)
{
    return mKeeper ? mKeeper(option, values, list) : FileWriteResult::failed("nothing keeps choices here");
}

void WindowPort::setNoteShower(std::function<void(const std::string& text)> show)
{
    mShowNote = std::move(show);
    if (!mShowNote)
        return;
    for (const std::string& text : mWaitingNotes)
        mShowNote(text);
    mWaitingNotes.clear();
}

void WindowPort::showNote(const std::string& text)
{
    if (mShowNote)
        mShowNote(text);
    else if (mWaitingNotes.size() < 8)
        mWaitingNotes.push_back(text);
}

} // namespace seafold
