// The config file as options (configoptions.cpp): read into the parser with
// each line checked, and the options in effect written back as a file that
// reads to the same options.
#pragma once

#include "app/commandline.h"
#include "app/configfile.h"

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace seafold {

// Where the options come from and what is read of it.
struct ConfigSource {
    std::string path;
    bool required = false; // named on the line (--config): it must be readable
    bool finding = false;  // --find: options of a session are let be
    // The user the line names (a client's NAME, a --name); empty: the name
    // the window kept at the top of the file, else the host name. The
    // lines of that user's section apply, no other user's.
    std::string lineUser;
};

struct ConfigReading {
    std::string path;
    // Lines the program wrote that do not read (a bad kept value), naming the
    // file and the line: the option keeps its default, and the program starts.
    std::vector<std::string> warnings;
    std::string error; // what stops the start, naming the file and the line
    // The window's choices (name, last-server, model, mute, volume,
    // voice-activation, show-material-sliders) as read, for
    // applyKeptChoices; and those it applied.
    std::vector<ConfigItem> kept;
    std::vector<ConfigItem> applied;
};

// Reads `source` into `parser` (which parses the command line afterwards;
// the command line wins). A line the user wrote that cannot be read, an
// unknown option or a bad value ends the start (false, with `error`); a bad
// value of an option the window keeps, or any line in a user's section, is
// a warning and is let be.
bool applyConfigFile(Program program, const ConfigSource& source, CLI::App& parser, ConfigReading* reading);

// After the command line is parsed: the window's choices the command line
// did not give, into `options`. One that does not read is a warning, and
// the option keeps its default.
void applyKeptChoices(const CLI::App& parser, ConfigReading& reading, ProgramOptions& options);

// The window's choices kept in `user`'s section of the file at `path`, into
// `options` (the start window's user may be another than the one the
// program started for). What that user did not choose goes back to its
// default; what does not read is let be.
void applyUsersKeptChoices(const std::string& path, const std::string& user, ProgramOptions& options);

// The options in effect as a config file: what was given on the line or in
// a config file (`applied`: the window's choices taken from it). The mode is
// not an option: a comment line shows it.
std::string configText(Program program, const CommandLine& line, const CLI::App& parser,
                       const std::vector<ConfigItem>& applied);

} // namespace seafold
