// Test speech: a few seconds synthesised with espeak-ng and converted by sox
// to 16-bit mono 8000 Hz, made once per test run in a temporary folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace seafold {
namespace testing {

// Samples of the test utterance, or empty when espeak-ng or sox is missing.
const std::vector<int16_t>& testSpeech();

// Runs a shell command; true on exit status 0.
bool runCommand(const std::string& command);

// A fresh temporary directory for this process.
std::string testTempDir();

} // namespace testing
} // namespace seafold
