#include "app/keyfile.h"
#include "app/knownservers.h"

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

RefPtr<AsymmetricKey> makeKey(const std::string& path, uint32_t keyBytes, std::string* why)
{
    RefPtr<AsymmetricKey> key = new AsymmetricKey(keyBytes);
    if (!key->isValid()) {
        *why = "the key pair could not be made";
        return nullptr;
    }
    // Written whole under a unique name beside it, then linked into place:
    // link() never replaces a file that appeared meanwhile (another server
    // starting at the same moment: its key is then read), never follows a
    // link, and nobody ever reads a half-written key.
    std::string temporary = path + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) {
        *why = systemError("cannot make the key file", path);
        return nullptr;
    }
    const ByteBuffer* buffer = key->privateKey();
    bool ok = fchmod(fd, KeyFileMode) == 0 && write(fd, buffer->data(), buffer->size()) == ssize_t(buffer->size());
    ok = fsync(fd) == 0 && ok;
    if (close(fd) != 0 || !ok) {
        *why = systemError("cannot write the key file", path);
        unlink(temporary.c_str());
        return nullptr;
    }
    const bool linked = link(temporary.c_str(), path.c_str()) == 0;
    const int error = errno;
    unlink(temporary.c_str());
    if (linked)
        return key;
    if (error == EEXIST)
        return readKey(path, why);
    errno = error;
    *why = systemError("cannot make the key file", path);
    return nullptr;
}

} // namespace

std::string defaultServerKeyFile()
{
    const std::string folder = userStateFolder();
    return folder.empty() ? folder : folder + "/server.key";
}

bool makeOwnFolder(const std::string& folder, std::string* why)
{
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *why = systemError("cannot make the folder", part);
            return false;
        }
        if (slash == std::string::npos)
            return true;
    }
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
