// The programs on a local network: --find, the client address "auto", and
// the discovery responder a server runs beside its session.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/commandline.h"
#include "app/serverlink.h"
#include "session/discovery.h"

namespace seafold {

// One line of the server list: "10.213.0.1:28000  2 users  Hafen". The name
// comes last, so that spaces in it leave the line easy to read apart.
std::string foundServerLine(const FoundServer& server);
// "No server answered on the local network within 1 s (discovery port 28001)."
std::string nothingFoundLine(double seconds, uint16_t discoveryPort);

// This machine's name ("seafold" when it has none): what --find shows for a
// server and a windowed server's own user goes by, unless told otherwise.
std::string hostName();

// --find: lists the servers that answer within the time given on standard
// output, one line each, or one line saying none did. Returns the exit code:
// 0 when one answered, 1 when none did. Needs no display.
int runFind(const CommandLine& line, const SharedOptions& options);

// This process on the local network: a server's discovery responder, or the
// search of a client of "auto". It keeps its own copy of the options
// (--discovery-port, --server-name, --no-discovery) and says what happens
// through the console.
class LanPresence {
public:
    // `link` (not owned; it must outlive this object) is the client's link
    // that a search of "auto" hands the server found to; none in a server.
    explicit LanPresence(const SharedOptions& options, ServerLink* link = nullptr);
    ~LanPresence();
    LanPresence(const LanPresence&) = delete;
    LanPresence& operator=(const LanPresence&) = delete;

    // "-client auto", before the network starts: looks for servers for a
    // second; with exactly one found, says so and puts its address in `line`;
    // with several, lists them on standard error and returns 2 (the exit
    // code); with none, says so and leaves `line` as it is (start-up then
    // keeps looking). Returns -1 to run on. Any other command line is left
    // alone.
    int findServerToJoin(CommandLine* line);

    // A client of "auto" that found no server: its link to the server looks
    // again every 5 s (retrying as after a failed connection) and joins the
    // first server that is the only one to answer. The link calls back into
    // this object until stop().
    void lookForServerLater();

    // A server: offers the session bound at `sessionAddress` (the address its
    // socket reports, with the port chosen) on the discovery port, unless
    // --no-discovery; says in one line when the port cannot be opened.
    void startResponder(const NetAddress& sessionAddress);

    // Every loop pass, after the packets are read: answers queries, drives
    // the search of a client of "auto".
    void service();

    // Ends both. Idempotent.
    void stop();

private:
    void startSearch();
    void finishSearch();

    SharedOptions mOptions;
    ServerLink* mLink;
    std::unique_ptr<DiscoveryResponder> mResponder;
    // The running search of a client of "auto" that has not found its server.
    std::unique_ptr<DiscoveryFinder> mSearch;
    uint32_t mSearchStarted = 0;
    bool mLinkSearches = false; // the server link's next attempt is one of our searches
};

} // namespace seafold
