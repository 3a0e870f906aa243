#include "speech_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace seafold {
namespace testing {

bool runCommand(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

std::string testTempDir()
{
    static std::string dir;
    if (dir.empty()) {
        char pattern[] = "/tmp/seafold-voice-XXXXXX";
        const char* made = mkdtemp(pattern);
        dir = made ? made : "/tmp";
        // The directory goes with the process that made it.
        if (made)
            std::atexit([] { std::filesystem::remove_all(dir); });
    }
    return dir;
}

const std::vector<int16_t>& testSpeech()
{
    static std::vector<int16_t> samples;
    static bool tried = false;
    if (tried)
        return samples;
    tried = true;
    std::string dir = testTempDir();
    std::string wav = dir + "/speech.wav";
    std::string raw = dir + "/speech.raw";
    // Sentences with pauses, so voiced, unvoiced and silent frames all occur.
    // sox must not dither: the speech has to be the same on every run.
    std::string text = "The quick brown fox jumps over the lazy dog. "
                       "She sells sea shells by the sea shore, and the shells she sells are surely sea shells. "
                       "Seven silent ships sail past the harbour wall.";
    if (!runCommand("espeak-ng -w '" + wav + "' \"" + text + "\" >/dev/null 2>&1"))
        return samples;
    if (!runCommand("sox -D -R '" + wav + "' -r 8000 -c 1 -b 16 -e signed-integer -t raw '" + raw +
                    "' >/dev/null 2>&1"))
        return samples;
    std::ifstream in(raw, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    samples.resize(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = int16_t(uint16_t(uint8_t(bytes[2 * i])) | uint16_t(uint8_t(bytes[2 * i + 1]) << 8));
    return samples;
}

} // namespace testing
} // namespace seafold
