// JSON values of the event log and of the session's listeners. Only the
// declaration: files that build or read values include <nlohmann/json.hpp>.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace seafold {

// Objects keep their keys in the order they were added.
using Json = nlohmann::ordered_json;

// A text that travels as bytes (user and model names come from the network)
// made fit for a JSON string: valid UTF-8 stays as it is ("Zoë" stays "Zoë");
// every byte that is not part of valid UTF-8 becomes the four characters
// \xHH (hex digits upper case), so any bytes give a valid line.
std::string jsonText(const std::string& bytes);
// The same as a JSON string, quotes included, for lines printed by hand.
std::string jsonString(const std::string& bytes);

} // namespace seafold
