#include "app/operator.h"
#include "app/app.h"
#include "app/console.h"
#include "app/network.h"
#include "session/names.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

namespace seafold {

namespace {

// The most a console line may be; a longer one is taken in pieces.
constexpr size_t MaxCommandBytes = 4096;

uint64_t wallSeconds()
{
    return uint64_t(std::time(nullptr));
}

std::string hostText(uint32_t host)
{
    return std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 0xFF) + "." +
           std::to_string((host >> 8) & 0xFF) + "." + std::to_string(host & 0xFF);
}

// The first word of `line` and the rest after the blanks that follow it.
std::pair<std::string, std::string> splitWord(const std::string& line)
{
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos)
        return {};
    size_t end = line.find_first_of(" \t", start);
    if (end == std::string::npos)
        return {line.substr(start), std::string()};
    size_t rest = line.find_first_not_of(" \t", end);
    return {line.substr(start, end - start), rest == std::string::npos ? std::string() : line.substr(rest)};
}

ClientRecord* userNamed(const std::string& name)
{
    ClientRecord* record = gClients.find(name);
    return record && record->connection ? record : nullptr;
}

void endConnection(SimpleEventConnection* connection, const std::string& reason)
{
    if (gNetInterface && connection)
        gNetInterface->disconnect(connection, ReasonSelfDisconnect, fitUtf8(reason, MaxNameBytes).c_str());
}

} // namespace

std::string banReason(uint64_t untilSeconds)
{
    if (!untilSeconds)
        return std::string(BannedReasonPrefix) + " from this server";
    std::time_t until = std::time_t(untilSeconds);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", std::gmtime(&until));
    return std::string(BannedReasonPrefix) + " from this server until " + text;
}

bool parseHost(const std::string& text, uint32_t* host)
{
    unsigned a, b, c, d, port;
    char tail;
    int read = std::sscanf(text.c_str(), "%u.%u.%u.%u:%u%c", &a, &b, &c, &d, &port, &tail);
    if ((read != 4 && read != 5) || a > 255 || b > 255 || c > 255 || d > 255)
        return false;
    if (read == 4 && text.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    *host = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
}

OperatorConsole::OperatorConsole(const std::string& banFile) : mBanFile(banFile) {}

void OperatorConsole::start()
{
    loadBans();
    appSession().setAdmission([this](const NetAddress& from) { return refusal(from); });
}

std::string OperatorConsole::refusal(const NetAddress& from) const
{
    const uint64_t now = wallSeconds();
    for (const Ban& ban : mBans)
        if (ban.host == from.netNum[0] && (!ban.untilSeconds || ban.untilSeconds > now))
            return banReason(ban.untilSeconds);
    return std::string();
}

void OperatorConsole::poll()
{
    while (mReading) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, 0) <= 0 || !(input.revents & (POLLIN | POLLHUP)))
            return;
        char buffer[1024];
        ssize_t length = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (length <= 0) {
            // The end of a pipe, or a closed terminal: the server goes on.
            mReading = false;
            if (!mPending.empty())
                run(mPending);
            mPending.clear();
            return;
        }
        mPending.append(buffer, size_t(length));
        size_t newline;
        while ((newline = mPending.find('\n')) != std::string::npos) {
            std::string line = mPending.substr(0, newline);
            mPending.erase(0, newline + 1);
            run(line);
        }
        if (mPending.size() > MaxCommandBytes) {
            run(mPending);
            mPending.clear();
        }
    }
}

void OperatorConsole::run(const std::string& text)
{
    std::string line = text;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    auto [command, rest] = splitWord(line);
    if (command.empty())
        return;
    if (command == "help") {
        consoleLine("Commands: help; list; kick NAME [REASON]; ban NAME|ADDRESS [MINUTES]; unban ADDRESS; bans; "
                    "say TEXT; mute NAME; unmute NAME; quit");
    } else if (command == "list") {
        list();
    } else if (command == "kick") {
        auto [name, reason] = splitWord(rest);
        kick(name, reason);
    } else if (command == "ban") {
        auto [target, minutes] = splitWord(rest);
        ban(target, minutes);
    } else if (command == "unban") {
        unban(splitWord(rest).first);
    } else if (command == "bans") {
        showBans();
    } else if (command == "say") {
        say(rest);
    } else if (command == "mute" || command == "unmute") {
        mute(rest, command == "mute");
    } else if (command == "quit") {
        consoleLine("Shutting down; the clients are told.");
        requestExit(0);
    } else {
        consoleLine("Unknown command \"" + terminalText(command) + "\"; \"help\" lists the commands.");
    }
}

void OperatorConsole::list()
{
    if (gClients.size() == 0) {
        consoleLine("No one has joined.");
        return;
    }
    for (size_t i = 0; i < gClients.size(); ++i) {
        const ClientRecord& record = gClients[i];
        SimpleEventConnection* connection = record.connection;
        if (!connection) {
            // The server's own user: no link to describe.
            consoleLine(terminalText(record.name) + ": the host, in this window");
            continue;
        }
        const NetConnection::Stats& stats = connection->stats();
        char link[64];
        std::snprintf(link, sizeof link, "%.1f ms, %u lost", double(stats.roundTripMs), unsigned(stats.packetsDropped));
        consoleLine(terminalText(record.name) + " from " + plainAddress(connection->address()) + ": " + link +
                    ", voice " + (record.muted ? "muted" : "on"));
    }
}

