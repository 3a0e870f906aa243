#include "net/random.h"
#include "base/platform.h"

#include <tomcrypt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/random.h>

namespace seafold {

static prng_state gYarrow;
static bool gStarted = false;
static int gYarrowIndex = -1;

// Fills `out` from the kernel's entropy pool. The pool never runs dry after
// boot, so this only fails on very old kernels; then the clocks are the
// (weak) last resort, and we say so.
static void systemEntropy(uint8_t* out, size_t length)
{
    size_t done = 0;
    while (done < length) {
        ssize_t got = getrandom(out + done, length - done, 0);
        if (got > 0) {
            done += size_t(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (done < length) {
        writeLog("Random: no operating-system entropy available; seeding from the clocks.");
        int64_t t = getHighPrecisionTimerValue();
        for (size_t i = done; i < length; ++i)
            out[i] = uint8_t(t >> (8 * (i % 8))) ^ uint8_t(i * 131);
    }
}

static void startFrom(const uint8_t* seed, uint32_t length)
{
    if (gStarted)
        yarrow_done(&gYarrow);
    if (gYarrowIndex < 0)
        gYarrowIndex = register_prng(&yarrow_desc);
    int err = yarrow_start(&gYarrow);
    if (err == CRYPT_OK && length > 0)
        err = yarrow_add_entropy(seed, length, &gYarrow);
    if (err == CRYPT_OK)
        err = yarrow_ready(&gYarrow);
    SF_ASSERT(err == CRYPT_OK, "Random: the generator could not be started.");
    gStarted = true;
}

static void ensureStarted()
{
    if (gStarted)
        return;
    Random::reseedFromSystem();
}

void Random::reseedFromSystem()
{
    uint8_t seed[32];
    systemEntropy(seed, sizeof seed);
    startFrom(seed, sizeof seed);
    std::memset(seed, 0, sizeof seed);
}

void Random::setFixedSeed(const void* seed, uint32_t length)
{
    startFrom(static_cast<const uint8_t*>(seed), length);
}

void Random::randomBytes(void* out, uint32_t count)
{
    ensureStarted();
    auto* bytes = static_cast<uint8_t*>(out);
    while (count > 0) {
        unsigned long got = yarrow_read(bytes, count, &gYarrow);
        SF_ASSERT(got > 0, "Random: the generator returned no bytes.");
        if (got == 0)
            return;
        bytes += got;
        count -= uint32_t(got);
    }
}

uint32_t Random::randomU32()
{
    uint8_t b[4];
    randomBytes(b, 4);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

int32_t Random::readI(int32_t low, int32_t high)
{
    if (high < low) {
        assertFailed(__FILE__, __LINE__, "Random::readI - invalid range.");
        return low;
    }
    // The range size as unsigned; 0 means all 2^32 values.
    uint32_t range = uint32_t(high) - uint32_t(low) + 1u;
    uint32_t r = randomU32();
    return int32_t(uint32_t(low) + (range ? r % range : r));
}

void* Random::prngState()
{
    ensureStarted();
    return &gYarrow;
}

int Random::prngIndex()
{
    ensureStarted();
    return gYarrowIndex;
}

} // namespace seafold
