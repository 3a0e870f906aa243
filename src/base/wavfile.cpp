// RIFF WAV reading and writing.
//
// File layout (all numbers little-endian):
//   [tag "RIFF"] (4 bytes)         not checked
//   [riff size]  (u32)             bytes after this field, rounded up to even
//   [tag "WAVE"] (4 bytes)         not checked
//   then chunks until riff size is used up or the file ends:
//   [chunk id]   (4 bytes)
//   [chunk size] (u32)             bytes of the body; an odd body is followed
//                                  by one pad byte
//   "fmt " body: [format tag] (u16) 1 = PCM
//                [channels] (u16) [sample rate] (u32) [byte rate] (u32)
//                [block alignment] (u16) [bits per sample] (u16), then
//                extension bytes, skipped
//   "data" body: samples, whole blocks of block-alignment bytes
#include "base/wavfile.h"

#include <cstdio>
#include <cstring>

namespace seafold {

namespace {

uint32_t readU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t readU16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

void putU32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

void putU16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

bool readChunks(const uint8_t* bytes, size_t size, WaveData* wave)
{
    if (size < 12)
        return false;
    uint64_t riffSize = readU32(bytes + 4);
    int64_t remaining = int64_t((riffSize + 1) & ~uint64_t(1)) - 4;
    size_t at = 12;

    bool haveFormat = false;
    uint16_t formatTag = 0, blockAlign = 0;
    bool haveData = false;
    while (remaining > 0 && size - at >= 8) {
        const uint8_t* header = bytes + at;
        uint64_t chunkSize = readU32(header + 4);
        uint64_t padded = (chunkSize + 1) & ~uint64_t(1);
        at += 8;
        // A chunk that claims more than the file holds is a damaged file. The
        // pad byte of the last chunk may be missing: some writers leave it out.
        if (chunkSize > size - at)
            return false;
        const uint8_t* body = bytes + at;

        if (std::memcmp(header, "fmt ", 4) == 0) {
            if (chunkSize < 16)
                return false;
            formatTag = readU16(body);
            uint16_t channels = readU16(body + 2);
            uint32_t rate = readU32(body + 4);
            blockAlign = readU16(body + 12);
            uint16_t bits = readU16(body + 14);
            haveFormat = true;
            if (formatTag == 1) {
                bool mono = channels == 1;
                bool eight = bits == 8;
                wave->format = mono ? (eight ? WaveFormat::Mono8 : WaveFormat::Mono16)
                                    : (eight ? WaveFormat::Stereo8 : WaveFormat::Stereo16);
                wave->rate = rate;
                wave->channels = channels;
                wave->bitsPerSample = bits;
            }
        } else if (std::memcmp(header, "data", 4) == 0) {
            if (!haveFormat)
                return false;
            // Non-PCM data is skipped; a second data chunk is ignored.
            if (formatTag == 1 && !haveData) {
                if (blockAlign == 0 || chunkSize % blockAlign != 0)
                    return false;
                wave->data.assign(body, body + chunkSize);
                haveData = true;
            }
        }
        at += size_t(chunkSize);
        if (padded > chunkSize && at < size)
            ++at;
        remaining -= int64_t(padded) + 8;
    }
    return haveData && !wave->data.empty();
}

} // namespace

bool readWave(const uint8_t* bytes, size_t size, WaveData* wave)
{
    *wave = WaveData();
    // A file damaged anywhere, even after its samples, loads nothing.
    if (readChunks(bytes, size, wave))
        return true;
    wave->data.clear();
    return false;
}

bool loadWaveFile(const std::string& path, WaveData* wave)
{
    *wave = WaveData();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    std::vector<uint8_t> bytes;
    uint8_t block[65536];
    size_t n;
    // Catalogue sounds and speech files are small; refuse anything absurd.
    const size_t limit = size_t(256) << 20;
    while ((n = std::fread(block, 1, sizeof(block), file)) > 0) {
        if (bytes.size() + n > limit) {
            std::fclose(file);
            return false;
        }
        bytes.insert(bytes.end(), block, block + n);
    }
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        return false;
    return readWave(bytes.data(), bytes.size(), wave);
}

bool writeWaveFile(const std::string& path, const int16_t* samples, size_t count, uint32_t rate)
{
    if (count > (0xFFFFFFF0u - 36) / 2)
        return false;
    uint32_t dataBytes = uint32_t(count * 2);
    uint8_t header[44];
    std::memcpy(header, "RIFF", 4);
    putU32(header + 4, 36 + dataBytes);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    putU32(header + 16, 16);
    putU16(header + 20, 1);
    putU16(header + 22, 1);
    putU32(header + 24, rate);
    putU32(header + 28, rate * 2);
    putU16(header + 32, 2);
    putU16(header + 34, 16);
    std::memcpy(header + 36, "data", 4);
    putU32(header + 40, dataBytes);

    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool ok = std::fwrite(header, 1, sizeof(header), file) == sizeof(header);
    for (size_t i = 0; ok && i < count; ++i) {
        uint8_t le[2];
        putU16(le, uint16_t(samples[i]));
        ok = std::fwrite(le, 1, 2, file) == 2;
    }
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

} // namespace seafold
