// Addresses as the user gives them, and the join password's file.
#pragma once

#include <cstdint>
#include <string>

namespace seafold {

// host:port with a port from 1 to 65535 that the address reader accepts
// (a host name is looked up now); else false, with a line saying which part
// is wrong.
bool checkAddress(const std::string& text, std::string* why);

// An address as a user types it into a window, made whole: spaces trimmed,
// `defaultPort` added when no port is given. False, with why (a sentence),
// for what still is no address.
bool completeAddress(const std::string& typed, uint16_t defaultPort, std::string* address, std::string* why);

// `text` without its leading and trailing spaces and tabs.
std::string trimmedText(const std::string& text);

// The join password: the first line of `path` (without a carriage return).
// False, with why, when the file cannot be read or that line is empty.
bool readPasswordFile(const std::string& path, std::string* password, std::string* why);

} // namespace seafold
