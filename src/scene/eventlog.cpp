#include "scene/eventlog.h"
#include "scene/clientmodels.h"
#include "app/network.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>

namespace seafold {

namespace {

std::FILE* gEventLog = nullptr;

long long wallClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

bool eventLogActive()
{
    return gEventLog != nullptr;
}

void logEvent(const std::string& body)
{
    if (!gEventLog)
        return;
    std::fprintf(gEventLog, "{%s, \"t\": %lld}\n", body.c_str(), wallClockMs());
    // Tests read the log while the program runs.
    std::fflush(gEventLog);
}

bool startEventLogFromEnvironment(std::string* error)
{
    const char* path = std::getenv("SEAFOLD_EVENT_LOG");
    if (!path || !*path)
        return true;
    gEventLog = std::fopen(path, "w");
    if (!gEventLog) {
        if (error)
            *error = std::string("cannot write the event log \"") + path + "\": " + std::strerror(errno);
        return false;
    }
    Session& session = appSession();
    session.onRpc = [](const char* rpc, const std::string& args) {
        logEvent("\"rpc\": " + jsonQuote(rpc) + ", \"args\": " + args);
    };
    session.onConnectionState = [](const char* state, const char* reason) {
        std::string body = "\"state\": " + jsonQuote(state);
        if (std::string(state) != "connected")
            body += ", \"reason\": " + jsonQuote(reason);
        logEvent(body);
    };
    gRendererScene.onChange = [](const std::string& name, const RendererScene::Shown* shown) {
        std::string body = "\"model\": " + jsonQuote(name.c_str()) + ", \"entity\": ";
        body += shown && !shown->entity.empty() ? jsonQuote(shown->entity.c_str()) : "null";
        float x = shown ? shown->x : 0, y = shown ? shown->y : 0, z = shown ? shown->z : 0;
        body += ", \"pos\": [" + jsonValue(double(x)) + ", " + jsonValue(double(y)) + ", " +
                jsonValue(double(z)) + "]";
        logEvent(body);
    };
    return true;
}

void stopEventLog()
{
    gRendererScene.onChange = nullptr;
    if (gEventLog) {
        std::fclose(gEventLog);
        gEventLog = nullptr;
    }
}

} // namespace seafold
