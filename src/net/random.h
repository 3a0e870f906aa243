// The process-wide random generator (LibTomCrypt's Yarrow). It starts on
// first use, seeded from the operating system's entropy source; tests and
// tools that need a repeatable sequence give it a fixed seed instead.
#pragma once

#include <cstdint>

namespace seafold {

class Random {
public:
    // Fills `count` bytes.
    static void randomBytes(void* out, uint32_t count);
    // Four random bytes b0..b3 as b0<<24 | b1<<16 | b2<<8 | b3.
    static uint32_t randomU32();
    // low + randomU32() mod (high - low + 1). high below low is a
    // programming error.
    static int32_t readI(int32_t low, int32_t high);

    // Restarts the generator from these bytes alone: the same seed gives the
    // same sequence from here on. May be called at any time.
    static void setFixedSeed(const void* seed, uint32_t length);
    // Restarts the generator from fresh operating-system entropy.
    static void reseedFromSystem();

    // For the key generator of the crypto module: the generator's LibTomCrypt
    // state (a prng_state*) and its registered index.
    static void* prngState();
    static int prngIndex();
};

} // namespace seafold
