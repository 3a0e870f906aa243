// The windowed program: the ocean scene, the panel and the session, in a window.
#include "app/app.h"
#include "app/console.h"
#include "app/lan.h"
#include "app/network.h"
#include "app/sessionview.h"
#include "scene/clientmodels.h"
#include "scene/scenedriver.h"
#include "session/eventlog.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    seafold::setConsoleProgram(seafold::Program::Windowed);
    // SEAFOLD_LOG=help answers before anything else.
    if (seafold::checkLogChannelSetting())
        return 0;
    // The command line first: --help, --version and mistakes need no display.
    seafold::ProgramOptions options;
    int parsed = seafold::reportParseOutcome(seafold::parseProgramOptions(
        seafold::Program::Windowed, std::vector<std::string>(argv + 1, argv + argc), &options));
    if (parsed >= 0)
        return parsed;
    // --find needs no display.
    if (options.line.find)
        return seafold::runFind(options.line, options.shared);
    // Without a display the renderer cannot even be created; say what to do.
    if (!seafold::displayAvailable()) {
        std::fprintf(stderr, "%s\n", seafold::noDisplayMessage().c_str());
        return 1;
    }
    // SEAFOLD_EVENT_LOG=FILE: the session's and the user's events as JSON lines.
    const char* eventLogPath = std::getenv("SEAFOLD_EVENT_LOG");
    if (eventLogPath && *eventLogPath) {
        std::string error;
        if (!seafold::gEventLog.openFile(eventLogPath, &error)) {
            std::fprintf(stderr, "seafold: %s\n", error.c_str());
            return 1;
        }
        seafold::gEventLog.watch(seafold::appSession(), seafold::gRendererScene);
    }
    // The People panel follows the session's reports and voice.
    seafold::watchSessionForDisplay(seafold::appSession(), options.line.isClient);
    seafold::applySharedOptions(options.shared);
    // Ctrl-C and SIGTERM end the loop; the shutdown tells the peers.
    seafold::installStopSignals();
    // -client auto looks for its server before any window opens.
    seafold::CommandLine line = options.line;
    int found = seafold::findServerToJoin(&line);
    if (found >= 0) {
        seafold::gEventLog.close();
        return found;
    }
    // Other users' models live in the renderer's scene.
    seafold::gClientScene = &seafold::gRendererScene;
    std::unique_ptr<seafold::FrameDriver> driver =
        seafold::createWindowedDriver(seafold::findMediaDirectory(), seafold::appSessionPort(), &seafold::gEventLog);
    // The loop's shutdown tells the peers that this user leaves.
    int code = seafold::runApplication(line, *driver, seafold::standardLoopHooks());
    seafold::gEventLog.close();
    seafold::gClientScene = nullptr;
    return code;
}
