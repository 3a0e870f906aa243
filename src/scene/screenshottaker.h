// Print Screen: the window saved as screenshot_N.png in the working folder.
// The picture is read when the frame has ended, so that the GUI, which draws
// late in the frame, is in it.
#pragma once

#include <OgrePrerequisites.h>

#include <cstdint>
#include <string>

namespace seafold {

class ScreenshotTaker {
public:
    // Asks for the window at the end of this frame; returns the file's name.
    std::string request();
    // Writes the picture asked for, if any.
    void frameEnded(Ogre::RenderWindow& window);

private:
    uint32_t mCount = 0;
    std::string mPending; // file to write when the frame has ended
};

} // namespace seafold
