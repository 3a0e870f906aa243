// The display-less program: the same start-up and main loop as the windowed
// one, with a scene that keeps users' models as numbers, and options that
// script a user (pick a model, move it, quit) and log what happens as JSON.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/app.h"
#include "net/socket.h"

namespace seafold {

struct HeadlessOptions {
    std::string commandLine;   // the mode, address and name tokens
    std::string model;         // --model NAME
    struct Move {
        double dx, dy, dz;
    };
    std::vector<Move> moves;   // --move DX,DY,DZ (repeatable)
    uint32_t moveEveryMs = 0;  // --move-every MS; 0 = each move once
    double quitAfterSeconds = -1; // --quit-after SECONDS; negative = run until a signal
    bool events = false;       // --events
    bool simulate = false;     // --net-sim DROP,DUP,MINMS,MAXMS
    NetworkSimulator::Settings simulation;
    uint32_t pingIntervalMs = 0; // --ping-interval MS; 0 = the default 5000
    std::vector<uint8_t> voice;  // --voice HEX: one voice message, sent after the model
    uint32_t statsEveryMs = 0;   // --stats MS: connection statistics as JSON lines
    std::string speakFile;       // --speak FILE.wav: push-to-talk held for the file's length (client)
    double speakEverySeconds = 0; // --speak-every SECONDS: speak again this often; 0 = once
};

// Reads the arguments (without the program name). False with `error` set for
// an unknown option, a missing or malformed value, or an address that does
// not parse.
bool parseHeadlessOptions(const std::vector<std::string>& args, HeadlessOptions* options, std::string* error);

extern const char* const kHeadlessUsage;

// Runs the program; returns its exit code.
int runHeadless(const HeadlessOptions& options);

} // namespace seafold
