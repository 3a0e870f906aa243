// A server's key pair kept in a file (--key-file), so that its fingerprint
// stays the same across restarts and clients can pin it once.
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

} // namespace seafold
