// The operator's console of a server, on its standard input (a terminal or a
// pipe, so scripts can drive it), in both programs unless --no-console:
//
//   help                       the commands
//   list                       users with address, round trip, loss, voice
//   kick NAME [REASON]         ends the user's connection; it does not retry
//   ban NAME|ADDRESS [MINUTES] refuses the address (for good without
//                              MINUTES) and ends its connections
//   unban ADDRESS, bans        lifts a ban, lists them
//   say TEXT                   a line for every user
//   mute NAME, unmute NAME     stops and resumes relaying the user's voice
//   quit                       ends the server; clients are told it shut down
//
// Answers are console lines. With --ban-file FILE the bans are read at start
// and written at every change, so they survive a restart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/atomicfile.h"
#include "net/address.h"

namespace seafold {

class OperatorConsole {
public:
    // A ban of one IPv4 host; untilSeconds is wall-clock time (seconds
    // since 1970), 0 for good.
    struct Ban {
        uint32_t host = 0;
        uint64_t untilSeconds = 0;
    };

    explicit OperatorConsole(const std::string& banFile = std::string());

    // Reads the ban file and makes the session refuse banned addresses.
    void start();
    // Each main-loop pass: runs every whole line waiting on standard input.
    // At the end of the input the console stops reading (the server goes on).
    void poll();
    // Runs one command line.
    void run(const std::string& line);

    // The reason a connection from `from` is refused, or empty.
    std::string refusal(const NetAddress& from) const;
    const std::vector<Ban>& bans() const { return mBans; }

private:
    void list();
    void kick(const std::string& name, const std::string& reason);
    void ban(const std::string& target, const std::string& minutes);
    void unban(const std::string& target);
    void showBans();
    void say(const std::string& text);
    void mute(const std::string& name, bool muted);
    void dropExpired();
    void loadBans();
    // Writes the ban file whole; a failure is told on the console and returned.
    FileWriteResult saveBans() const;

    std::string mBanFile;
    std::vector<Ban> mBans;
    std::string mPending; // input read but not yet a whole line
    bool mReading = true;
};

// The reason given to a banned client: "Banned" and until when.
std::string banReason(uint64_t untilSeconds);
// An IPv4 host from "1.2.3.4" or "1.2.3.4:port"; false for anything else.
bool parseHost(const std::string& text, uint32_t* host);

} // namespace seafold
