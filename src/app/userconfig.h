// The windowed program keeps what the user chose in its windows (the name,
// the server joined, the model, how to talk, whom to mute and how loud, the
// material sliders) in the user's config file, as the options that say the
// same, so that the next start begins where this one ended and the command
// line can still override each. The name the start window offers is kept at
// the top; everything else in a section of the user's own ([user "NAME"]),
// so that two users of one machine keep their own.
#pragma once

#include "base/atomicfile.h"

#include <string>
#include <vector>

namespace seafold {

// Sets `option` (without its dashes) in the config file at `path`, in the
// section of `user` (empty: at the top): its line is rewritten in place, or
// added at the end of the section; no values removes the line. Every other
// line stays as the user wrote it. The file (and its folder) is made when
// missing, and replaced in one step through writeFileAtomically. Every value
// can be written, and reads back as it was.
FileWriteResult rememberInConfigFile(const std::string& path, const std::string& user, const std::string& option,
                                     const std::vector<std::string>& values, bool asList);

// Whether the window keeps `option` in the user's section rather than at
// the top.
bool keptPerUser(const std::string& option);

// The same in the user's own file (userConfigFile), in `user`'s section
// where the option is kept per user; a failure is told on the console once
// for each new reason, and returned (for the window).
FileWriteResult rememberChoice(const std::string& user, const std::string& option,
                               const std::vector<std::string>& values, bool asList = false);

} // namespace seafold
