#include "scene/screenshottaker.h"
#include "scene/controllogic.h"

#include <OgreRenderWindow.h>

namespace seafold {

std::string ScreenshotTaker::request()
{
    mCount += 1;
    mPending = screenshotName(mCount);
    return mPending;
}

void ScreenshotTaker::frameEnded(Ogre::RenderWindow& window)
{
    if (mPending.empty())
        return;
    window.writeContentsToFile(mPending);
    mPending.clear();
}

} // namespace seafold
