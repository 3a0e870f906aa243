// The state a fuzz target keeps across inputs: made on the first input, with
// the program's diagnostics silenced, and never destroyed (libFuzzer ends the
// process at any point).
#pragma once

#include "base/platform.h"

namespace seafold {

template <class World> World& fuzzWorld()
{
    static World* world = [] {
        setDebugOutput([](const char*) {});
        return new World;
    }();
    return *world;
}

} // namespace seafold
