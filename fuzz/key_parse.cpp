// Keys and certificates arrive in handshake packets: any bytes must give an
// invalid object or a usable one, never a crash.
#include "net/crypto.h"

#include <cstdint>
#include <cstdlib>

using namespace seafold;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    uint32_t n = uint32_t(size);
    RefPtr<AsymmetricKey> key = new AsymmetricKey(data, n);
    if (key->isValid() && (key->publicKey() == nullptr || key->publicKey()->size() == 0))
        std::abort();

    RefPtr<Certificate> certificate = new Certificate(data, n);
    if (certificate->isValid() && !certificate->publicKey()->isValid())
        std::abort();

    // The same bytes as a stream holding a key buffer.
    uint8_t copy[4096];
    for (uint32_t i = 0; i < n; ++i)
        copy[i] = data[i];
    BitStream stream(copy, n);
    RefPtr<AsymmetricKey> fromStream = new AsymmetricKey(stream);
    (void)fromStream;
    return 0;
}
