// Print Screen: the window saved in the user's pictures folder
// ($XDG_PICTURES_DIR, else the home folder) under a name with the date and
// time, never over an earlier file. The picture is read when the frame has
// ended, so that the GUI, which draws late in the frame, is in it.
#pragma once

#include <OgrePrerequisites.h>

#include <string>

namespace seafold {

// Where screenshots go: $XDG_PICTURES_DIR (from the environment, else from
// the user's user-dirs.dirs) when it is a folder, else $HOME, else ".".
std::string screenshotFolder();

class ScreenshotTaker {
public:
    // Asks for the window at the end of this frame; returns the file's path.
    std::string request();
    // Writes the picture asked for, if any.
    void frameEnded(Ogre::RenderWindow& window);

private:
    std::string mPending; // file to write when the frame has ended
};

} // namespace seafold
