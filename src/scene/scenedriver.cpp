#include "scene/scenedriver.h"
#include "base/installpaths.h"
#include "base/platform.h"
#include "scene/framelistener.h"
#include "scene/seafold.h"

#include <OgreException.h>
#include <OgreFrameListener.h>
#include <OgreRenderWindow.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace seafold {

namespace {

// Taken during static initialisation, before main: the start of the process
// as far as start-up time is concerned.
const int64_t gProcessStartTimer = getHighPrecisionTimerValue();

long environmentNumber(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    return *end == '\0' ? value : fallback;
}

// Saves the window once the given number of frames is drawn, and then ends
// rendering. The GUI draws from its own "rendering queued" listener, which may
// run after ours, so the picture is read when the frame has ended: Mesa keeps
// the back buffer's contents across the swap.
class ScreenshotHook : public Ogre::FrameListener {
public:
    ScreenshotHook(Ogre::RenderWindow* window, long frames, std::string path)
        : mWindow(window), mFrames(frames), mPath(std::move(path))
    {
    }

    bool frameEnded(const Ogre::FrameEvent&) override
    {
        if (++mCount < mFrames)
            return true;
        mWindow->writeContentsToFile(mPath);
        return false;
    }

private:
    Ogre::RenderWindow* mWindow;
    long mFrames;
    long mCount = 0;
    std::string mPath;
};

// The renderer names the window in Latin-1; the title is UTF-8 (its dash is
// not Latin-1), so it is set again as UTF-8, in the property that window
// managers read first and in the classic one.
void setUtf8WindowTitle(Ogre::RenderWindow* window, const std::string& title)
{
    Display* display = nullptr;
    ::Window handle = 0;
    window->getCustomAttribute("XDISPLAY", &display);
    window->getCustomAttribute("WINDOW", &handle);
    if (!display || !handle)
        return;
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    const auto* bytes = reinterpret_cast<const unsigned char*>(title.data());
    int length = int(title.size());
    XChangeProperty(display, handle, XInternAtom(display, "_NET_WM_NAME", False), utf8, 8, PropModeReplace, bytes,
                    length);
    XChangeProperty(display, handle, XA_WM_NAME, utf8, 8, PropModeReplace, bytes, length);
    XFlush(display);
}

// SEAFOLD_WINDOW_AT=X,Y: the window's top left corner on the screen, so
// that several windows of one machine stand side by side (scripts/run.sh).
void placeWindow(Ogre::RenderWindow* window, const char* setting)
{
    int x = 0, y = 0;
    if (!setting || std::sscanf(setting, "%d,%d", &x, &y) != 2)
        return;
    Display* display = nullptr;
    ::Window handle = 0;
    window->getCustomAttribute("XDISPLAY", &display);
    window->getCustomAttribute("WINDOW", &handle);
    if (!display || !handle)
        return;
    XMoveWindow(display, handle, x, y);
    XFlush(display);
}

// SEAFOLD_LOOK_AT: "light" or "X,Y,Z": the camera turns to that point.
void lookAtFromSetting(Seafold& app, const std::string& setting)
{
    Ogre::Vector3 target;
    if (setting == "light") {
        if (!app.lightPosition(target))
            return;
    } else if (std::sscanf(setting.c_str(), "%f,%f,%f", &target.x, &target.y, &target.z) != 3) {
        return;
    }
    app.cameraControl().lookAt(target);
}

class WindowedDriver : public WindowedFrontEnd {
public:
    WindowedDriver(const std::string& mediaDirectory, SessionPort& session, EventLog* eventLog, bool showFrameRates,
                   bool startWindow)
    {
        mApp.setStartWindowWanted(startWindow);
        mApp.setMediaDirectory(mediaDirectory);
        mApp.setFramesShownAtStart(showFrameRates);
        mApp.setLogDirectory(mLogDirectory);
        mApp.setSessionPort(&session);
        mApp.setEventLog(eventLog);
        const char* sliders = std::getenv("SEAFOLD_MATERIAL_SLIDERS");
        if (sliders && std::string(sliders) == "open")
            mApp.setMaterialSlidersOpenAtStart(true);
    }

    ~WindowedDriver() override
    {
        WindowedDriver::shutDown();
        mApp.setSessionPort(nullptr);
        mApp.setEventLog(nullptr);
    }

    void shutDown() override
    {
        if (mScreenshotHook)
            mApp.removeFrameListener(mScreenshotHook.get());
        mScreenshotHook.reset();
        mApp.tearDown();
    }

    bool runGuarded(const std::function<void()>& region) override
    {
        try {
            region();
            return true;
        } catch (const Ogre::Exception& e) {
            std::cerr << "An exception has occured: " << e.getFullDescription() << std::endl;
            return false;
        }
    }

