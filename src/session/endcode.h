// Why the connection to a server ended or was refused, as one code. The wire
// carries a text (the base protocol has nothing else, and its texts stay as
// they are); it is read into a code here, once, and everything the programs
// decide or say about an end (try again or give up, which sentence to show,
// on the console or in the window) is decided on the code. A server that
// refuses or ends a client names the code too, and the text it sends is the
// code's.
#pragma once

#include <string>

namespace seafold {

enum class EndCode {
    Other,                // a text no rule below knows: shown as it came
    Timeout,              // no answer, or the server stopped answering
    NothingListens,       // the server's host says nothing listens on the port
    Shutdown,             // the server shut down
    WrongVersion,         // another program version: other connection classes
    Puzzle,               // the connection puzzle was not solved in time
    KeyMismatch,          // the server's key is not the one --server-key names
    KeyChanged,           // a remembered server shows another key than before
    KeyExchangeRequired,  // the server requires --secure
    NoKeyExchangeOffered, // this client requires --secure, the server offers no key
    WrongPassword,
    PasswordRequired,
    Banned,
    Kicked,
    NameRequired,
    NameRefused, // the name hides characters, speaks for the server, ...
    Replaced,    // a newer connection from the same place took this one's place
    JoinTimedOut, // connected, but the server did not take the join in time
    ServerForgot, // the server (restarted, same key) answered with this connection's reset token
};

// The code of a reason as it came over the wire (or from our own side).
EndCode classifyEnd(const std::string& reason);

// Whether waiting and trying again cannot change the outcome: the client
// then gives up rather than retrying.
bool isPermanent(EndCode code);

// The text a server sends for `code`, with `detail` after it where the code
// takes one (a ban's "until ...", a kick's reason). Only codes a server
// gives have a text; the others give "".
std::string endText(EndCode code, const std::string& detail = std::string());

// The texts of codes a server gives, as tests and older callers name them.
extern const char* const WrongPasswordReason;    // "Wrong password"
extern const char* const BannedReasonPrefix;     // "Banned"
extern const char* const KickedReasonPrefix;     // "Kicked"
extern const char* const NameRequiredReason;     // "A name is required"
extern const char* const PasswordRequiredReason; // "A password is required"

// What a refusal of a changed server key holds, wherever in its text: the
// option that takes the new key.
extern const char* const KeyChangedMark; // "--accept-new-key"

} // namespace seafold
