// Arbitrary bytes as a WAV file: the reader must never read or allocate
// beyond the input, and what it returns must be whole blocks of the input.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sound/sound.h"

using namespace seafold;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An owned copy of exactly the input, so reading past it is caught.
    std::vector<uint8_t> bytes(data, data + size);
    WaveData wave;
    bool loaded = readWave(bytes.data(), bytes.size(), &wave);
    if (loaded != !wave.data.empty())
        std::abort();
    if (wave.data.size() > size)
        std::abort();
    // The samples are a stretch of the file, copied unchanged.
    if (loaded && std::search(bytes.begin(), bytes.end(), wave.data.begin(), wave.data.end()) == bytes.end())
        std::abort();
    return 0;
}
