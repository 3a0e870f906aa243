#include "png.h"

#include <zlib.h>

#include <cstdio>

namespace mediagen {

namespace {

void putBigEndian32(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back(uint8_t(value >> 24));
    out.push_back(uint8_t(value >> 16));
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

// Chunk: [length] (u32 BE) [type] (4 chars) [data] [crc] (u32 BE, over type and data)
void putChunk(std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& data)
{
    putBigEndian32(out, uint32_t(data.size()));
    size_t typeStart = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, out.data() + typeStart, uInt(out.size() - typeStart));
    putBigEndian32(out, uint32_t(crc));
}

} // namespace

bool writePng(const std::string& path, int width, int height, int channels, const std::vector<uint8_t>& pixels,
              std::string& error)
{
    if (width <= 0 || height <= 0 || (channels != 3 && channels != 4) ||
        pixels.size() != size_t(width) * size_t(height) * size_t(channels)) {
        error = "bad image dimensions for " + path;
        return false;
    }

    // Every row starts with filter type 0 (none).
    size_t rowBytes = size_t(width) * size_t(channels);
    std::vector<uint8_t> raw;
    raw.reserve((rowBytes + 1) * size_t(height));
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), pixels.begin() + long(rowBytes) * y, pixels.begin() + long(rowBytes) * (y + 1));
    }
    uLongf packedSize = compressBound(uLong(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), uLong(raw.size()), 9) != Z_OK) {
        error = "zlib could not compress " + path;
        return false;
    }
    packed.resize(packedSize);

    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    // IHDR: [width] (u32) [height] (u32) [bit depth] (8) [colour type] (2 RGB,
    // 6 RGBA) [compression] (0) [filter] (0) [interlace] (0)
    std::vector<uint8_t> header;
    putBigEndian32(header, uint32_t(width));
    putBigEndian32(header, uint32_t(height));
    header.push_back(8);
    header.push_back(channels == 4 ? 6 : 2);
    header.push_back(0);
    header.push_back(0);
    header.push_back(0);
    putChunk(file, "IHDR", header);
    putChunk(file, "IDAT", packed);
    putChunk(file, "IEND", {});

    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    ok = std::fclose(out) == 0 && ok;
    if (!ok)
        error = "write failed for " + path;
    return ok;
}

} // namespace mediagen