void OperatorConsole::kick(const std::string& name, const std::string& reason)
{
    ClientRecord* record = userNamed(name);
    if (!record) {
        consoleLine("No user is named \"" + terminalText(name) + "\".");
        return;
    }
    consoleLine("Kicked " + terminalText(name) + ".");
    endConnection(record->connection,
                  std::string(KickedReasonPrefix) + ": " + (reason.empty() ? std::string("by the operator") : reason));
}

void OperatorConsole::ban(const std::string& target, const std::string& minutes)
{
    Ban ban;
    if (ClientRecord* record = userNamed(target))
        ban.host = record->connection->address().netNum[0];
    else if (!parseHost(target, &ban.host)) {
        consoleLine("No user is named \"" + terminalText(target) + "\", and it is no IPv4 address.");
        return;
    }
    if (!minutes.empty()) {
        char* end = nullptr;
        unsigned long count = std::strtoul(minutes.c_str(), &end, 10);
        if (!end || *end || count == 0 || count > 10u * 365 * 24 * 60) {
            consoleLine("MINUTES is a whole number of minutes, not \"" + terminalText(minutes) + "\".");
            return;
        }
        ban.untilSeconds = wallSeconds() + uint64_t(count) * 60;
    }
    dropExpired();
    mBans.erase(std::remove_if(mBans.begin(), mBans.end(), [&](const Ban& b) { return b.host == ban.host; }),
                mBans.end());
    mBans.push_back(ban);
    saveBans();
    consoleLine("Banned " + hostText(ban.host) + (ban.untilSeconds ? " for " + minutes + " min." : " for good."));
    // Everyone from there goes now.
    std::vector<SimpleEventConnection*> banned;
    for (size_t i = 0; i < gClients.size(); ++i)
        if (SimpleEventConnection* connection = gClients[i].connection)
            if (connection->address().netNum[0] == ban.host)
                banned.push_back(connection);
    for (SimpleEventConnection* connection : banned)
        endConnection(connection, banReason(ban.untilSeconds));
}

void OperatorConsole::unban(const std::string& target)
{
    uint32_t host;
    if (!parseHost(target, &host)) {
        consoleLine("unban takes an IPv4 address, as \"bans\" lists them.");
        return;
    }
    size_t before = mBans.size();
    mBans.erase(std::remove_if(mBans.begin(), mBans.end(), [&](const Ban& b) { return b.host == host; }), mBans.end());
    saveBans();
    consoleLine(mBans.size() < before ? "Lifted the ban of " + hostText(host) + "."
                                      : hostText(host) + " is not banned.");
}

void OperatorConsole::showBans()
{
    dropExpired();
    if (mBans.empty()) {
        consoleLine("No bans.");
        return;
    }
    for (const Ban& ban : mBans)
        consoleLine(hostText(ban.host) + ": " + banReason(ban.untilSeconds));
}

void OperatorConsole::say(const std::string& text)
{
    if (text.empty())
        return;
    // A line of its own kind, which every view shows as the server's and no
    // user's chat line can pass for; a peer of version 0 gets the text call
    // every peer knows, as ever.
    const std::string refusal = chatLineRefusal(text);
    if (!refusal.empty()) {
        consoleLine("Not said: the line " + refusal + ".");
        return;
    }
    for (size_t i = 0; i < gClients.size(); ++i)
        if (SimpleEventConnection* connection = gClients[i].connection)
            connection->sendServerNotice(text, "Operator: " + text);
    // The host's own window hears it as its clients do.
    appSession().reportServerText(text.c_str());
}

void OperatorConsole::mute(const std::string& name, bool muted)
{
    ClientRecord* record = userNamed(name);
    if (!record) {
        consoleLine("No user is named \"" + terminalText(name) + "\".");
        return;
    }
    record->muted = muted;
    consoleLine((muted ? "Muted " : "Unmuted ") + terminalText(name) + ".");
}

void OperatorConsole::dropExpired()
{
    const uint64_t now = wallSeconds();
    size_t before = mBans.size();
    mBans.erase(std::remove_if(mBans.begin(), mBans.end(),
                               [&](const Ban& b) { return b.untilSeconds && b.untilSeconds <= now; }),
                mBans.end());
    if (mBans.size() != before)
        saveBans();
}

// The ban file: one ban a line, "ADDRESS UNTIL" with UNTIL the wall-clock
// second it ends (0: for good). Lines that do not read so are skipped.
void OperatorConsole::loadBans()
{
    if (mBanFile.empty())
        return;
    std::ifstream in(mBanFile);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string address;
        Ban ban;
        if (words >> address >> ban.untilSeconds && parseHost(address, &ban.host))
            mBans.push_back(ban);
    }
    dropExpired();
}

void OperatorConsole::saveBans() const
{
    if (mBanFile.empty())
        return;
    // Written whole beside the file, then put in its place.
    const std::string temporary = mBanFile + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const Ban& ban : mBans)
            out << hostText(ban.host) << ' ' << ban.untilSeconds << '\n';
        if (!out)
            return;
    }
    if (std::rename(temporary.c_str(), mBanFile.c_str()) != 0)
        consoleLine("Could not write the ban file " + mBanFile + ".");
}

} // namespace seafold
