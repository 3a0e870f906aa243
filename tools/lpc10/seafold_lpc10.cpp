// seafold-lpc10: the voice codec on files.
//
//   seafold-lpc10 encode IN OUT   16-bit little-endian mono 8000 Hz samples
//                                 (raw, or a WAV file of that format) to the
//                                 LPC-10 frame stream of one encodeBuffer call:
//                                 floor(samples / 180) frames, the tail dropped
//   seafold-lpc10 decode IN OUT   a frame stream to raw samples as one
//                                 decodeBuffer call gives them; OUT ending in
//                                 ".wav" gets a WAV file
//
// "-" stands for standard input or output. Every run starts from fresh codec
// states. Errors print one line and exit with status 2.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "voice/voicecodec.h"

using namespace seafold;

namespace {

struct Failure {
    std::string message;
};

[[noreturn]] void fail(const std::string& message)
{
    throw Failure{message};
}

std::vector<uint8_t> readAll(const std::string& path)
{
    FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!f)
        fail("cannot open " + path + ": " + std::strerror(errno));
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    bool bad = std::ferror(f) != 0;
    if (f != stdin)
        std::fclose(f);
    if (bad)
        fail("cannot read " + path);
    return bytes;
}

void writeAll(const std::string& path, const std::vector<uint8_t>& header, const uint8_t* data, size_t size)
{
    FILE* f = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
    if (!f)
        fail("cannot create " + path + ": " + std::strerror(errno));
    bool ok = header.empty() || std::fwrite(header.data(), 1, header.size(), f) == header.size();
    ok = ok && (size == 0 || std::fwrite(data, 1, size, f) == size);
    ok = (f == stdout ? std::fflush(f) == 0 : std::fclose(f) == 0) && ok;
    if (!ok)
        fail("cannot write " + path);
}

uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

bool isWav(const std::vector<uint8_t>& b)
{
    return b.size() >= 12 && std::memcmp(b.data(), "RIFF", 4) == 0 && std::memcmp(b.data() + 8, "WAVE", 4) == 0;
}

// The sample bytes of a WAV file, which must be PCM, mono, 8000 Hz, 16 bits.
std::vector<uint8_t> wavSamples(const std::vector<uint8_t>& b, const std::string& path)
{
    size_t pos = 12;
    bool haveFormat = false;
    while (pos + 8 <= b.size()) {
        const uint8_t* chunk = b.data() + pos;
        uint32_t size = le32(chunk + 4);
        size_t body = pos + 8;
        size_t available = b.size() - body;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16 || size > available)
                fail(path + ": malformed WAV format chunk");
            uint16_t tag = le16(chunk + 8), channels = le16(chunk + 10), bits = le16(chunk + 22);
            uint32_t rate = le32(chunk + 12);
            if (tag != 1 || channels != 1 || rate != 8000 || bits != 16)
                fail(path + ": WAV must be 16-bit PCM, mono, 8000 Hz (this one: format " + std::to_string(tag) + ", " +
                     std::to_string(channels) + " channels, " + std::to_string(rate) + " Hz, " + std::to_string(bits) +
                     " bits)");
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat)
                fail(path + ": WAV data before its format chunk");
            // Writers on a pipe cannot fill in the size; take the rest then.
            if (size > available) {
                if (size != 0xFFFFFFFFu && size < 0x7FFF0000u)
                    fail(path + ": WAV data chunk is truncated");
                size = uint32_t(available);
            }
            if (size % 2 != 0)
                fail(path + ": odd number of sample bytes");
            return std::vector<uint8_t>(b.begin() + long(body), b.begin() + long(body + size));
        }
        pos = body + size + (size & 1);
    }
    fail(path + ": WAV file without " + std::string(haveFormat ? "data" : "format") + " chunk");
}

std::vector<uint8_t> wavHeader(uint32_t dataBytes)
{
    std::vector<uint8_t> h(44);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            h[at + i] = uint8_t(v >> (8 * i));
    };
    auto put16 = [&](size_t at, uint16_t v) {
        h[at] = uint8_t(v);
        h[at + 1] = uint8_t(v >> 8);
    };
    std::memcpy(&h[0], "RIFF", 4);
    put32(4, 36 + dataBytes);
    std::memcpy(&h[8], "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);     // PCM
    put16(22, 1);     // mono
    put32(24, 8000);  // samples per second
    put32(28, 16000); // bytes per second
    put16(32, 2);     // block alignment
    put16(34, 16);    // bits per sample
    std::memcpy(&h[36], "data", 4);
    put32(40, dataBytes);
    return h;
}

bool endsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void encodeFile(const std::string& in, const std::string& out)
{
    std::vector<uint8_t> bytes = readAll(in);
    if (isWav(bytes))
        bytes = wavSamples(bytes, in);
    else if (bytes.size() % 2 != 0)
        fail(in + ": odd number of bytes; expected 16-bit samples");
    if (bytes.size() > 0xFFFFFFFEu)
        fail(in + ": too large");
    RefPtr<ByteBuffer> samples = new ByteBuffer(uint32_t(bytes.size()));
    if (!bytes.empty())
        std::memcpy(samples->data(), bytes.data(), bytes.size());
    LPC10VoiceEncoder encoder;
    RefPtr<ByteBuffer> frames = encoder.encodeBuffer(samples);
    if (frames.isNull())
        writeAll(out, {}, nullptr, 0);
    else
        writeAll(out, {}, frames->data(), frames->size());
}

void decodeFile(const std::string& in, const std::string& out)
{
    std::vector<uint8_t> bytes = readAll(in);
    // Every byte may be a whole frame of 360 output bytes; keep the output
    // within what one buffer (and a WAV file) can hold.
    const uint64_t worstCase = uint64_t(bytes.size()) * 360;
    if (worstCase > 0xFFFFFFFFull - 44)
        fail(in + ": too large (at most " + std::to_string((0xFFFFFFFFull - 44) / 360) + " bytes)");
    ByteBuffer frames(bytes.data(), uint32_t(bytes.size()));
    LPC10VoiceDecoder decoder;
    RefPtr<ByteBuffer> samples = decoder.decodeBuffer(&frames);
    std::vector<uint8_t> header;
    if (out != "-" && endsWith(out, ".wav"))
        header = wavHeader(samples->size());
    writeAll(out, header, samples->data(), samples->size());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || (std::strcmp(argv[1], "encode") != 0 && std::strcmp(argv[1], "decode") != 0)) {
        std::fprintf(stderr, "usage: seafold-lpc10 encode|decode IN OUT   (\"-\" = standard input/output)\n");
        return 2;
    }
    try {
        if (std::strcmp(argv[1], "encode") == 0)
            encodeFile(argv[2], argv[3]);
        else
            decodeFile(argv[2], argv[3]);
    } catch (const Failure& f) {
        std::fprintf(stderr, "seafold-lpc10: %s\n", f.message.c_str());
        return 2;
    }
    return 0;
}
