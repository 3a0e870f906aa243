// The one way the programs write a file they keep (settings, bans, keys):
// whole or not at all. The new text goes into a temporary beside the file,
// reaches the disk, and then takes the file's place in one rename, so that a
// crash, a full disk or a second writer leaves either the old file or the
// new one, never a part of either.
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>

namespace seafold {

// What became of a write: ok, or a sentence saying what could not be done
// and why ("cannot write /x/bans: the folder /x does not exist"), for the
// console or a window as it stands.
struct FileWriteResult {
    bool ok = true;
    std::string error;

    explicit operator bool() const { return ok; }
    static FileWriteResult failed(std::string why) { return {false, std::move(why)}; }
};

enum class ExistingFile {
    Replace, // the usual: the new text replaces what is there
    Keep,    // fail when the file exists (a key made once must not change)
};

// Writes `text` to `path`. A new file gets `mode` (less the umask); an
// existing one keeps its mode and, where the process may set it, its owner.
// When `path` is a symbolic link the file it leads to is written and the
// link stays. The temporary has a name of its own in the same folder and is
// made without following links (a link planted there is left alone); it is
// flushed to the disk before the rename, and the folder after it. On any
// failure the file is as it was, the temporary is gone and the result says
// why. Missing folders are not made: see makeFoldersOf.
FileWriteResult writeFileAtomically(const std::string& path, const std::string& text, mode_t mode,
                                    ExistingFile existing = ExistingFile::Replace);

// The name of the temporary for `target` at the `attempt`-th try (a taken
// name is passed over for the next). Tests plant files there.
std::string atomicWriteTemporary(const std::string& target, unsigned attempt);
// How many names are tried before a write gives up.
constexpr unsigned AtomicWriteAttempts = 8;

// Reads the file at `path` whole into `text`: a file that is not there reads
// as empty. False, with why ("cannot read `what` PATH: ..."), when it is
// there but cannot be read; a caller that rewrites the file from what it
// read must then leave it alone, or what it holds would be lost.
FileWriteResult readFileIfAny(const std::string& path, std::string* text, const std::string& what = "");

// Held while a kept file is read, changed and written back, so that programs
// changing one file at once each keep their change (without it the last
// rename took away what another had kept meanwhile): an exclusive advisory
// lock on the folder the file at `path` is in, let go with the object. Where
// the folder cannot be locked it goes on unlocked.
class FileUpdateLock {
public:
    explicit FileUpdateLock(const std::string& path);
    ~FileUpdateLock();
    FileUpdateLock(const FileUpdateLock&) = delete;
    FileUpdateLock& operator=(const FileUpdateLock&) = delete;

private:
    int mFd = -1;
};

// Makes every missing folder above `path` (a file's path) with `mode`.
FileWriteResult makeFoldersOf(const std::string& path, mode_t mode);

} // namespace seafold
