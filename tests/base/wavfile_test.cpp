// The WAV reader on images built here chunk by chunk: what loads, and the
// damaged files that must fail without reading or allocating past the end.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/wavfile.h"

using namespace seafold;

namespace {

struct Image {
    std::vector<uint8_t> bytes;

    void u32(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(v >> (8 * i)));
    }
    void u16(uint16_t v)
    {
        bytes.push_back(uint8_t(v));
        bytes.push_back(uint8_t(v >> 8));
    }
    void tag(const char* t) { bytes.insert(bytes.end(), t, t + 4); }

    // RIFF header; the size is filled in by finish().
    Image()
    {
        tag("RIFF");
        u32(0);
        tag("WAVE");
    }
    void fmt(uint16_t formatTag, uint16_t channels, uint32_t rate, uint16_t blockAlign, uint16_t bits,
             uint32_t chunkSize = 16)
    {
        tag("fmt ");
        u32(chunkSize);
        u16(formatTag);
        u16(channels);
        u32(rate);
        u32(rate * blockAlign);
        u16(blockAlign);
        u16(bits);
        for (uint32_t i = 16; i < chunkSize; ++i)
            bytes.push_back(0);
    }
    // A chunk with `size` bytes of body (value i & 0xFF), pad byte when odd.
    void chunk(const char* id, uint32_t size, uint32_t claimed = ~0u)
    {
        tag(id);
        u32(claimed == ~0u ? size : claimed);
        for (uint32_t i = 0; i < size; ++i)
            bytes.push_back(uint8_t(i));
        if (size % 2)
            bytes.push_back(0xEE);
    }
    std::vector<uint8_t> finish()
    {
        uint32_t riff = uint32_t(bytes.size() - 8);
        for (int i = 0; i < 4; ++i)
            bytes[4 + i] = uint8_t(riff >> (8 * i));
        return bytes;
    }
};

bool read(const std::vector<uint8_t>& image, WaveData* wave)
{
    // A copy of exactly the image's size, so that a read past the end is
    // caught by the address sanitizer.
    std::vector<uint8_t> exact(image);
    return readWave(exact.data(), exact.size(), wave);
}

} // namespace

TEST(WaveReader, PcmWithExtraAndOddChunksAroundTheData)
{
    Image im;
    im.chunk("LIST", 5); // odd: followed by its pad byte
    im.fmt(1, 1, 11025, 2, 16, 18);
    im.chunk("smpl", 36);
    im.chunk("data", 8);
    im.chunk("cue ", 3);
    WaveData wave;
    ASSERT_TRUE(read(im.finish(), &wave));
    EXPECT_EQ(wave.format, WaveFormat::Mono16);
    EXPECT_EQ(wave.rate, 11025u);
    EXPECT_EQ(wave.data, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(WaveReader, StereoEightBitKeepsItsOwnRate)
{
    Image im;
    im.fmt(1, 2, 22050, 2, 8);
    im.chunk("data", 6);
    WaveData wave;
    ASSERT_TRUE(read(im.finish(), &wave));
    EXPECT_EQ(wave.format, WaveFormat::Stereo8);
    EXPECT_EQ(wave.rate, 22050u);
    EXPECT_EQ(wave.data.size(), 6u);
}

TEST(WaveReader, FormatsAndLayoutsThatLoadNoData)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
    };
    std::vector<Case> cases;
    {
        Image im; // IEEE float
        im.fmt(3, 1, 8000, 4, 32);
        im.chunk("data", 16);
        cases.push_back({"format tag 3", im.finish()});
    }
    {
        Image im;
        im.chunk("data", 4);
        im.fmt(1, 1, 8000, 2, 16);
        cases.push_back({"data before fmt", im.finish()});
    }
    {
        Image im;
        im.fmt(1, 1, 8000, 0, 16);
        im.chunk("data", 4);
        cases.push_back({"block alignment 0", im.finish()});
    }
    {
        Image im;
        im.fmt(1, 2, 8000, 4, 16);
        im.chunk("data", 6);
        cases.push_back({"data not whole blocks", im.finish()});
    }
    {
        Image im;
        im.fmt(1, 1, 8000, 2, 16);
        im.chunk("data", 8, 0x7FFFFFF0);
        cases.push_back({"data claims more than the file", im.finish()});
    }
    {
        Image im;
        im.fmt(1, 1, 8000, 2, 16);
        im.chunk("junk", 2, 0xFFFFFFFE);
        im.chunk("data", 8);
        cases.push_back({"other chunk claims more than the file", im.finish()});
    }
    {
        // Found by fuzzing: the samples were kept although the load failed.
        Image im;
        im.fmt(1, 1, 8000, 2, 16);
        im.chunk("data", 8);
        im.chunk("cue ", 2, 0x20);
        cases.push_back({"damaged chunk after the data", im.finish()});
    }
    {
        Image im;
        im.fmt(1, 1, 8000, 2, 16, 16);
        std::vector<uint8_t> cut = im.finish();
        cut.resize(12 + 8 + 10); // fmt body cut short
        cases.push_back({"truncated fmt", cut});
    }
    {
        Image im;
        im.fmt(1, 1, 8000, 2, 16, 14);
        im.chunk("data", 4);
        cases.push_back({"fmt chunk too small", im.finish()});
    }
    cases.push_back({"truncated RIFF header", std::vector<uint8_t>{'R', 'I', 'F', 'F', 4, 0}});
    cases.push_back({"empty", {}});
    {
        Image im;
        im.fmt(1, 1, 8000, 2, 16);
        cases.push_back({"no data chunk", im.finish()});
    }
    for (auto& c : cases) {
        WaveData wave;
        EXPECT_FALSE(read(c.image, &wave)) << c.name;
        EXPECT_TRUE(wave.data.empty()) << c.name;
    }
}

TEST(WaveReader, StopsAtTheRiffSizeAndToleratesAMissingFinalPad)
{
    Image im;
    im.fmt(1, 1, 8000, 1, 8);
    im.chunk("data", 3);
    std::vector<uint8_t> image = im.finish();
    image.pop_back(); // the pad byte of the last chunk is missing
    WaveData wave;
    ASSERT_TRUE(read(image, &wave));
    EXPECT_EQ(wave.format, WaveFormat::Mono8);
    EXPECT_EQ(wave.data.size(), 3u);

    // Bytes after the RIFF size are not chunks of this file.
    Image shortRiff;
    shortRiff.fmt(1, 1, 8000, 2, 16);
    shortRiff.finish();
    shortRiff.chunk("data", 4);
    std::vector<uint8_t> whole = shortRiff.bytes; // RIFF size still covers fmt only
    EXPECT_FALSE(read(whole, &wave));
}

TEST(WaveReader, WrittenFileLoadsBack)
{
    std::string path = ::testing::TempDir() + "/seafold_wave_roundtrip.wav";
    std::vector<int16_t> samples = {0, 1, -1, 32767, -32768, 1234};
    ASSERT_TRUE(writeWaveFile(path, samples.data(), samples.size(), 8000));
    WaveData wave;
    ASSERT_TRUE(loadWaveFile(path, &wave));
    EXPECT_EQ(wave.format, WaveFormat::Mono16);
    EXPECT_EQ(wave.rate, 8000u);
    ASSERT_EQ(wave.data.size(), samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        EXPECT_EQ(int16_t(uint16_t(wave.data[2 * i] | wave.data[2 * i + 1] << 8)), samples[i]);
    std::remove(path.c_str());
    EXPECT_FALSE(loadWaveFile(path, &wave));
}
