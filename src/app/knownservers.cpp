#include "app/knownservers.h"
#include "base/atomicfile.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace seafold {

namespace {

// The lines of the file, or none when it does not exist; false, with why,
// when it is there but cannot be read.
bool readLines(const std::string& path, std::vector<std::string>* lines, std::string* why)
{
    std::string text;
    FileWriteResult read = readFileIfAny(path, &text);
    if (!read)
        *why = read.error;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines->push_back(line);
    return bool(read);
}

// The server and fingerprint of one line; false for a comment or a line
// that does not read so.
bool parseLine(const std::string& line, std::string* server, std::string* fingerprint)
{
    if (line.empty() || line[0] == '#')
        return false;
    std::istringstream words(line);
    std::string extra;
    return words >> *server >> *fingerprint && !(words >> extra);
}

// The whole file or nothing (base/atomicfile.h).
bool replaceFile(const std::string& path, const std::string& text, std::string* why)
{
    FileWriteResult result = writeFileAtomically(path, text, 0600);
    if (!result)
        *why = result.error;
    return bool(result);
}

} // namespace

std::string userStateFolder()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/')
        return std::string(state) + "/seafold";
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return std::string();
    return std::string(home) + "/.local/state/seafold";
}

std::string KnownServers::defaultPath()
{
    const std::string folder = userStateFolder();
    return folder.empty() ? folder : folder + "/known-servers";
}

std::map<std::string, std::string> KnownServers::rememberedServers(std::string* unreadable) const
{
    std::map<std::string, std::string> servers;
    if (mPath.empty())
        return servers;
    std::string name, fingerprint, why;
    std::vector<std::string> lines;
    if (!readLines(mPath, &lines, &why) && unreadable)
        *unreadable = why;
    // The first line of a server counts, as remember() keeps one a server.
    for (const std::string& line : lines)
        if (parseLine(line, &name, &fingerprint))
            servers.emplace(name, fingerprint);
    return servers;
}

std::string KnownServers::remembered(const std::string& server) const
{
    const std::map<std::string, std::string> servers = rememberedServers();
    const auto found = servers.find(server);
    return found == servers.end() ? std::string() : found->second;
}

KnownServers::Verdict KnownServers::check(const std::string& server, const std::string& fingerprint) const
{
    const std::string kept = remembered(server);
    if (kept.empty())
        return Verdict::New;
    return kept == fingerprint ? Verdict::Known : Verdict::Changed;
}

bool KnownServers::remember(const std::string& server, const std::string& fingerprint, std::string* why) const
{
    if (mPath.empty())
        return true;
    std::string text, name, kept;
    bool written = false;
    // Its folders are made for the user alone; two clients joining at once
    // each add their server.
    FileWriteResult made = makeFoldersOf(mPath, 0700);
    if (!made) {
        *why = made.error;
        return false;
    }
    FileUpdateLock oneAtATime(mPath);
    // A file that cannot be read is left alone: rewritten, it would lose
    // every other server.
    std::vector<std::string> lines;
    if (!readLines(mPath, &lines, why))
        return false;
    for (const std::string& line : lines) {
        if (parseLine(line, &name, &kept) && name == server) {
            if (!written)
                text += server + " " + fingerprint + "\n";
            written = true;
            continue;
        }
        text += line + "\n";
    }
    if (!written)
        text += server + " " + fingerprint + "\n";
    return replaceFile(mPath, text, why);
}

} // namespace seafold
