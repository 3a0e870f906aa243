// A file written at once or not at all: in every way a write can fail, the
// file stays as it was, no temporary is left, and the caller hears why; a
// link is written through and the file's mode kept.
#include "base/atomicfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace seafold {
namespace {

const std::string OldText = "old ban 1.2.3.4 0\n";
const std::string NewText = "new ban 5.6.7.8 0\n";

struct Outcome {
    bool ok = false;
    std::string error;
    std::string content = "(missing)"; // of the file after the write
    unsigned mode = 0;
    bool leftovers = false;  // a temporary left in the folder
    bool sideEffect = false; // something the write must not touch changed
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        return "(missing)";
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
}

bool hasTemporaries(const std::string& folder)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return false;
    bool found = false;
    while (dirent* entry = ::readdir(dir))
        found = found || std::string(entry->d_name).find(".tmp-") != std::string::npos;
    ::closedir(dir);
    return found;
}

// One way to write: `prepare` lays out `folder` and returns the path to
// write; `check` (may be empty) says whether something else was touched.
struct Case {
    const char* name;
    std::function<std::string(const std::string& folder)> prepare;
    bool ok;
    const char* reasonPart; // in the error, when the write fails
    std::string content;    // of the file written, afterwards
    unsigned mode;
    std::function<bool(const std::string& folder)> touchedElsewhere;
};

Outcome runCase(const Case& c, const std::string& folder)
{
    Outcome out;
    std::string path = c.prepare(folder);
    FileWriteResult result = writeFileAtomically(path, NewText, 0600);
    out.ok = result.ok;
    out.error = result.error;
    out.content = readFile(path);
    struct stat info;
    if (::stat(path.c_str(), &info) == 0)
        out.mode = info.st_mode & 0777;
    // Looked at first: it removes what the case planted.
    out.sideEffect = c.touchedElsewhere && c.touchedElsewhere(folder);
    out.leftovers = hasTemporaries(folder);
    return out;
}

void expectOutcome(const Case& c, const Outcome& out)
{
    SCOPED_TRACE(c.name);
    EXPECT_EQ(out.ok, c.ok) << out.error;
    if (!c.ok) {
        EXPECT_NE(out.error.find(c.reasonPart), std::string::npos) << out.error;
    }
    EXPECT_EQ(out.content, c.content);
    if (c.mode) {
        EXPECT_EQ(out.mode, c.mode);
    }
    EXPECT_FALSE(out.leftovers);
    EXPECT_FALSE(out.sideEffect);
}

class AtomicWrite : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/seafold-atomic-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        mFolder = pattern;
    }
    void TearDown() override
    {
        std::string command = "chmod -R u+w '" + mFolder + "' 2>/dev/null; rm -rf '" + mFolder + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    std::string mFolder;
};

TEST_F(AtomicWrite, FailuresLeaveTheFileAsItWasAndSayWhy)
{
    const Case cases[] = {
        {"missing folder", [](const std::string& f) { return f + "/gone/bans"; }, false, "does not exist", "(missing)",
         0, nullptr},
        {"a link planted at every temporary name",
         [](const std::string& f) {
             writeFile(f + "/victim", "victim\n");
             writeFile(f + "/bans", OldText);
             for (unsigned k = 0; k < AtomicWriteAttempts; ++k)
                 EXPECT_EQ(::symlink((f + "/victim").c_str(), atomicWriteTemporary(f + "/bans", k).c_str()), 0);
             return f + "/bans";
         },
         false, "taken", OldText, 0644,
         [](const std::string& f) {
             for (unsigned k = 0; k < AtomicWriteAttempts; ++k)
                 ::unlink(atomicWriteTemporary(f + "/bans", k).c_str());
             return readFile(f + "/victim") != "victim\n";
         }},
        {"a link into a missing folder",
         [](const std::string& f) {
             EXPECT_EQ(::symlink((f + "/gone/bans").c_str(), (f + "/bans").c_str()), 0);
             return f + "/bans";
         },
         false, "/gone does not exist", "(missing)", 0, nullptr},
        {"the target is a folder",
         [](const std::string& f) {
             ::mkdir((f + "/bans").c_str(), 0700);
             return f + "/bans";
         },
         false, "not a plain file", "", 0, nullptr}, // a folder reads as nothing
    };
    int k = 0;
    for (const Case& c : cases) {
        // A folder of each case's own.
        const std::string folder = mFolder + "/" + std::to_string(k++);
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        expectOutcome(c, runCase(c, folder));
    }
}

