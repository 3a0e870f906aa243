#include "app/keyfile.h"
#include "base/atomicfile.h"

#include <cerrno>
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
    // Kept: never over a key that appeared meanwhile, nor through a link
    // at a temporary's name.
    const ByteBuffer* buffer = key->privateKey();
    FileWriteResult written =
        writeFileAtomically(path, std::string(reinterpret_cast<const char*>(buffer->data()), buffer->size()),
                            KeyFileMode, ExistingFile::Keep);
    if (!written) {
        *why = "cannot make the key file: " + written.error;
        return nullptr;
    }
    return key;
}

} // namespace

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
