// The windowed program: the ocean scene, the panel and the session, in a window.
#include "app/app.h"
#include "app/network.h"
#include "scene/clientmodels.h"
#include "scene/scenedriver.h"
#include "session/eventlog.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
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
    // Other users' models live in the renderer's scene.
    seafold::gClientScene = &seafold::gRendererScene;
    std::unique_ptr<seafold::FrameDriver> driver =
        seafold::createWindowedDriver(seafold::findMediaDirectory(), seafold::appSessionPort());
    int code = seafold::runApplication(seafold::joinArguments(argc, argv), *driver,
                                       seafold::standardLoopHooks());
    // Our own shutdown empties the roster: that is no user leaving.
    seafold::gEventLog.unwatch(seafold::appSession(), seafold::gRendererScene);
    seafold::gEventLog.close();
    // The peers are told that this user leaves.
    seafold::stopNetwork();
    seafold::gClientScene = nullptr;
    return code;
}
