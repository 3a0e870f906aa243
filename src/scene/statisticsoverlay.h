// The statistics panel: frame rates and the triangle count, refreshed every
// 50 frames (the frame step that scales motion follows the average rate), and
// a one-line notice that stays a few seconds.
#pragma once

#include "scene/controllogic.h"

#include <OgrePrerequisites.h>

#include <cstdint>
#include <string>

namespace CEGUI {
class Window;
}

namespace seafold {

class WindowEvents;

class StatisticsOverlay {
public:
    // How long a notice stays.
    static constexpr uint32_t NoticeMs = 4000;

    explicit StatisticsOverlay(WindowEvents& events) : mEvents(events) {}
    StatisticsOverlay(const StatisticsOverlay&) = delete;
    StatisticsOverlay& operator=(const StatisticsOverlay&) = delete;

    // Finds the panel's statistics windows under `root`; missing ones stay
    // empty.
    void attach(CEGUI::Window* root);

    // Once a frame, before motion is applied.
    void countFrame(const Ogre::RenderTarget& window);
    // The frame step that scales motion this frame.
    float timeStep() const { return mTimeStep; }

    // The frame rates and triangle count are shown only when asked for (the
    // F key, --show-fps); the panel itself shows while they or a notice do.
    void setFramesShown(bool shown);
    bool framesShown() const { return mFramesShown; }

    // A notice in the panel, for NoticeMs; "" clears it.
    void showNotice(const std::string& text);
    // Once a frame: clears a notice that has stayed long enough.
    void expireNotice(uint32_t nowMs);

private:
    void refresh(const Ogre::RenderTarget& window);
    void updateVisibility();

    WindowEvents& mEvents;
    float mTimeStep = MaxTimeStepSeconds;
    uint32_t mFrameCounter = 0;
    CEGUI::Window* mAverageFps = nullptr;
    CEGUI::Window* mCurrentFps = nullptr;
    CEGUI::Window* mBestFps = nullptr;
    CEGUI::Window* mWorstFps = nullptr;
    CEGUI::Window* mTriangleCount = nullptr;
    CEGUI::Window* mNoticeWindow = nullptr;
    CEGUI::Window* mPanel = nullptr;
    bool mFramesShown = false;
    std::string mNotice;
    uint32_t mNoticeSinceMs = 0; // when mNotice was set (real-time ms)
};

} // namespace seafold
