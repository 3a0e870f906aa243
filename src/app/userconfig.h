// The windowed program keeps what the user chose in its windows (the name,
// the server joined, the model, how to talk, whom to mute, the material
// sliders) in the user's config file, as the options that say the same, so
// that the next start begins where this one ended and the command line can
// still override each.
#pragma once

#include <string>
#include <vector>

namespace seafold {

// A config-file value for `text`, quoted so that the config reader gives the
// text back as it is (commas, spaces and one kind of quote in it); false when
// it holds both kinds of quote, or a line break, which no value can.
bool configValueOf(const std::string& text, std::string* value);

// Sets `option` (without its dashes) in the config file at `path`: its line
// is rewritten in place, or added at the end; a list becomes "[a, b]"; no
// values removes the line. Every other line stays as the user wrote it. The
// file (and its folder) is made when missing, and replaced in one step, so a
// crash leaves the old file or the new one. False, with why in `error`, when
// it cannot be written.
bool rememberInConfigFile(const std::string& path, const std::string& option, const std::vector<std::string>& values,
                          bool asList, std::string* error);

// The same in the user's own file (userConfigFile); a failure is told on the
// console once, not again for every later choice.
void rememberChoice(const std::string& option, const std::vector<std::string>& values, bool asList = false);

} // namespace seafold
