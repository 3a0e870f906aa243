#include "scene/statisticsoverlay.h"
#include "base/platform.h"
#include "scene/guitext.h"
#include "scene/windowevents.h"

#include <OgreRenderTarget.h>
#include <OgreStringConverter.h>

#include <CEGUI/CEGUI.h>

namespace seafold {

namespace {

// Every 50 frames: often enough to read, rarely enough to cost nothing.
constexpr uint32_t RefreshFrames = 50;

CEGUI::String guiText(const std::string& text)
{
    return CEGUI::String(text.c_str());
}

} // namespace

void StatisticsOverlay::attach(CEGUI::Window* root)
{
    if (!root)
        return;
    mAverageFps = root->getChildRecursive("OPAverageFPS");
    mCurrentFps = root->getChildRecursive("OPCurrentFPS");
    mBestFps = root->getChildRecursive("OPBestFPS");
    mWorstFps = root->getChildRecursive("OPWorstFPS");
    mTriangleCount = root->getChildRecursive("OPTriCount");
    mNoticeWindow = root->getChildRecursive("OPDebugMsg");
    mPanel = root->getChildRecursive("StatsPanel");
    updateVisibility();
}

void StatisticsOverlay::setFramesShown(bool shown)
{
    mFramesShown = shown;
    updateVisibility();
}

void StatisticsOverlay::updateVisibility()
{
    for (CEGUI::Window* window : {mAverageFps, mCurrentFps, mBestFps, mWorstFps, mTriangleCount}) {
        if (window)
            window->setVisible(mFramesShown);
    }
    if (mPanel)
        mPanel->setVisible(mFramesShown || !mNotice.empty());
}

void StatisticsOverlay::countFrame(const Ogre::RenderTarget& window)
{
    mFrameCounter += 1;
    if (mFrameCounter < RefreshFrames)
        return;
    mFrameCounter = 0;
    refresh(window);
}

void StatisticsOverlay::refresh(const Ogre::RenderTarget& window)
{
    const Ogre::RenderTarget::FrameStats& stats = window.getStatistics();
    using Ogre::StringConverter;
    if (mAverageFps)
        mAverageFps->setText(guiText("Average FPS: " + StringConverter::toString(stats.avgFPS)));
    if (mCurrentFps)
        mCurrentFps->setText(guiText("Current FPS: " + StringConverter::toString(stats.lastFPS)));
    if (mBestFps)
        mBestFps->setText(guiText("Best FPS: " + StringConverter::toString(stats.bestFPS) + " " +
                                  StringConverter::toString(stats.bestFrameTime) + " ms"));
    if (mWorstFps)
        mWorstFps->setText(guiText("Worst FPS: " + StringConverter::toString(stats.worstFPS) + " " +
                                   StringConverter::toString(stats.worstFrameTime) + " ms"));
    if (mTriangleCount)
        mTriangleCount->setText(guiText("Triangle Count: " + StringConverter::toString(stats.triangleCount)));
    mTimeStep = timeStepFromAverageFps(stats.avgFPS);
}

void StatisticsOverlay::showNotice(const std::string& text)
{
    mNotice = text;
    mNoticeSinceMs = getRealMilliseconds();
    if (mNoticeWindow)
        mNoticeWindow->setText(guiUtf8(mNotice));
    updateVisibility();
    mEvents.notice(mNotice);
}

void StatisticsOverlay::expireNotice(uint32_t nowMs)
{
    if (!mNotice.empty() && uint32_t(nowMs - mNoticeSinceMs) >= NoticeMs)
        showNotice("");
}

} // namespace seafold
