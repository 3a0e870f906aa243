// The display-less program: the same start-up and main loop as the windowed
// one, with a scene that keeps users' models as numbers, and options that
// script a user (pick a model, move it, quit) and log what happens as JSON.
#pragma once

#include "app/app.h"

namespace seafold {

// Runs the program with its options (--find included); returns its exit code.
int runHeadless(const ProgramOptions& options);

} // namespace seafold
