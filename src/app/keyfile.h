// A server's key pair kept in a file (--key-file, else the user's state
// folder), so that its fingerprint stays the same across restarts and
// clients that remember it know it again.
#pragma once

#include "base/object.h"
#include "net/crypto.h"

#include <string>

namespace seafold {

// The key pair in `path`: read when the file exists, else made (of
// `keyBytes`) and written there, readable by the owner only. Null, with one
// line in `why`, when the file cannot be read or written, holds no key, or
// can be read or written by anyone but its owner.
RefPtr<AsymmetricKey> loadOrMakeKeyFile(const std::string& path, uint32_t keyBytes, std::string* why);

// Where a server keeps its key without --key-file: server.key in the user's
// state folder ($XDG_STATE_HOME/seafold); empty without a home folder.
std::string defaultServerKeyFile();
// Makes `folder` and the folders above it as needed, for their owner alone;
// false with the reason in `why`.
bool makeOwnFolder(const std::string& folder, std::string* why);

} // namespace seafold
