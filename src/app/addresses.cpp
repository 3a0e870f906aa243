#include "app/addresses.h"
#include "net/address.h"

#include <cctype>
#include <cstdlib>
#include <fstream>

namespace seafold {

bool checkAddress(const std::string& text, std::string* why)
{
    size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? text : text.substr(0, colon);
    std::string port = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    if (colon == std::string::npos || host.empty() || port.empty()) {
        *why = "the address \"" + text + "\" must be host:port, for example 127.0.0.1:28000";
        return false;
    }
    bool digits = port.size() <= 5;
    for (char c : port)
        digits = digits && std::isdigit(uint8_t(c));
    // The address reader refuses these too; checked here to say which part
    // is wrong.
    long number = digits ? std::strtol(port.c_str(), nullptr, 10) : 0;
    if (!digits || number < 1 || number > 65535) {
        *why = "the port \"" + port + "\" of \"" + text + "\" must be a number from 1 to 65535";
        return false;
    }
    NetAddress address;
    if (!address.parse(text.c_str())) {
        *why = "cannot read the address \"" + text + "\" (unknown host?)";
        return false;
    }
    return true;
}

std::string trimmedText(const std::string& text)
{
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(start, end - start + 1);
}

bool completeAddress(const std::string& typed, uint16_t defaultPort, std::string* address, std::string* why)
{
    std::string text = trimmedText(typed);
    if (text.empty()) {
        *why = "Pick a server in the list, or type its address.";
        return false;
    }
    if (text.find(':') == std::string::npos)
        text += ":" + std::to_string(defaultPort);
    if (!checkAddress(text, why)) {
        // The line reads as a sentence in a window.
        (*why)[0] = char(std::toupper(uint8_t((*why)[0])));
        *why += ".";
        return false;
    }
    *address = text;
    return true;
}


bool readPasswordFile(const std::string& path, std::string* password, std::string* why)
{
    std::ifstream file(path);
    if (!file) {
        *why = "cannot read the password file " + path;
        return false;
    }
    std::getline(file, *password);
    if (!password->empty() && password->back() == '\r')
        password->pop_back();
    if (password->empty()) {
        *why = "the password file " + path + " holds no password on its first line";
        return false;
    }
    return true;
}

} // namespace seafold
