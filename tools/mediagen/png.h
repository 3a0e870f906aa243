// A small PNG writer: 8-bit RGB or RGBA, one IDAT chunk, no interlacing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mediagen {

// `pixels` holds height rows of width * channels bytes, top row first;
// channels is 3 (RGB) or 4 (RGBA). Returns false with `error` set on failure.
bool writePng(const std::string& path, int width, int height, int channels, const std::vector<uint8_t>& pixels,
              std::string& error);

} // namespace mediagen
