// What the application's main loop asks of the program's front end: the
// renderer's window in the windowed program, nothing in the display-less one.
// Declared here, beside the front end that draws, and driven by the main loop
// (app/); plain C++, so the display-less program uses it without the
// renderer.
#pragma once

#include <functional>

namespace seafold {

class FrameDriver {
public:
    virtual ~FrameDriver() = default;

    // Runs `region`, catching the front end's own exception type only: on one
    // it reports "An exception has occured: " and the description on standard
    // error and returns false. Returns true when `region` ran to its end.
    virtual bool runGuarded(const std::function<void()>& region) = 0;

    // Builds the scene; false when set-up failed (the process ends with 1).
    virtual bool setUp() = 0;

    // Readies frame timing once, after set-up and before the first frame.
    virtual void startRendering() = 0;

    // Renders exactly one frame; true when rendering is to end.
    virtual bool renderOneFrame() = 0;

    // Releases the front end (GUI, renderer, window) before the process ends;
    // called once after the loop, after a caught exception or a failed set-up.
    virtual void shutDown() = 0;
};

} // namespace seafold