    bool setUp() override
    {
        if (!mApp.setUpApplication()) {
            std::fprintf(stderr,
                         "seafold: no window: the renderer or the GUI could not start, or the configuration "
                         "dialog was cancelled (Ogre.log and CEGUI.log in %s say why)\n",
                         mLogDirectory.c_str());
            return false;
        }
        setUtf8WindowTitle(mApp.window(), mApp.windowTitle());
        placeWindow(mApp.window(), std::getenv("SEAFOLD_WINDOW_AT"));
        long frames = environmentNumber("SEAFOLD_SCREENSHOT_AFTER_FRAMES", 0);
        if (frames > 0) {
            const char* path = std::getenv("SEAFOLD_SCREENSHOT_PATH");
            mScreenshotHook.reset(
                new ScreenshotHook(mApp.window(), frames, path && *path ? path : "seafold_frame.png"));
            mApp.addFrameListener(mScreenshotHook.get());
        }
        const char* material = std::getenv("SEAFOLD_OCEAN_MATERIAL");
        if (material && *material)
            mApp.selectOceanMaterialNamed(material);
        const char* lightAngle = std::getenv("SEAFOLD_LIGHT_ANGLE");
        if (lightAngle && *lightAngle)
            mApp.swingLight(float(std::atof(lightAngle)));
        const char* lookAt = std::getenv("SEAFOLD_LOOK_AT");
        if (lookAt && *lookAt)
            lookAtFromSetting(mApp, lookAt);
        if (!mModelAtStart.empty())
            mApp.selectOwnModel(mModelAtStart);
        const char* model = std::getenv("SEAFOLD_SHOW_MODEL");
        if (model && *model)
            mApp.ownModel().showUnannounced(model);
        const char* people = std::getenv("SEAFOLD_PEOPLE_PANEL");
        if (people && std::string(people) == "0")
            mApp.setPeoplePanelShown(false);
        const char* report = std::getenv("SEAFOLD_FRAME_REPORT");
        mReport = report && std::string(report) == "1";
        return true;
    }

    void startRendering() override { mApp.startRendering(); }

    StartWindow& startWindow() override { return mApp.startWindow(); }
    bool selectOwnModel(const std::string& meshName) override { return mApp.selectOwnModel(meshName); }
    void setModelAtStart(const std::string& meshName) override { mModelAtStart = meshName; }
    void setSettingsPort(SettingsPort* port) override { mApp.setSettingsPort(port); }
    void setKeyBindings(const KeyBindings& keys) override { mApp.keyBindings() = keys; }
    void setOnLeave(std::function<void()> leave) override { mApp.setOnLeave(std::move(leave)); }
    void setSettingsOpener(std::function<void()> open) override
    {
        mApp.sessionMenu().setSettingsOpener(std::move(open));
    }
    void setMaterialSliders(bool openAtStart, std::function<void(bool open)> told) override
    {
        if (openAtStart)
            mApp.setMaterialSlidersOpenAtStart(true);
        mApp.setOnMaterialSlidersFolded(std::move(told));
    }

    bool renderOneFrame() override
    {
        bool end = mApp.renderOneFrame();
        int64_t now = getHighPrecisionTimerValue();
        // A client the server renamed goes by the new name in its title too.
        if (mFrames % TitleCheckFrames == 0 && mApp.refreshWindowTitle())
            setUtf8WindowTitle(mApp.window(), mApp.windowTitle());
        if (mFrames++ == 0)
            mFirstFrameTime = now;
        if (end && mReport)
            report(now);
        return end;
    }

private:
    void report(int64_t now)
    {
        double firstMs = getHighPrecisionMilliseconds(mFirstFrameTime - gProcessStartTimer);
        double loopSeconds = getHighPrecisionMilliseconds(now - mFirstFrameTime) / 1000.0;
        double fps = loopSeconds > 0 ? double(mFrames - 1) / loopSeconds : 0.0;
        std::fprintf(stderr,
                     "seafold: first frame %.0f ms after start; %ld frames, %.1f frames per second after "
                     "the first\n",
                     firstMs, mFrames, fps);
    }

    // About twice a second at the usual frame rates.
    static constexpr long TitleCheckFrames = 30;

    // The scene; declared first, so that it goes last.
    Seafold mApp;
    std::unique_ptr<ScreenshotHook> mScreenshotHook;
    // The logs go to the user's cache folder, not the working folder.
    const std::string mLogDirectory = userCacheDirectory();
    std::string mModelAtStart;
    bool mReport = false;
    long mFrames = 0;
    int64_t mFirstFrameTime = 0;
};

} // namespace

namespace {
constexpr int DisplayOpenAttempts = 10;
constexpr uint32_t DisplayRetryMs = 100;
} // namespace

bool displayAvailable()
{
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name)
        return false;
    // A display that is only just starting (a session's X server, or a
    // test's, on a busy machine) may refuse the first connection: give it a
    // second before telling the user there is none.
    for (int attempt = 0; attempt < DisplayOpenAttempts; ++attempt) {
        if (Display* display = XOpenDisplay(nullptr)) {
            XCloseDisplay(display);
            return true;
        }
        if (attempt + 1 < DisplayOpenAttempts)
            sleepMilliseconds(DisplayRetryMs);
    }
    return false;
}

std::string noDisplayMessage()
{
    const char* name = std::getenv("DISPLAY");
    std::string which =
        name && *name ? std::string("display \"") + name + "\" cannot be opened" : std::string("DISPLAY is not set");
    return "seafold: needs a graphical display (" + which +
           "); use seafold-headless to run a server or client without one";
}

std::string findMediaDirectory(std::string* searched)
{
    const char* chosen = std::getenv("SEAFOLD_MEDIA");
    std::vector<std::string> candidates;
    if (chosen && *chosen)
        candidates = {chosen};
    else
        candidates = {executableDirectory() + "/../media", installedDataDirectory(), "./media"};
    std::string found = firstFolderHolding(candidates, "plugins.cfg");
    if (found.empty() && searched)
        *searched = listFolders(candidates);
    return found;
}

std::unique_ptr<WindowedFrontEnd> createWindowedDriver(const std::string& mediaDirectory, SessionPort& session,
                                                       EventLog* eventLog, bool showFrameRates, bool startWindow)
{
    return std::unique_ptr<WindowedFrontEnd>(
        new WindowedDriver(mediaDirectory, session, eventLog, showFrameRates, startWindow));
}

} // namespace seafold
