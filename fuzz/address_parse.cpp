// Address text from anywhere (command line, configuration): parse must refuse
// what it cannot read without crashing, and what it reads must print and
// parse back to the same text, except port 0 (no port text), whose printed
// port text is refused. Host-name lookups are off: no DNS traffic.
#include "net/address.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace seafold;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NetAddress::setHostLookupEnabled(false);
    std::string text(reinterpret_cast<const char*>(data), size); // stops at an embedded zero in parse
    NetAddress address;
    if (!address.parse(text.c_str()))
        return 0;
    std::string printed = address.toText();
    NetAddress again;
    if (address.port == 0) {
        if (again.parse(printed.c_str()))
            std::abort();
        return 0;
    }
    if (!again.parse(printed.c_str()) || printed != again.toText())
        std::abort();
    // The IPX broadcast host prints as all-ones words, which read back with
    // the unused fourth word cleared; every other address comes back equal.
    if (address.transport != IPXProtocol && !(again == address))
        std::abort();
    return 0;
}
