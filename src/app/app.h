// Application shell: the command line, the main-loop timing step and the one
// start-up and main loop shared by the windowed program and the display-less
// one. The loop keeps its timing state to itself; what the command line said
// reaches the subsystems through the objects the program builds from it.
//
// Nothing here knows the renderer, GUI or input libraries: the windowed
// program plugs them in through a FrameDriver (declared by the scene), and the
// network, voice and sound subsystems through LoopHooks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/commandline.h"
#include "scene/framedriver.h"
#include "sound/sound.h"
#include "voice/voicecapture.h"

namespace seafold {

// ---- timing step ----------------------------------------------------------------

struct TickState {
    int64_t lastTickTime = 0; // timer value of the last accepted tick
    double carryMs = 0.0;     // fraction of a ms left from the last accepted tick
};

struct TickOutcome {
    TickState state;       // the state after the step
    bool accepted = false; // at least 5 whole ms had passed
    uint32_t wholeMs = 0;  // whole milliseconds of the step (valid when accepted)
};

// Minimum whole milliseconds for a tick to be accepted.
constexpr uint32_t MinTickMs = 5;
// The longest pause of a loop pass: the frame's deadline. It caps the loop's
// processor use when a frame costs nothing (the display-less program, a
// minimised window), and the voice tick's countdown moves in steps of at
// least MinTickMs anyway. The pause ends sooner when a datagram arrives or
// the network has something due (LoopHooks::msUntilDue).
constexpr uint32_t LoopPauseMs = 5;

// One pass of the loop's timing: `now` and `before.lastTickTime` are
// high-precision timer values. A tick shorter than 5 whole ms changes nothing,
// so time accumulates; an accepted tick moves the start to `now` and carries
// the fraction.
TickOutcome timingStep(int64_t now, const TickState& before);

// ---- seams for the other subsystems ------------------------------------------------

// Every hook may be empty, meaning "nothing to do". Each is called on the main
// thread at the point of start-up or of the loop named in its comment.
struct LoopHooks {
    std::function<void()> initSound;                      // start-up, first of all
    std::function<bool(const CommandLine&)> startNetwork; // start-up, after the command line; false: exit 1
    std::function<void()> receivePackets;                 // loop: read packets, before the next frame
    std::function<void()> serviceConnections;             // loop: service connections (after the frame and
                                                          // after reading packets)
    std::function<void(uint32_t)> voiceTime;              // loop: each accepted tick's whole ms (the voice
                                                          // countdown; runs the voice tick when due)
    std::function<void()> updateSound;                    // loop: sound update, every pass
    std::function<void()> leaveSession;                   // shutdown, first: peers are told at once
    std::function<void()> closeSound;                     // shutdown (does nothing unless sound is open)
    std::function<void(uint32_t)> waitForPackets;         // loop: the pause, ended early by an arriving datagram
    std::function<void(uint32_t)> sleep;                  // loop: the pause when set (before waitForPackets);
                                                          // both empty = sleepMilliseconds
    std::function<int64_t()> now;                         // timer; empty = getHighPrecisionTimerValue
    std::function<uint32_t(uint32_t)> msUntilDue;         // loop, before the pause: ms until the network has
                                                          // something due (an ack, a resend, a paced packet),
                                                          // at most the given; empty = the whole pause
};

class SessionHost;

// The process's sound output and voice capture: made by each program before
// its session, lent to everything that plays or captures, and kept until
// after the main loop. Capture goes first at the end (before the audio
// library's device).
struct Audio {
    SoundPool sound;
    VoiceCapture capture;
    SoundSetup soundSetup; // the output device the options name
};

// The devices the options name, and their notices (a device not there or
// gone, the default in its place) on the console and to `note` when set.
void chooseAudioDevices(Audio& audio, const ProgramOptions& options,
                        std::function<void(const std::string&)> note = nullptr);

// Opening and closing sound (with voice capture), whatever runs between.
LoopHooks soundLoopHooks(Audio& audio);

// The hooks of the real program: the network and session steps of `host`
// (which outlives the loop), voice and sound.
LoopHooks standardLoopHooks(SessionHost& host);

// Start-up, main loop and shutdown. Returns the process exit code: 0 after the
// loop ended, 1 after a caught front-end exception (told on standard error,
// the peers told and sound closed all the same), when the network could not
// start or set-up failed, or the code given to requestExit.
int runApplication(const CommandLine& line, FrameDriver& driver, const LoopHooks& hooks);

// ---- ending on a signal ------------------------------------------------------------

// SIGINT and SIGTERM end the main loop after the current pass, so that the
// shutdown tells the peers at once; a second one ends the process at once
// (for a program stuck outside the loop, in a dialog say).
void installStopSignals();
bool stopRequested();
// Sets or clears what the signal handler sets (tests).
void setStopRequested(bool requested);
// Ends the main loop after the current pass, as a signal does, and makes
// runApplication return `exitCode` (a client that will not try again).
void requestExit(int exitCode);

} // namespace seafold
