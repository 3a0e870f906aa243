// The config file's text: what a line says, and how a value is written so
// that it reads back the same.
//
//   # a comment (a line starting with # or ;)
//   option = value              the option without its dashes
//   option = "text"             \\ \" \n \r \t and \xNN inside double quotes
//   option = 'text'             as it stands
//   option = [a, "b c", 'd']    a list
//   [user "alice"]              what the window kept for the user alice:
//                               the lines below, up to the next section
//
// A bare value ends at the end of the line or at a # after a blank. Every
// other byte, UTF-8 or not, is kept as it is.
#pragma once

#include <string>
#include <vector>

namespace seafold {

struct ConfigItem {
    int line = 0;         // 1-based
    std::string user;     // the [user "NAME"] section it is in; empty: the top
    std::string option;   // without dashes
    std::vector<std::string> values;
    bool list = false;    // written as [ ... ]
    std::string error;    // what is wrong with the line; empty: nothing
};

// Every line of `text` that sets an option, in order, with a line that
// cannot be read among them (its `error` says why, its option is what could
// be told of it). Comments, blank lines and section headers give none.
std::vector<ConfigItem> readConfigText(const std::string& text);

// `text` as a value that reads back as `text`: bare when it can be,
// otherwise in double quotes with escapes.
std::string configValue(const std::string& text);

// "option = value" or "option = [a, b]".
std::string configLine(const std::string& option, const std::vector<std::string>& values, bool list);

// The header of the window's section for `user`.
std::string userSectionHeader(const std::string& user);

// The option a line sets, or empty (comments, sections, blank lines).
std::string optionOfLine(const std::string& line);

// Whether `line` is a section header; `*user` is the user it names, empty
// for any other section.
bool sectionOfLine(const std::string& line, std::string* user);

// The user's config file, read by default: $XDG_CONFIG_HOME/seafold/seafold.conf
// (XDG_CONFIG_HOME defaults to ~/.config). Empty without a home folder.
std::string userConfigFile();

} // namespace seafold
