#include "app/knownservers.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace seafold {

namespace {

// The lines of the file, or none when it does not exist.
std::vector<std::string> readLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
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

// Makes `folder` and its parents as needed, for the user alone.
bool makeFolders(const std::string& folder)
{
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

// The whole file written beside it under a unique name, synced, then put
// in its place, so that a failure leaves the old file as it was.
bool replaceFile(const std::string& path, const std::string& text, std::string* why)
{
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !makeFolders(path.substr(0, slash))) {
        *why = "cannot make the folder of " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string temporary = path + ".XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ok = ok && ::fsync(fd) == 0;
    const int error = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        *why = "cannot write " + path + ": " + std::strerror(ok ? errno : error);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
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

std::string KnownServers::remembered(const std::string& server) const
{
    if (mPath.empty())
        return std::string();
    std::string name, fingerprint;
    for (const std::string& line : readLines(mPath))
        if (parseLine(line, &name, &fingerprint) && name == server)
            return fingerprint;
    return std::string();
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
    for (const std::string& line : readLines(mPath)) {
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

std::string changedServerKeyMessage(const std::string& server, const std::string& remembered,
                                    const std::string& shown, const std::string& path)
{
    return "The server at " + server + " shows the key " + shown + ", not the key " + remembered +
           " it had when you joined it before: this may be another machine posing as it. If its key was changed "
           "on purpose (ask the person who runs it), start again with --accept-new-key, or remove its line from " +
           path + ".";
}

} // namespace seafold
