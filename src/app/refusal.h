// What the console says about the end of a connection to a server: the
// sentences over the codes of session/endcode.h.
#pragma once

#include <string>

#include "session/endcode.h"

namespace seafold {

// The console's sentence for an end of the connection to `server` (host:port
// as given): `lost` for an established connection, else a failed attempt.
std::string endMessage(const std::string& server, const std::string& reason, bool lost);

// Why this client refuses a server it joined before (at `server`,
// remembered in the file at `path`) that now shows the key `shown` in place
// of `remembered` (empty: offers none), and what to do about it.
std::string changedServerKeyMessage(const std::string& server, const std::string& remembered, const std::string& shown,
                                    const std::string& path);

// For a reason that will not change by itself, the line that says who
// refused whom and what to do about it; empty for any other reason.
std::string permanentRefusalMessage(const std::string& server, const std::string& reason);
// The connection to the server at `server` failed before it was made, or was
// lost, with the reason the connection layer gave.
std::string connectFailedMessage(const std::string& server, const std::string& reason);
std::string connectionLostMessage(const std::string& server, const std::string& reason);

} // namespace seafold
