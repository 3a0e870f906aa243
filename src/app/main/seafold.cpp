// The windowed program: the ocean scene, the panel and the session, in a window.
#include "app/app.h"
#include "app/network.h"
#include "scene/clientmodels.h"
#include "scene/eventlog.h"
#include "scene/scenedriver.h"

#include <cstdio>

int main(int argc, char** argv)
{
    // Without a display the renderer cannot even be created; say what to do.
    if (!seafold::displayAvailable()) {
        std::fprintf(stderr, "%s\n", seafold::noDisplayMessage().c_str());
        return 1;
    }
    std::string error;
    if (!seafold::startEventLogFromEnvironment(&error)) {
        std::fprintf(stderr, "seafold: %s\n", error.c_str());
        return 1;
    }
    // Other users' models live in the renderer's scene.
    seafold::gClientScene = &seafold::gRendererScene;
    std::unique_ptr<seafold::FrameDriver> driver =
        seafold::createWindowedDriver(seafold::findMediaDirectory());
    int code = seafold::runApplication(seafold::joinArguments(argc, argv), *driver,
                                       seafold::standardLoopHooks());
    // Our own shutdown empties the roster: that is no user leaving.
    seafold::stopEventLog();
    // The peers are told that this user leaves.
    seafold::stopNetwork();
    seafold::gClientScene = nullptr;
    return code;
}
