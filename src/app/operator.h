// The operator's console of a server, on its standard input (a terminal or a
// pipe, so scripts can drive it), in both programs unless --no-console:
//
//   help                          the commands
//   list                          users with address, round trip, loss, voice
//   kick NAME | kick "NAME" REASON  ends the user's connection; it does not retry
//   ban NAME [MINUTES] [--address]  bans the user (for good without MINUTES):
//                                 their address when nobody else joined from
//                                 it, else the user alone, until --address
//   ban ADDRESS [MINUTES]         refuses the address and ends its connections
//   unban ADDRESS, bans           lifts the bans of an address, lists them
//   say TEXT                      a line for every user, as the server's own
//   mute NAME, unmute NAME        stops and resumes relaying the user's voice
//   quit                          ends the server; clients are told it shut down
//
// NAME is the rest of the line, or a name in double quotes: "alice (2)" is
// one name (a line that is a user's whole name is that name, quotes and
// all; see splitName). It is a user's whole name, or one that looks like it; a name
// that matches nobody, or several users, is said to.
//
// Answers are console lines. With --ban-file FILE the bans are read at start
// and written at every change, so they survive a restart.
#pragma once

#include <cstdint>
#include <functional>
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
        std::string name; // the one user banned from the host; empty: everyone from it
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
    // The reason the join of `name` from `from` is refused, or empty.
    std::string joinRefusal(const NetAddress& from, const std::string& name) const;
    const std::vector<Ban>& bans() const { return mBans; }

    // The commands' own routines, also for the host's window (whose names
    // may hold spaces and quotes a command line would have to quote): a
    // whole name, and for a ban the minutes ("" for good) and whether the
    // whole address goes although others joined from it.
    void kick(const std::string& name, const std::string& reason);
    void ban(const std::string& target, const std::string& minutes, bool wholeAddress = false);
    void mute(const std::string& name, bool muted);

private:
    void list();
    void kickCommand(const std::string& rest);
    void banCommand(const std::string& rest);
    void banAddress(uint32_t host, uint64_t untilSeconds, const std::string& minutes);
    void unban(const std::string& target);
    void showBans();
    void say(const std::string& text);
    void dropExpired();
    void loadBans();
    // Writes the ban file whole; a failure is told on the console and returned.
    FileWriteResult saveBans() const;

    std::string mBanFile;
    // Why the ban file, there at start, could not be read: it is then
    // never written over. Empty: it was read (or was not there).
    std::string mBanFileUnread;
    // Its lines that are no ban (a comment, a line mistyped): written back
    // as they were.
    std::vector<std::string> mOtherLines;
    std::vector<Ban> mBans;
    std::string mPending; // input read but not yet a whole line
    bool mReading = true;
};

// The reason given to a banned client: "Banned" and until when.
std::string banReason(uint64_t untilSeconds);
// What a ban covers and until when, as "bans" lists it.
std::string banCoverage(const OperatorConsole::Ban& ban);

// A console command's name and what follows it: the whole text when it
// starts with no quote or is itself a name `isName` knows (a user may be
// called "alice", quotes and all), else the name in double quotes, in which
// \" and \\ stand for a quote and a backslash (the rest follows it).
struct NamedTarget {
    std::string name;
    std::string rest;
    bool quoted = false;
};
NamedTarget splitName(const std::string& text, const std::function<bool(const std::string&)>& isName = nullptr);
// `name` in double quotes as a command takes it back.
std::string commandQuoted(const std::string& name);

// "ban"'s words: the target (a name or an address), MINUTES (empty: for
// good) and --address. A trailing number is MINUTES unless the whole text
// is a name `isName` knows; the name before it may be quoted as splitName
// reads it.
struct BanWords {
    std::string target;
    std::string minutes;
    bool address = false;
};
BanWords splitBanWords(const std::string& text, const std::function<bool(const std::string&)>& isName);
// An IPv4 host from "1.2.3.4" or "1.2.3.4:port"; false for anything else.
bool parseHost(const std::string& text, uint32_t* host);

} // namespace seafold
