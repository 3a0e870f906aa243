#include "app/operator.h"
#include "app/app.h"
#include "app/console.h"
#include "app/network.h"
#include "app/refusal.h"
#include "base/atomicfile.h"
#include "base/installpaths.h"
#include "base/utf8.h"
#include "session/names.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
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

// The users `name` stands for: the one of that very name, else those whose
// names look like it. `withHost`: the host's own user counts too.
std::vector<ClientRecord*> usersNamed(const std::string& name, bool withHost)
{
    std::vector<ClientRecord*> exact, alike;
    const NameLooks looks = nameLooks(name);
    for (size_t i = 0; i < gClients.size(); ++i) {
        ClientRecord& record = gClients[i];
        if (!record.connection && !(withHost && record.local))
            continue;
        if (record.name == name)
            exact.push_back(&record);
        else if (namesLookAlike(looks, nameLooks(record.name)))
            alike.push_back(&record);
    }
    return exact.empty() ? alike : exact;
}

std::string quotedNames(const std::vector<ClientRecord*>& users)
{
    std::string text;
    for (const ClientRecord* user : users)
        text += (text.empty() ? "\"" : ", \"") + terminalText(user->name) + "\"";
    return text;
}

// The characters of `name` beyond ASCII, as "U+0430 U+0435": what a
// terminal may draw like the Latin letters they stand beside.
std::string codePointsBeyondAscii(const std::string& name)
{
    std::string text;
    uint32_t c = 0;
    for (size_t i = 0, n; (n = decodeUtf8(name, i, &c)) > 0; i += n) {
        if (c < 0x80)
            continue;
        text += (text.empty() ? "" : " ") + codePointText(c);
    }
    return text;
}

// The one user `name` stands for, or null after saying why. A user found
// by a name that only looks like the one typed is said to be, before
// anything is done to them: the two may draw the same on this terminal.
ClientRecord* oneUserNamed(const std::string& name, bool withHost)
{
    std::vector<ClientRecord*> users = usersNamed(name, withHost);
    if (users.empty())
        consoleLine("No user is named \"" + terminalText(name) + "\".");
    else if (users.size() > 1)
        consoleLine("Several users match \"" + terminalText(name) + "\": " + quotedNames(users) +
                    ". Give the whole name, in double quotes.");
    if (users.size() != 1)
        return nullptr;
    if (users[0]->name != name) {
        const std::string points = codePointsBeyondAscii(users[0]->name);
        consoleLine("No user is named \"" + terminalText(name) + "\" as typed; taking " + quotedNames(users) +
                    ", whose name looks like it" + (points.empty() ? "" : " (it holds " + points + ")") + ".");
    }
    return users[0];
}

// The users who joined from `host`, but `except`.
std::vector<ClientRecord*> usersFrom(uint32_t host, const ClientRecord* except = nullptr)
{
    std::vector<ClientRecord*> users;
    for (size_t i = 0; i < gClients.size(); ++i)
        if (SimpleEventConnection* connection = gClients[i].connection)
            if (connection->address().netNum[0] == host && &gClients[i] != except)
                users.push_back(&gClients[i]);
    return users;
}

std::string untilText(uint64_t untilSeconds)
{
    if (!untilSeconds)
        return "for good";
    std::time_t until = std::time_t(untilSeconds);
    char text[64];
    std::strftime(text, sizeof text, "until %Y-%m-%d %H:%M UTC", std::gmtime(&until));
    return text;
}

std::string trimmed(const std::string& text)
{
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return std::string();
    return text.substr(start, text.find_last_not_of(" \t") + 1 - start);
}

void endConnection(SimpleEventConnection* connection, const std::string& reason)
{
    if (gNetInterface && connection)
        gNetInterface->disconnect(connection, ReasonSelfDisconnect, fitUtf8(reason, MaxNameBytes).c_str());
}

} // namespace

