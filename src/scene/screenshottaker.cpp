#include "scene/screenshottaker.h"
#include "base/installpaths.h"
#include "scene/controllogic.h"

#include <OgreRenderWindow.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

namespace seafold {
namespace {

// Enough names for one second of held Print Screen.
constexpr uint32_t MaxShotsPerSecond = 1000;

// XDG_PICTURES_DIR="$HOME/Pictures" from user-dirs.dirs; empty without one.
std::string picturesFromUserDirs(const std::string& home)
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string file = (config && *config ? std::string(config) : home + "/.config") + "/user-dirs.dirs";
    std::ifstream in(file);
    const std::string key = "XDG_PICTURES_DIR=\"";
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0 || line.back() != '"')
            continue;
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        if (value.compare(0, 5, "$HOME") == 0)
            value = home + value.substr(5);
        return value;
    }
    return std::string();
}

} // namespace

std::string screenshotFolder()
{
    const char* homeText = std::getenv("HOME");
    std::string home = homeText && *homeText ? homeText : "";
    const char* pictures = std::getenv("XDG_PICTURES_DIR");
    std::string folder = pictures && *pictures ? pictures : home.empty() ? "" : picturesFromUserDirs(home);
    if (!folder.empty() && isDirectory(folder))
        return folder;
    return home.empty() ? "." : home;
}

std::string ScreenshotTaker::request()
{
    std::time_t now = std::time(nullptr);
    std::tm when{};
    localtime_r(&now, &when);
    const std::string folder = screenshotFolder();
    std::string path;
    for (uint32_t nth = 1; nth <= MaxShotsPerSecond; ++nth) {
        path = folder + "/" + screenshotName(when, nth);
        // Not over a file, nor over the one still to be written.
        if (!fileExists(path) && path != mPending)
            break;
    }
    mPending = path;
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
