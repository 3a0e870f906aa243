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
        for (const std::string& name : mMuted)
            mTarget->setVoiceVolume(name, true, mTarget->voiceVolume(name));
        if (mTalkChosen)
            mTarget->setVoiceActivation(mVoiceActivation);
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
    keep("model", {meshName}, false);
}

void WindowPort::setVoiceActivation(bool on)
{
    const bool before = current().voiceActivation();
    current().setVoiceActivation(on);
    mTalkChosen = true;
    mVoiceActivation = on;
    if (on != before)
        keep("voice-activation", {on ? "true" : "false"}, false);
}

void WindowPort::setVoiceVolume(const std::string& name, bool muted, float volume)
{
    current().setVoiceVolume(name, muted, volume);
    auto found = std::find(mMuted.begin(), mMuted.end(), name);
    const bool was = found != mMuted.end();
    if (muted == was)
        return;
    if (muted)
        mMuted.push_back(name);
    else
        mMuted.erase(found);
    keep("mute", mMuted, true);
}

void WindowPort::setMuted(const std::vector<std::string>& names)
{
    mMuted.clear();
    for (const std::string& name : names) {
        if (std::find(mMuted.begin(), mMuted.end(), name) == mMuted.end())
            mMuted.push_back(name);
    }
}

void WindowPort::keep(const std::string& option, const std::vector<std::string>& values, bool list) const
{
    if (mKeeper)
        mKeeper(option, values, list);
}

} // namespace seafold