TEST_F(AtomicWrite, ALinkIsWrittenThroughAndModesAreKept)
{
    const Case cases[] = {
        {"a link planted at the first temporary name is passed over",
         [](const std::string& f) {
             writeFile(f + "/victim", "victim\n");
             writeFile(f + "/bans", OldText, 0640);
             EXPECT_EQ(::symlink((f + "/victim").c_str(), atomicWriteTemporary(f + "/bans", 0).c_str()), 0);
             return f + "/bans";
         },
         true, "", NewText, 0640,
         [](const std::string& f) {
             struct stat info;
             bool linkKept = ::lstat(atomicWriteTemporary(f + "/bans", 0).c_str(), &info) == 0 && S_ISLNK(info.st_mode);
             ::unlink(atomicWriteTemporary(f + "/bans", 0).c_str());
             return !linkKept || readFile(f + "/victim") != "victim\n";
         }},
        {"a linked file is written through, the link kept, the mode kept",
         [](const std::string& f) {
             ::mkdir((f + "/dotfiles").c_str(), 0700);
             writeFile(f + "/dotfiles/seafold.conf", OldText, 0600);
             EXPECT_EQ(::symlink("dotfiles/seafold.conf", (f + "/seafold.conf").c_str()), 0);
             return f + "/seafold.conf";
         },
         true, "", NewText, 0600,
         [](const std::string& f) {
             struct stat info;
             return ::lstat((f + "/seafold.conf").c_str(), &info) != 0 || !S_ISLNK(info.st_mode) ||
                    hasTemporaries(f + "/dotfiles");
         }},
        {"a new file gets the mode asked for", [](const std::string& f) { return f + "/server.key"; }, true, "",
         NewText, 0600, nullptr},
    };
    int k = 0;
    for (const Case& c : cases) {
        // A folder of each case's own.
        const std::string folder = mFolder + "/" + std::to_string(k++);
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        expectOutcome(c, runCase(c, folder));
    }
}

TEST_F(AtomicWrite, AFileKeptOnceIsNotReplaced)
{
    writeFile(mFolder + "/server.key", OldText, 0600);
    FileWriteResult result = writeFileAtomically(mFolder + "/server.key", NewText, 0600, ExistingFile::Keep);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("exists"), std::string::npos) << result.error;
    EXPECT_EQ(readFile(mFolder + "/server.key"), OldText);
    EXPECT_FALSE(hasTemporaries(mFolder));
}

// A full disk and a read-only folder need a file system of their own: a
// small tmpfs, mounted in a private mount namespace of a child process so
// that nothing outside it sees the mount.
std::string serialise(const Outcome& out)
{
    std::ostringstream text;
    text << out.ok << ' ' << out.mode << ' ' << out.leftovers << ' ' << out.sideEffect << '\n'
         << out.error << '\n'
         << out.content;
    return text.str();
}

Outcome deserialise(const std::string& text)
{
    Outcome out;
    std::istringstream in(text);
    in >> out.ok >> out.mode >> out.leftovers >> out.sideEffect;
    in.ignore(1);
    std::getline(in, out.error);
    std::stringstream rest;
    rest << in.rdbuf();
    out.content = rest.str();
    return out;
}

// Runs `c` in a child with a 16 KiB tmpfs on `folder`; `readOnly` remounts
// it read-only after the preparation. Empty with why when there is no
// namespace to be had.
bool runInPrivateMount(const Case& c, const std::string& folder, bool readOnly, Outcome* out, std::string* why)
{
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        *why = "no pipe";
        return false;
    }
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        std::string report;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=16k,mode=0755") != 0) {
            report = "!cannot make a private mount namespace with a tmpfs: " + std::string(std::strerror(errno));
        } else {
            Case prepared = c;
            prepared.prepare = [&](const std::string& f) {
                std::string path = c.prepare(f);
                if (readOnly)
                    ::mount(nullptr, f.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
                return path;
            };
            report = serialise(runCase(prepared, folder));
        }
        (void)!::write(pipeEnds[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    std::string report;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, size_t(n));
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (report.empty() || report[0] == '!') {
        *why = report.empty() ? "the child said nothing" : report.substr(1);
        return false;
    }
    *out = deserialise(report);
    return true;
}

TEST_F(AtomicWrite, AFullDiskAndAReadOnlyFolderLeaveTheFileAsItWas)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs in a private mount namespace needs root";
    struct NamespaceCase {
        Case c;
        bool readOnly;
    };
    const NamespaceCase cases[] = {
        {{"full disk",
          [](const std::string& f) {
              writeFile(f + "/bans", OldText);
              // Fill the rest of the file system.
              int fd = ::open((f + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
              std::string block(4096, 'x');
              for (int k = 0; k < 64 && ::write(fd, block.data(), block.size()) > 0; ++k) {
              }
              ::close(fd);
              return f + "/bans";
          },
          false, "No space left", OldText, 0644, nullptr},
         false},
        {{"read-only folder",
          [](const std::string& f) {
              writeFile(f + "/bans", OldText);
              return f + "/bans";
          },
          false, "Read-only", OldText, 0644, nullptr},
         true},
    };
    for (const NamespaceCase& nc : cases) {
        Outcome out;
        std::string why;
        if (!runInPrivateMount(nc.c, mFolder, nc.readOnly, &out, &why))
            GTEST_SKIP() << why;
        expectOutcome(nc.c, out);
    }
}

} // namespace
} // namespace seafold
