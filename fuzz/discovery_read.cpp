// Discovery datagrams from anyone on the network: the query and answer
// readers must refuse what they cannot read without crashing, an accepted
// query must be large enough for any answer, and an accepted answer must
// carry a clean name and survive being written and read again unchanged.
#include "session/discovery.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace seafold;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    const uint32_t length = uint32_t(size);

    DiscoveryQuery query;
    if (readDiscoveryQuery(data, length, &query) && length < DiscoveryAnswerMaxBytes)
        std::abort();

    DiscoveryAnswer answer;
    if (readDiscoveryAnswer(data, length, &answer)) {
        if (answer.port == 0 || answer.name.size() > MaxServerNameBytes || cleanServerName(answer.name) != answer.name)
            std::abort();
        uint8_t again[DiscoveryAnswerMaxBytes];
        uint32_t written = writeDiscoveryAnswer(answer, again);
        DiscoveryAnswer back;
        if (written > DiscoveryAnswerMaxBytes || !readDiscoveryAnswer(again, written, &back) ||
            back.token != answer.token || back.instance != answer.instance || back.host != answer.host ||
            back.port != answer.port || back.users != answer.users || back.name != answer.name)
            std::abort();
    }

    // The same bytes as a name: always clean, short and stable.
    std::string name = cleanServerName(std::string(reinterpret_cast<const char*>(data), size));
    if (name.size() > MaxServerNameBytes || cleanServerName(name) != name)
        std::abort();
    return 0;
}
