#include "base/atomicfile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace seafold {

namespace {

// More links in a row than this is a loop (the kernel's own limit).
constexpr int MaxLinkHops = 40;

std::string folderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Why `path` could not be written, from errno after the step that failed;
// `target` is the file a link at `path` leads to (`path` when none), whose
// folder is the one that may be missing.
std::string writeError(const std::string& path, int error, const std::string& target = std::string())
{
    const std::string file = target.empty() ? path : target;
    std::string why = "cannot write " + path + (file == path ? "" : " (a link to " + file + ")") + ": ";
    if (error == ENOENT)
        return why + "the folder " + folderOf(file) + " does not exist";
    return why + std::strerror(error);
}

// The file a chain of links at `path` ends at (`path` itself when it is no
// link); false, with why, for a loop of links.
bool followLinks(const std::string& path, std::string* target, std::string* why)
{
    std::string at = path;
    for (int hop = 0; hop < MaxLinkHops; ++hop) {
        struct stat info;
        if (::lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            *target = at;
            return true;
        }
        char buffer[PATH_MAX];
        ssize_t length = ::readlink(at.c_str(), buffer, sizeof buffer - 1);
        if (length < 0) {
            *why = writeError(path, errno);
            return false;
        }
        std::string next(buffer, size_t(length));
        // A relative link is relative to the folder the link is in.
        at = next[0] == '/' ? next : folderOf(at) + "/" + next;
    }
    *why = writeError(path, ELOOP);
    return false;
}

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

// The rename is safe on the disk once the folder that names the file is.
void syncFolder(const std::string& folder)
{
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    // The file is in place already: a folder that cannot be flushed (some
    // file systems refuse) changes nothing the caller could act on.
    (void)::fsync(fd);
    ::close(fd);
}

} // namespace

std::string atomicWriteTemporary(const std::string& target, unsigned attempt)
{
    // Hidden, and unique to the process: a crash leaves a dot file that a
    // later write of another process never takes for its own.
    return folderOf(target) + "/." + baseOf(target) + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(attempt);
}

FileWriteResult writeFileAtomically(const std::string& path, const std::string& text, mode_t mode,
                                    ExistingFile existing)
{
    std::string target, why;
    if (!followLinks(path, &target, &why))
        return FileWriteResult::failed(why);
    struct stat before;
    const bool exists = ::stat(target.c_str(), &before) == 0;
    if (exists && !S_ISREG(before.st_mode))
        return FileWriteResult::failed("cannot write " + path + ": it is not a plain file");
    if (exists && existing == ExistingFile::Keep)
        return FileWriteResult::failed(writeError(path, EEXIST));

    std::string temporary;
    int fd = -1;
    for (unsigned attempt = 0; attempt < AtomicWriteAttempts && fd < 0; ++attempt) {
        temporary = atomicWriteTemporary(target, attempt);
        // O_EXCL with O_NOFOLLOW: never into a file or through a link that
        // is already there, whoever put it there.
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, exists ? 0600 : mode);
        if (fd < 0 && errno != EEXIST)
            return FileWriteResult::failed(writeError(path, errno, target));
    }
    if (fd < 0)
        return FileWriteResult::failed("cannot write " + path + ": every temporary name beside it is taken (" +
                                       temporary + " and the ones before it)");

    bool ok = writeAll(fd, text);
    if (ok && exists) {
        // The owner first: changing it may clear set-id bits the mode restores.
        if (before.st_uid != ::geteuid() || before.st_gid != ::getegid())
            (void)::fchown(fd, before.st_uid, before.st_gid);
        ok = ::fchmod(fd, before.st_mode & 07777) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok) {
        int renamed = existing == ExistingFile::Keep
                          ? ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE)
                          : ::rename(temporary.c_str(), target.c_str());
        ok = renamed == 0;
        error = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return FileWriteResult::failed(writeError(path, error));
    }
    syncFolder(folderOf(target));
    return FileWriteResult();
}

FileWriteResult readFileIfAny(const std::string& path, std::string* text, const std::string& what)
{
    text->clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return FileWriteResult();
    for (char buffer[4096]; fd >= 0;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            if (n == 0)
                return FileWriteResult();
            errno = error;
            break;
        }
        text->append(buffer, size_t(n));
    }
    text->clear();
    return FileWriteResult::failed("cannot read " + (what.empty() ? "" : what + " ") + path + ": " +
                                   std::strerror(errno));
}

FileUpdateLock::FileUpdateLock(const std::string& path)
    : mFd(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
    while (mFd >= 0 && ::flock(mFd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

FileUpdateLock::~FileUpdateLock()
{
    if (mFd >= 0)
        ::close(mFd);
}

FileWriteResult makeFoldersOf(const std::string& path, mode_t mode)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), mode) != 0 && errno != EEXIST)
            return FileWriteResult::failed("cannot make the folder " + folder + ": " + std::strerror(errno));
    }
    return FileWriteResult();
}

} // namespace seafold
