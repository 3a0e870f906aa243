#include "session/eventlog.h"
#include "session/simpleeventconnection.h"

#include "base/utf8.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace seafold {

EventLog gEventLog;

int64_t wallClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

namespace {

void appendJson(std::string& out, const Json& value)
{
    // A text that slipped in without jsonText still gives a valid line: the
    // serializer replaces what is not UTF-8 instead of throwing.
    auto scalar = [](const Json& v) { return v.dump(-1, ' ', false, Json::error_handler_t::replace); };
    if (value.is_object()) {
        out += '{';
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            out += first ? "" : ", ";
            first = false;
            out += scalar(Json(it.key()));
            out += ": ";
            appendJson(out, it.value());
        }
        out += '}';
    } else if (value.is_array()) {
        out += '[';
        bool first = true;
        for (const Json& element : value) {
            out += first ? "" : ", ";
            first = false;
            appendJson(out, element);
        }
        out += ']';
    } else {
        out += scalar(value);
    }
}

} // namespace

std::string jsonText(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t left = bytes.size();
    while (left > 0) {
        size_t length = utf8SequenceLength(p, left);
        if (length == 0) {
            out += "\\x";
            out += digits[*p >> 4];
            out += digits[*p & 15];
            length = 1;
        } else {
            out.append(reinterpret_cast<const char*>(p), length);
        }
        p += length;
        left -= length;
    }
    return out;
}

std::string jsonString(const std::string& bytes)
{
    return Json(jsonText(bytes)).dump();
}

std::string formatJson(const Json& value)
{
    std::string out;
    appendJson(out, value);
    return out;
}

void writeJsonLine(std::FILE* out, const Json& event)
{
    Json line = event.is_object() ? event : Json::object();
    line["t"] = wallClockMs();
    std::string text = formatJson(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), out);
    // Readers follow the lines while the program runs.
    std::fflush(out);
}

// ---- the log -----------------------------------------------------------------------

EventLog::~EventLog()
{
    close();
}

bool EventLog::openFile(const std::string& path, std::string* error)
{
    close();
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) {
        if (error)
            *error = "cannot write the event log \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    mOut = file;
    mOwned = true;
    return true;
}

void EventLog::openStream(std::FILE* stream)
{
    close();
    mOut = stream;
    mOwned = false;
}

void EventLog::close()
{
    if (mOut && mOwned)
        std::fclose(mOut);
    mOut = nullptr;
    mOwned = false;
}

void EventLog::write(const Json& event)
{
    if (mOut)
        writeJsonLine(mOut, event);
}

void EventLog::watch(Session& session, ClientScene& scene)
{
    // A session watched before may be gone; ids are unique, so only this
    // one's own earlier subscription can go.
    session.unsubscribe(mSubscription);
    SessionListener listener;
    listener.onRpc = [this](const char* rpc, const Json& args) {
        Json event;
        event["rpc"] = rpc;
        event["args"] = args;
        write(event);
    };
    listener.onConnectionState = [this](const char* state, const char* reason) {
        // How a state fares while it lasts (an attempt unanswered for N s, a
        // server silent for N s) is for the user's eyes, not a new state.
        if (mLastState == state)
            return;
        mLastState = state;
        Json event;
        event["state"] = state;
        if (std::strcmp(state, "connected") != 0 && std::strcmp(state, "connecting") != 0)
            event["reason"] = jsonText(reason ? reason : "");
        write(event);
    };
    listener.onChat = [this](const std::string& sender, const std::string& text) {
        Json event;
        event["chat"] = jsonText(text);
        event["from"] = jsonText(sender);
        write(event);
    };
    mSubscription = session.subscribe(std::move(listener));
    scene.setOnModelChange([this](const std::string& clientName, const ShownModel* shown) {
        Json event;
        event["model"] = jsonText(clientName);
        event["entity"] = shown && !shown->entity.empty() ? Json(jsonText(shown->entity)) : Json(nullptr);
        float x = shown ? shown->x : 0, y = shown ? shown->y : 0, z = shown ? shown->z : 0;
        event["pos"] = Json::array({double(x), double(y), double(z)});
        // Only once the user turned: a peer of the first wire version never does.
        if (shown && shown->turned)
            event["yaw"] = shown->yawDegrees;
        write(event);
    });
}

void EventLog::unwatch(Session& session, ClientScene& scene)
{
    session.unsubscribe(mSubscription);
    mSubscription = 0;
    scene.setOnModelChange(nullptr);
}

} // namespace seafold
