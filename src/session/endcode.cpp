#include "session/endcode.h"
#include "net/netinterface.h"
#include "session/names.h"

#include <cstring>

namespace seafold {

const char* const WrongPasswordReason = "Wrong password";
const char* const BannedReasonPrefix = "Banned";
const char* const KickedReasonPrefix = "Kicked";
const char* const NameRequiredReason = "A name is required";
const char* const PasswordRequiredReason = "A password is required";

namespace {

// How a text on the wire reads as a code: the whole text, or its start
// (where the sender adds a detail). The first rule that matches wins.
struct Rule {
    EndCode code;
    const char* text;
    bool prefix;
};

const Rule Rules[] = {
    {EndCode::Timeout, "Timeout", false},
    // Said by this client's own interface on the host's answer (ICMP).
    {EndCode::NothingListens, NetInterface::NothingListensReason, false},
    {EndCode::Shutdown, "Shutdown", false},
    // The connection classes differ when the two programs are not the same
    // version; a peer of the base protocol says so in its own words.
    {EndCode::WrongVersion, "CHR_INVALID", false},
    {EndCode::WrongVersion, "Incompatible program version", false},
    {EndCode::Puzzle, "Puzzle", false},
    // Said by this client's own session when it checks the server's key.
    {EndCode::KeyMismatch, "The server's key fingerprint is", true},
    {EndCode::KeyExchangeRequired, NetInterface::KeyExchangeRequiredReason, false},
    {EndCode::NoKeyExchangeOffered, NetInterface::NoKeyExchangeOfferedReason, false},
    {EndCode::WrongPassword, WrongPasswordReason, false},
    {EndCode::PasswordRequired, PasswordRequiredReason, false},
    {EndCode::Banned, BannedReasonPrefix, true},
    {EndCode::Kicked, KickedReasonPrefix, true},
    {EndCode::NameRequired, NameRequiredReason, false},
    {EndCode::NameRefused, NameRefusedPrefix, true},
    {EndCode::Replaced, "NewConnection", false},
    {EndCode::Replaced, "Reconnecting", false},
    {EndCode::JoinTimedOut, NetInterface::JoinTimeoutReason, false},
    // Said by this client's own interface when the server proves it no
    // longer has the connection.
    {EndCode::ServerForgot, NetInterface::ServerForgotReason, false},
};

} // namespace

const char* const KeyChangedMark = "--accept-new-key";

EndCode classifyEnd(const std::string& reason)
{
    if (reason.find(KeyChangedMark) != std::string::npos)
        return EndCode::KeyChanged;
    for (const Rule& rule : Rules) {
        const size_t length = std::strlen(rule.text);
        if (rule.prefix ? reason.compare(0, length, rule.text) == 0 : reason == rule.text)
            return rule.code;
    }
    return EndCode::Other;
}

bool isPermanent(EndCode code)
{
    switch (code) {
    case EndCode::Other:
    case EndCode::Timeout:
    case EndCode::NothingListens: // a server may start there yet
    case EndCode::Shutdown:
    case EndCode::Puzzle:
    case EndCode::Replaced:
    case EndCode::JoinTimedOut:
    case EndCode::ServerForgot: // it is up again: join at once
        return false;
    case EndCode::WrongVersion:
    case EndCode::KeyMismatch:
    case EndCode::KeyChanged:
    case EndCode::KeyExchangeRequired:
    case EndCode::NoKeyExchangeOffered:
    case EndCode::WrongPassword:
    case EndCode::PasswordRequired:
    case EndCode::Banned:
    case EndCode::Kicked:
    case EndCode::NameRequired:
    case EndCode::NameRefused:
        return true;
    }
    return false;
}

std::string endText(EndCode code, const std::string& detail)
{
    switch (code) {
    case EndCode::Banned:
        return std::string(BannedReasonPrefix) + (detail.empty() ? "" : " " + detail);
    case EndCode::Kicked:
        return std::string(KickedReasonPrefix) + (detail.empty() ? "" : ": " + detail);
    case EndCode::WrongPassword:
        return WrongPasswordReason;
    case EndCode::PasswordRequired:
        return PasswordRequiredReason;
    case EndCode::NameRequired:
        return NameRequiredReason;
    default:
        return std::string();
    }
}

} // namespace seafold