std::string banReason(uint64_t untilSeconds)
{
    return endText(EndCode::Banned, "from this server" + (untilSeconds ? " " + untilText(untilSeconds) : ""));
}

std::string banCoverage(const OperatorConsole::Ban& ban)
{
    const std::string who = ban.name.empty() ? hostText(ban.host) + ": everyone from this address"
                                             : hostText(ban.host) + ": the user \"" + terminalText(ban.name) +
                                                   "\" from this address";
    return who + ", " + untilText(ban.untilSeconds);
}

NamedTarget splitName(const std::string& text, const std::function<bool(const std::string&)>& isName)
{
    NamedTarget target;
    const std::string whole = trimmed(text);
    // A user may be called "alice", quotes and all: typed as listed, that
    // user is meant, not alice.
    if (whole.empty() || whole[0] != '"' || (isName && isName(whole))) {
        target.name = whole;
        return target;
    }
    target.quoted = true;
    size_t at = 1;
    for (; at < whole.size() && whole[at] != '"'; ++at) {
        if (whole[at] == '\\' && at + 1 < whole.size())
            ++at; // \" and \\ stand for the character
        target.name += whole[at];
    }
    if (at < whole.size())
        target.rest = trimmed(whole.substr(at + 1));
    return target;
}

std::string commandQuoted(const std::string& name)
{
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

BanWords splitBanWords(const std::string& text, const std::function<bool(const std::string&)>& isName)
{
    BanWords words;
    std::string rest = trimmed(text);
    const std::string flag = "--address";
    if (rest.size() >= flag.size() && rest.compare(rest.size() - flag.size(), flag.size(), flag) == 0 &&
        (rest.size() == flag.size() || rest[rest.size() - flag.size() - 1] == ' ')) {
        words.address = true;
        rest = trimmed(rest.substr(0, rest.size() - flag.size()));
    }
    words.target = rest;
    if (isName(rest))
        return words;
    // A trailing number is MINUTES, after a user's whole name above all.
    const size_t space = rest.find_last_of(" \t");
    const bool minutes =
        space != std::string::npos && rest.find_first_not_of("0123456789", space + 1) == std::string::npos;
    const std::string before = minutes ? trimmed(rest.substr(0, space)) : std::string();
    if (minutes && isName(before)) {
        words.target = before;
        words.minutes = rest.substr(space + 1);
        return words;
    }
    NamedTarget target = splitName(rest, isName);
    if (target.quoted) {
        words.target = target.name;
        words.minutes = target.rest;
    } else if (minutes) {
        words.target = before;
        words.minutes = rest.substr(space + 1);
    }
    return words;
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
    // Every ban that takes effect is a console line.
    appSession().setAdmission([this](const NetAddress& from) {
        std::string reason = refusal(from);
        if (!reason.empty())
            consoleLine("Refused a connection from " + hostText(from.netNum[0]) + ": " + reason + ".");
        return reason;
    });
    appSession().setJoinAdmission([this](const NetAddress& from, const std::string& name) {
        std::string reason = joinRefusal(from, name);
        if (!reason.empty())
            consoleLine("Refused \"" + terminalText(name) + "\" from " + hostText(from.netNum[0]) + ": " + reason +
                        ".");
        return reason;
    });
}

std::string OperatorConsole::refusal(const NetAddress& from) const
{
    const uint64_t now = wallSeconds();
    for (const Ban& ban : mBans)
        if (ban.name.empty() && ban.host == from.netNum[0] && (!ban.untilSeconds || ban.untilSeconds > now))
            return banReason(ban.untilSeconds);
    return std::string();
}

std::string OperatorConsole::joinRefusal(const NetAddress& from, const std::string& name) const
{
    const uint64_t now = wallSeconds();
    for (const Ban& ban : mBans)
        if (!ban.name.empty() && ban.host == from.netNum[0] && (!ban.untilSeconds || ban.untilSeconds > now) &&
            namesLookAlike(ban.name, name))
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
        consoleLine("Commands: help; list; kick NAME, or kick \"NAME\" REASON; ban NAME|ADDRESS [MINUTES] "
                    "[--address]; unban ADDRESS; bans; say TEXT; mute NAME; unmute NAME; quit. NAME is the rest of "
                    "the line, or in double quotes.");
    } else if (command == "list") {
        list();
    } else if (command == "kick") {
        kickCommand(rest);
    } else if (command == "ban") {
        banCommand(rest);
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

void OperatorConsole::kickCommand(const std::string& rest)
{
    NamedTarget target = splitName(rest, [](const std::string& name) { return !usersNamed(name, false).empty(); });
    kick(target.name, target.rest);
}

void OperatorConsole::kick(const std::string& name, const std::string& reason)
{
    ClientRecord* record = oneUserNamed(name, false);
    if (!record)
        return;
    consoleLine("Kicked " + terminalText(record->name) + ".");
    endConnection(record->connection, endText(EndCode::Kicked, reason.empty() ? std::string("by the operator") : reason));
}

void OperatorConsole::banCommand(const std::string& rest)
{
    BanWords words = splitBanWords(rest, [](const std::string& name) { return !usersNamed(name, false).empty(); });
    ban(words.target, words.minutes, words.address);
}

void OperatorConsole::ban(const std::string& target, const std::string& minutes, bool wholeAddress)
{
    uint64_t untilSeconds = 0;
    if (!minutes.empty()) {
        char* end = nullptr;
        unsigned long count = std::strtoul(minutes.c_str(), &end, 10);
        if (!end || *end || count == 0 || count > 10u * 365 * 24 * 60) {
            consoleLine("MINUTES is a whole number of minutes, not \"" + terminalText(minutes) + "\".");
            return;
        }
        untilSeconds = wallSeconds() + uint64_t(count) * 60;
    }
    uint32_t host = 0;
    if (usersNamed(target, false).empty() && parseHost(target, &host)) {
        banAddress(host, untilSeconds, minutes);
        return;
    }
    ClientRecord* user = oneUserNamed(target, false);
    if (!user)
        return;
    host = user->connection->address().netNum[0];
    const std::vector<ClientRecord*> others = usersFrom(host, user);
    if (wholeAddress || others.empty()) {
        banAddress(host, untilSeconds, minutes);
        return;
    }
    // Others joined from that address too: they stay until the operator
    // says the whole address goes.
    dropExpired();
    mBans.erase(std::remove_if(mBans.begin(), mBans.end(),
                               [&](const Ban& b) { return b.host == host && b.name == user->name; }),
                mBans.end());
    mBans.push_back({host, untilSeconds, user->name});
    // A ban the file does not hold ends with this run: the line says so.
    const bool kept = bool(saveBans());
    consoleLine("Banned the user \"" + terminalText(user->name) + "\" from " + hostText(host) + " " +
                untilText(untilSeconds) + (kept ? "" : ", but only until this server stops") +
                ". Also from that address: " + quotedNames(others) + "; they stay. \"ban " +
                terminalText(commandQuoted(user->name)) + " --address\" bans the whole address and ends them too.");
    endConnection(user->connection, banReason(untilSeconds));
}

void OperatorConsole::banAddress(uint32_t host, uint64_t untilSeconds, const std::string& minutes)
{
    (void)minutes;
    dropExpired();
    mBans.erase(std::remove_if(mBans.begin(), mBans.end(), [&](const Ban& b) { return b.host == host; }),
                mBans.end());
    mBans.push_back({host, untilSeconds, std::string()});
    // A ban the file does not hold ends with this run: the line says so.
    const bool kept = bool(saveBans());
    // Everyone from there goes now, and the console names them.
    const std::vector<ClientRecord*> ended = usersFrom(host);
    consoleLine("Banned " + hostText(host) + " " + untilText(untilSeconds) +
                (kept ? "" : ", but only until this server stops") +
                (ended.empty() ? std::string(".") : ", ending " + quotedNames(ended) + "."));
    std::vector<SimpleEventConnection*> connections;
    for (ClientRecord* user : ended)
        connections.push_back(user->connection);
    for (SimpleEventConnection* connection : connections)
        endConnection(connection, banReason(untilSeconds));
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
    if (mBans.size() == before) {
        consoleLine(hostText(host) + " is not banned.");
        return;
    }
    const bool kept = bool(saveBans());
    consoleLine("Lifted the ban of " + hostText(host) + (kept ? "." : ", but only until this server stops."));
}

void OperatorConsole::showBans()
{
    dropExpired();
    if (mBans.empty()) {
        consoleLine("No bans.");
        return;
    }
    for (const Ban& ban : mBans)
        consoleLine(banCoverage(ban));
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
    const std::string whole = splitName(name, [](const std::string& n) {
                                  return !usersNamed(n, true).empty() || appSession().nameMuted(n);
                              }).name;
    // A muted user who left may be unmuted before coming back.
    if (!muted && usersNamed(whole, true).empty() && appSession().nameMuted(whole)) {
        appSession().setNameMuted(whole, false);
        consoleLine("Unmuted " + terminalText(whole) + ", who is not here now.");
        return;
    }
    ClientRecord* record = oneUserNamed(whole, true);
    if (!record)
        return;
    appSession().setNameMuted(record->name, muted);
    consoleLine(
        muted
            ? "Muted " + terminalText(record->name) +
                  ": the server plays and relays none of their voice, to anyone, until \"unmute\", even if they leave "
                  "and join again."
            : "Unmuted " + terminalText(record->name) + ".");
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

// The ban file: one ban a line, "ADDRESS UNTIL [NAME]" with UNTIL the
// wall-clock second it ends (0: for good) and NAME, the rest of the line,
// the one user banned from there (none: everyone). Other lines mean nothing
// and are kept as they are.
void OperatorConsole::loadBans()
{
    if (mBanFile.empty())
        return;
    std::string text;
    FileWriteResult read = readFileIfAny(mBanFile, &text, "the ban file");
    if (!read) {
        mBanFileUnread = read.error;
        consoleLine("Bans cannot be kept: " + read.error +
                    ". It is left as it is, and bans made now hold only until this server stops.");
        return;
    }
    const size_t slash = mBanFile.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : mBanFile.substr(0, std::max<size_t>(slash, 1));
    if (text.empty() && !isDirectory(folder)) {
        // Told now rather than at the first ban, which would hold only for
        // this run.
        consoleLine("Bans cannot be kept in " + mBanFile + ": the folder " + folder +
                    " does not exist. Make it, or bans hold only until this server stops.");
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string address;
        Ban ban;
        if (!(words >> address >> ban.untilSeconds) || !parseHost(address, &ban.host)) {
            mOtherLines.push_back(line);
            continue;
        }
        std::string name;
        std::getline(words, name);
        if (!name.empty() && name[0] == ' ')
            ban.name = name.substr(1); // the one user's, spaces and all
        mBans.push_back(ban);
    }
    dropExpired();
}

FileWriteResult OperatorConsole::saveBans() const
{
    if (mBanFile.empty())
        return FileWriteResult();
    if (!mBanFileUnread.empty()) {
        consoleLine("The ban file is unchanged: it could not be read at start (" + mBanFileUnread + ").");
        return FileWriteResult::failed(mBanFileUnread);
    }
    std::ostringstream text;
    for (const std::string& line : mOtherLines)
        text << line << '\n';
    for (const Ban& ban : mBans)
        text << hostText(ban.host) << ' ' << ban.untilSeconds << (ban.name.empty() ? "" : " " + ban.name) << '\n';
    FileWriteResult written = writeFileAtomically(mBanFile, text.str(), 0600);
    if (!written)
        consoleLine("The ban file is unchanged: " + written.error + ".");
    return written;
}

} // namespace seafold
