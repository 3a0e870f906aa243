// The connection's own files only: every handler run reported to the
// session's listeners with its arguments as JSON (see SessionListener::onRpc).
#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "session/simpleeventconnection.h"

namespace seafold {

// ---- arguments as JSON ------------------------------------------------------------------

inline Json argumentJson(const StringPtr& value)
{
    return jsonText(value.c_str());
}

inline Json argumentJson(double value)
{
    return value;
}

inline Json argumentJson(int32_t value)
{
    return value;
}

inline Json argumentJson(uint32_t value)
{
    return Json(value);
}

inline Json argumentJson(bool value)
{
    return value;
}

inline Json argumentJson(const RefPtr<ByteBuffer>& value)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    if (value) {
        for (uint32_t i = 0; i < value->size(); ++i) {
            out += digits[value->data()[i] >> 4];
            out += digits[value->data()[i] & 15];
        }
    }
    return out;
}

inline Json argumentJson(const std::vector<int32_t>& value)
{
    return Json(value);
}

template <class... Args> void SimpleEventConnection::trace(const char* rpc, const Args&... args)
{
    Session* s = session();
    if (!s || !s->tracesRpcs())
        return;
    Json json = Json::array();
    (json.push_back(argumentJson(args)), ...);
    s->reportRpc(rpc, json);
}

} // namespace seafold
