#include "app/keyfile.h"
#include "app/knownservers.h"
#include "base/atomicfile.h"
#include "base/installpaths.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace seafold {
namespace {

// Owner-only: anyone else who could read the file could pose as the server.
constexpr mode_t KeyFileMode = 0600;
constexpr mode_t OthersMask = 0077;

std::string systemError(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

RefPtr<AsymmetricKey> readKey(const std::string& path, std::string* why)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *why = systemError("cannot read the key file", path);
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        *why = "the key file " + path + " is not a plain file";
        return nullptr;
    }
    if (info.st_mode & OthersMask) {
        close(fd);
        *why = "the key file " + path +
               " can be read by others than its owner; run chmod 600 on it (and make a "
               "new key if someone may have copied it)";
        return nullptr;
    }
    std::vector<uint8_t> bytes(AsymmetricKey::MaxKeyBufferBytes + 1);
    size_t got = 0;
    ssize_t n;
    while (got < bytes.size() && (n = read(fd, bytes.data() + got, bytes.size() - got)) > 0)
        got += size_t(n);
    close(fd);
    RefPtr<AsymmetricKey> key =
        got <= AsymmetricKey::MaxKeyBufferBytes ? new AsymmetricKey(bytes.data(), uint32_t(got)) : nullptr;
    if (!key || !key->isValid() || !key->hasPrivateKey()) {
        *why = "the key file " + path + " holds no private key (remove it to make a new one)";
        return nullptr;
    }
    return key;
}

// Whether `folder` is the user's own to make: under their home or state folder.
bool usersOwn(const std::string& folder)
{
    for (const char* variable : {"XDG_STATE_HOME", "HOME"}) {
        const char* base = std::getenv(variable);
        if (base && *base && folder.compare(0, std::strlen(base) + 1, std::string(base) + "/") == 0)
            return true;
    }
    return false;
}

// The key file's folder: made when it is the user's own; otherwise a missing
// one is said with what to do (the shipped server config, run by hand,
// names the service's state folder).
bool haveFolderOf(const std::string& path, std::string* why)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, std::max<size_t>(slash, 1));
    if (isDirectory(folder))
        return true;
    if (usersOwn(folder)) {
        FileWriteResult made = makeFoldersOf(path, 0700);
        if (!made)
            *why = "cannot make the key file " + path + ": " + made.error;
        return bool(made);
    }
    const char* state = std::getenv("XDG_STATE_HOME");
    const std::string own =
        state && *state ? std::string(state) + "/seafold/server.key" : "~/.local/state/seafold/server.key";
    *why = "cannot make the key file " + path + ": the folder " + folder +
           " does not exist. Make it for the user the server runs as (sudo install -d -o $USER " + folder +
           "), run the installed server as its service (sudo systemctl start seafold-server), or give --key-file "
           "a file of your own, such as " +
           own;
    return false;
}

RefPtr<AsymmetricKey> makeKey(const std::string& path, uint32_t keyBytes, std::string* why)
{
    if (!haveFolderOf(path, why))
        return nullptr;
    RefPtr<AsymmetricKey> key = new AsymmetricKey(keyBytes);
    if (!key->isValid()) {
        *why = "the key pair could not be made";
        return nullptr;
    }
    // Kept: never over a key that appeared meanwhile, nor through a link
    // at a temporary's name.
    const ByteBuffer* buffer = key->privateKey();
    FileWriteResult written =
        writeFileAtomically(path, std::string(reinterpret_cast<const char*>(buffer->data()), buffer->size()),
                            KeyFileMode, ExistingFile::Keep);
    if (!written) {
        // Another server starting at the same moment made it first: its
        // key is the one.
        struct stat info;
        if (lstat(path.c_str(), &info) == 0)
            return readKey(path, why);
        *why = "cannot make the key file: " + written.error;
        return nullptr;
    }
    return key;
}

} // namespace

std::string defaultServerKeyFile()
{
    const std::string folder = userStateFolder();
    return folder.empty() ? folder : folder + "/server.key";
}

bool makeOwnFolder(const std::string& folder, std::string* why)
{
    // The folders above a file in it.
    FileWriteResult made = makeFoldersOf(folder + "/.", 0700);
    if (!made)
        *why = made.error;
    return bool(made);
}

RefPtr<AsymmetricKey> loadOrMakeKeyFile(const std::string& path, uint32_t keyBytes, std::string* why)
{
    struct stat info;
    if (lstat(path.c_str(), &info) == 0)
        return readKey(path, why);
    if (errno != ENOENT) {
        *why = systemError("cannot read the key file", path);
        return nullptr;
    }
    return makeKey(path, keyBytes, why);
}

} // namespace seafold
