// What a server adds to its session once its socket is bound: its key pair
// (kept in --key-file, or made for this run), the discovery responder, the
// operator's console and its bans, and (in the windowed program) its own
// user. One per running server; a client has none.
#pragma once

#include "app/commandline.h"
#include "app/operator.h"
#include "session/hostuser.h"

#include <memory>
#include <string>

namespace seafold {

class LanPresence;

class ServerSide {
public:
    explicit ServerSide(const SharedOptions& options) : mOptions(options) {}

    // The key, the "listening" line, the responder (through `lan`), the
    // console, and with `takePart` the server's own user. False, with why in
    // `*why`, when the key file cannot be used: the server does not start.
    bool start(LanPresence& lan, bool takePart, std::string* why);

    // Each loop pass, after the packets are read: the operator's commands.
    void poll();

    // A server's own key, once started; empty with --insecure.
    const std::string& keyFingerprint() const { return mKeyFingerprint; }
    // The server's own user once it took part.
    HostUser* hostUser() const { return mHostUser.get(); }

private:
    bool makeKey(std::string* why);
    void joinAsHost();

    SharedOptions mOptions;
    std::string mKeyFingerprint;
    std::unique_ptr<OperatorConsole> mOperator;
    std::unique_ptr<HostUser> mHostUser;
};

} // namespace seafold
