#include "scene/statisticsoverlay.h"
#include "base/platform.h"
#include "scene/controllogic.h"
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
    // Without the frame rates the notice has the whole box, so that a long
    // one (a screenshot's path) wraps instead of being cut off.
    if (mNoticeWindow)
        mNoticeWindow->setArea(CEGUI::URect(cegui_reldim(0.03f), cegui_reldim(mFramesShown ? 0.82f : 0.04f),
                                            cegui_reldim(0.97f), cegui_reldim(0.98f)));
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
    // Whole frames per second and frame times in milliseconds: the raw
    // figures (0.0106394, 93990) said nothing at a glance.
    if (mAverageFps)
        mAverageFps->setText(guiText("Average FPS: " + frameRateText(stats.avgFPS)));
    if (mCurrentFps)
        mCurrentFps->setText(guiText("Current FPS: " + frameRateText(stats.lastFPS)));
    if (mBestFps)
        mBestFps->setText(
            guiText("Best FPS: " + frameRateText(stats.bestFPS) + ", " + frameTimeText(stats.bestFrameTime)));
    if (mWorstFps)
        mWorstFps->setText(
            guiText("Worst FPS: " + frameRateText(stats.worstFPS) + ", " + frameTimeText(stats.worstFrameTime)));
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
