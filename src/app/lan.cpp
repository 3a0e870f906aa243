#include "app/lan.h"
#include "app/console.h"
#include "app/network.h"
#include "app/serverlink.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "base/platform.h"

namespace seafold {

std::string hostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == 0)
        return "seafold";
    return name;
}

namespace {

// How long a client of "auto" listens for answers: as long as --find does by
// default. It cannot stop at the first answer: it must know there is no other.
constexpr uint32_t AutoSearchMs = 1000;

// Standard error, with or without --quiet: the user has to choose.
void tellSeveral(const std::vector<FoundServer>& servers)
{
    startUpError(std::to_string(servers.size()) +
                 " servers answered on the local network; give one of these addresses instead of auto:");
    for (const FoundServer& server : servers)
        std::fprintf(stderr, "%s\n", foundServerLine(server).c_str());
    std::fflush(stderr);
}

void tellFound(const FoundServer& server)
{
    consoleLine("Found the server \"" + terminalText(server.name) + "\" at " + plainAddress(server.address) + ".");
}

} // namespace

std::string foundServerLine(const FoundServer& server)
{
    return plainAddress(server.address) + "  " + std::to_string(server.users) +
           (server.users == 1 ? " user  " : " users  ") + server.name;
}

std::string nothingFoundLine(double seconds, uint16_t discoveryPort)
{
    char time[32];
    std::snprintf(time, sizeof time, "%g s", seconds);
    return std::string("No server answered on the local network within ") + time + " (discovery port " +
           std::to_string(discoveryPort) + ").";
}

int runFind(const CommandLine& line, const SharedOptions& options)
{
    DiscoveryFinder finder(options.discoveryPort);
    std::vector<FoundServer> servers = finder.find(line.findSeconds);
    if (servers.empty()) {
        std::printf("%s\n", nothingFoundLine(line.findSeconds, options.discoveryPort).c_str());
        return 1;
    }
    // Cleaned names hold no control characters: safe to print as they are.
    for (const FoundServer& server : servers)
        std::printf("%s\n", foundServerLine(server).c_str());
    return 0;
}

LanPresence::LanPresence(const SharedOptions& options, ServerLink* link) : mOptions(options), mLink(link) {}

LanPresence::~LanPresence()
{
    stop();
}

void LanPresence::startSearch()
{
    mSearch = std::make_unique<DiscoveryFinder>(mOptions.discoveryPort);
    mSearchStarted = getRealMilliseconds();
    if (!mSearch->start(mSearchStarted)) {
        mSearch.reset();
        if (mLink)
            mLink->retryLater("no socket to look for servers");
    }
}

// The end of one search of a client of "auto".
void LanPresence::finishSearch()
{
    std::vector<FoundServer> servers = mSearch->servers();
    mSearch.reset();
    if (servers.size() == 1) {
        tellFound(servers[0]);
        // From now on a lost connection is tried again at this address.
        mLinkSearches = false;
        if (mLink) {
            mLink->setStartNextAttempt(nullptr);
            mLink->startAttempt(servers[0].address, plainAddress(servers[0].address));
        }
    } else if (servers.size() > 1) {
        // The program runs on (a window may be open) without a server.
        tellSeveral(servers);
    } else {
        consoleLine(nothingFoundLine(AutoSearchMs / 1000.0, mOptions.discoveryPort));
        if (mLink)
            mLink->retryLater("no server answered");
    }
}

int LanPresence::findServerToJoin(CommandLine* line)
{
    if (!line->joinsFoundServer())
        return -1;
    DiscoveryFinder finder(mOptions.discoveryPort);
    std::vector<FoundServer> servers = finder.find(AutoSearchMs / 1000.0);
    if (servers.size() > 1) {
        tellSeveral(servers);
        return 2;
    }
    if (servers.size() == 1) {
        tellFound(servers[0]);
        line->addressText = plainAddress(servers[0].address);
        return -1;
    }
    consoleLine(nothingFoundLine(AutoSearchMs / 1000.0, mOptions.discoveryPort));
    return -1;
}

void LanPresence::lookForServerLater()
{
    if (!mLink)
        return;
    mLinkSearches = true;
    mLink->setStartNextAttempt([this] { startSearch(); });
    mLink->retryLater("no server answered");
}

void LanPresence::startResponder(const NetAddress& sessionAddress)
{
    mResponder.reset();
    // A session that is not bound has nothing to offer; its own failure is
    // what the user needs to hear about.
    if (mOptions.noDiscovery || sessionAddress.port == 0)
        return;
    const uint16_t port = mOptions.discoveryPort;
    const std::string name = mOptions.serverName.empty() ? hostName() : mOptions.serverName;
    auto responder = std::make_unique<DiscoveryResponder>(
        sessionAddress, name, [] { return uint32_t(gClients.size()); }, port);
    if (responder->open()) {
        mResponder = std::move(responder);
        return;
    }
    // The server runs on; it is only not listed.
    const std::string why = sessionAddress.port == port ? "it is the session's own port"
                            : responder->openError()    ? std::strerror(responder->openError())
                                                        : "unknown error";
    startUpError("discovery port " + std::to_string(port) + " cannot be opened (" + why +
                 "): this server is not offered to --find");
}

void LanPresence::service()
{
    if (mResponder)
        mResponder->service();
    if (mSearch) {
        const uint32_t now = getRealMilliseconds();
        mSearch->poll(now);
        if (now - mSearchStarted >= AutoSearchMs)
            finishSearch();
    }
}

void LanPresence::stop()
{
    // The link outlives this object: it must call no more of its searches.
    if (mLinkSearches) {
        mLinkSearches = false;
        mLink->setStartNextAttempt(nullptr);
    }
    mResponder.reset();
    mSearch.reset();
}

} // namespace seafold
