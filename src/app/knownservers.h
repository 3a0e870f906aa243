// The servers this user has joined, remembered by their key, as a known-hosts
// file: $XDG_STATE_HOME/seafold/known-servers (XDG_STATE_HOME defaults to
// ~/.local/state). One line a server, "ADDRESS FINGERPRINT", with ADDRESS
// the host:port the client reached it at; lines starting with # and lines
// that do not read so are kept as they are but mean nothing.
//
// A server first joined is remembered; a remembered server that shows
// another key is refused, since it may be someone else posing as it, until
// the user accepts the new key (--accept-new-key).
#pragma once

#include <map>
#include <string>

namespace seafold {

// $XDG_STATE_HOME/seafold, or ~/.local/state/seafold; empty without a home
// folder.
std::string userStateFolder();

class KnownServers {
public:
    enum class Verdict { New, Known, Changed };

    // The file at `path`; empty: nothing is remembered, nothing refused.
    explicit KnownServers(std::string path) : mPath(std::move(path)) {}
    // The default file in userStateFolder().
    static std::string defaultPath();

    const std::string& path() const { return mPath; }
    // How `fingerprint` shown by `server` compares with what is remembered.
    Verdict check(const std::string& server, const std::string& fingerprint) const;
    // Every server remembered, by address, with its fingerprint, read once.
    // A file that is there but cannot be read gives none, with why in
    // `unreadable` (nothing is then checked against it, nor written to it).
    std::map<std::string, std::string> rememberedServers(std::string* unreadable = nullptr) const;
    // The fingerprint remembered for `server`, or empty.
    std::string remembered(const std::string& server) const;
    // Remembers `server` by `fingerprint`, in place of any other key; the
    // file and its folder are made as needed. False, with the reason in
    // `why`, when the file cannot be written (it is then unchanged).
    bool remember(const std::string& server, const std::string& fingerprint, std::string* why) const;

private:
    std::string mPath;
};

} // namespace seafold
