// The windowed program: the ocean scene, the panel and the session, in a window.
#include "app/app.h"
#include "scene/scenedriver.h"

#include <cstdio>

int main(int argc, char** argv)
{
    // Without a display the renderer cannot even be created; say what to do.
    if (!seafold::displayAvailable()) {
        std::fprintf(stderr, "%s\n", seafold::noDisplayMessage().c_str());
        return 1;
    }
    std::unique_ptr<seafold::FrameDriver> driver =
        seafold::createWindowedDriver(seafold::findMediaDirectory());
    return seafold::runApplication(seafold::joinArguments(argc, argv), *driver,
                                   seafold::standardLoopHooks());
}
