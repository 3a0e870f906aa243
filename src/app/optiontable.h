// The option table of both programs (optiontable.cpp): the parser that
// reads every option into ProgramOptions, and what the command line's
// checks need to know of the options.
#pragma once

#include "app/commandline.h"

#include <memory>
#include <vector>

namespace CLI {
class App;
}

namespace seafold {

// The parser of `program`, writing into `target`. For --find the options of
// a running session are left out: they would mean nothing there.
std::unique_ptr<CLI::App> buildParser(Program program, ProgramOptions& target, bool finding = false);

// Options of the other program only: in a shared config file they are let
// be, on the command line they are a mistake.
std::vector<const char*> otherProgramOptions(Program program);

// NAME=PERCENT (0 to 400) as a listener's volume for NAME (1 = as sent).
bool readVolume(const std::string& text, std::pair<std::string, float>* volume);
// PERCENT (0 to 100) as the master volume (1 = as mixed).
bool readMasterVolume(const std::string& text, float* volume);

// Options that mean something only to a server, or only to a client.
const std::vector<const char*>& serverOnlyOptions();
const std::vector<const char*>& clientOnlyOptions();

} // namespace seafold
