// RIFF WAV files: the sound catalogue's effects, capture files and the
// tests' recordings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace seafold {

enum class WaveFormat { Mono8, Mono16, Stereo8, Stereo16 };

struct WaveData {
    WaveFormat format = WaveFormat::Mono16;
    std::vector<uint8_t> data; // whole blocks of the "data" chunk
    uint32_t rate = 22050;
    uint16_t channels = 1;
    uint16_t bitsPerSample = 16;
};

// Reads a RIFF WAV image: its "fmt " chunk (PCM, format tag 1) and its "data"
// chunk; other chunks are skipped, odd-sized ones with their pad byte.
// Returns true when sample data was found. Never reads or allocates beyond
// `size`: a "data" chunk before "fmt ", a block alignment of 0, a data size
// that is not a multiple of it, a chunk that claims more bytes than remain,
// or a truncated header fails (no data). A non-PCM format loads no data.
bool readWave(const uint8_t* bytes, size_t size, WaveData* wave);

// readWave of a whole file; false when it cannot be read or holds no data.
bool loadWaveFile(const std::string& path, WaveData* wave);

// Writes 16-bit mono PCM as a WAV file (the file capture back end's and the
// tests' counterpart of loadWaveFile).
bool writeWaveFile(const std::string& path, const int16_t* samples, size_t count, uint32_t rate);

} // namespace seafold
