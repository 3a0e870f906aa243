// The windowed program: the ocean scene, the panel and the session, in a window.
#include "app/app.h"
#include "app/audiosettings.h"
#include "app/console.h"
#include "app/lan.h"
#include "app/network.h"
#include "app/sessionview.h"
#include "app/userconfig.h"
#include "app/windowed/startflow.h"
#include "app/windowport.h"
#include "scene/clientmodels.h"
#include "scene/scenedriver.h"
#include "session/eventlog.h"
#include "voice/voicecapture.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace seafold {
namespace {

// SEAFOLD_EVENT_LOG=FILE: the session's and the user's events as JSON lines.
// False, after saying why, when the file cannot be opened.
bool openEventLog()
{
    const char* path = std::getenv("SEAFOLD_EVENT_LOG");
    if (!path || !*path)
        return true;
    std::string error;
    if (!gEventLog.openFile(path, &error)) {
        std::fprintf(stderr, "seafold: %s\n", error.c_str());
        return false;
    }
    return true;
}

// The Settings window's side and the keys the user bound.
void giveSettings(WindowedFrontEnd& driver, const ProgramOptions& options, AudioSettings& settings)
{
    driver.setSettingsPort(&settings);
    driver.setKeyBindings(options.shared.keys);
}

// The material sliders open or folded as the user left them, and kept so.
void keepMaterialSliders(WindowedFrontEnd& driver, const ProgramOptions& options, WindowPort& port)
{
    driver.setMaterialSliders(options.shared.materialSlidersOpen, [&port](bool open) {
        port.remember("show-material-sliders", {open ? "true" : "false"});
    });
}

int runWindowed(const ProgramOptions& options)
{
    Console console(Program::Windowed, options.shared);
    // --find needs no display.
    if (options.line.find)
        return runFind(options.line, options.shared);
    // Without a display the renderer cannot even be created; say what to do.
    if (!displayAvailable()) {
        std::fprintf(stderr, "%s\n", noDisplayMessage().c_str());
        return 1;
    }
    // The media before anything starts: without it there is no window.
    std::string searched;
    std::string media = findMediaDirectory(&searched);
    if (media.empty()) {
        std::fprintf(stderr, "seafold: no media folder (one with plugins.cfg) in %s; set SEAFOLD_MEDIA=DIR\n",
                     searched.c_str());
        return 1;
    }
    // The scene keeps one port; the session behind it may change (the
    // start window), and what the user chooses through it is kept.
    WindowPort port;
    port.setKeeper([&port](const std::string& option, const std::vector<std::string>& values, bool list) {
        return rememberChoice(port.user(), option, values, list);
    });
    port.setUser(options.line.isClient                 ? options.line.clientName
                 : options.shared.hostUserName.empty() ? hostName()
                                                       : options.shared.hostUserName);
    port.setMuted(options.shared.muted);
    port.setVolumes(options.shared.volumes);
    port.setKeptMasterVolume(options.shared.masterVolume);
    // Kept choices that did not read are back at their defaults: said in
    // the window too (a few of them; the terminal has them all).
    const std::vector<std::string>& unread = options.configWarnings;
    for (size_t k = 0; k < unread.size() && k < 2; ++k)
        port.showNote(unread[k] + ".");
    if (unread.size() > 2)
        port.showNote("And " + std::to_string(unread.size() - 2) + " more lines of the config file are let be.");
    if (!openEventLog())
        return 1;
    Audio audio;
    chooseAudioDevices(audio, options, [&port](const std::string& text) { port.showNote(text); });
    AudioSettings settings(audio, options, port);
    // Ctrl-C and SIGTERM end the loop; the shutdown tells the peers.
    installStopSignals();
    int code = 0;
    if (options.line.startWindow) {
        std::unique_ptr<WindowedFrontEnd> driver =
            createWindowedDriver(media, port, &gEventLog, options.shared.showFps, true);
        keepMaterialSliders(*driver, options, port);
        giveSettings(*driver, options, settings);
        StartFlow flow(options, *driver, port, audio);
        code = runApplication(options.line, *driver, flow.hooks());
    } else {
        // Other users' models live in the renderer's scene.
        SessionHost host(options, gRendererScene, audio);
        // A windowed server's user takes part in the session.
        host.takePart();
        port.setTarget(&host.port());
        if (gEventLog.active())
            gEventLog.watch(appSession(), gRendererScene);
        // The People panel follows the connection's reports.
        watchSessionForDisplay(appSession(), options.line.isClient);
        // -client auto looks for its server before any window opens.
        CommandLine line = options.line;
        code = host.findServerToJoin(&line);
        if (code < 0) {
            std::unique_ptr<WindowedFrontEnd> driver =
                createWindowedDriver(media, port, &gEventLog, options.shared.showFps);
            driver->setModelAtStart(options.headless.model);
            keepMaterialSliders(*driver, options, port);
            giveSettings(*driver, options, settings);
            // The loop's shutdown tells the peers that this user leaves.
            code = runApplication(line, *driver, standardLoopHooks(host));
        }
        port.setTarget(nullptr);
    }
    gEventLog.close();
    return code;
}

} // namespace
} // namespace seafold

int main(int argc, char** argv)
{
    seafold::ProgramOptions options;
    // The command line first: --help, --version and mistakes need no display.
    int code = seafold::readProgramOptions(seafold::Program::Windowed, argc, argv, &options);
    if (code >= 0)
        return code;
    return seafold::runWindowed(options);
}
