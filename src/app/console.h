// What both programs tell their user on the terminal, without --events:
// that the server listens, that the connection to the server is being made,
// is made, failed (with the reason and what to check) or was lost, and when
// a user joins, picks a model or leaves. One plain line each.
//
// Console lines go to standard output; with --events, whose JSON lines own
// standard output, they go to standard error. --quiet turns them off.
// Start-up failures (a port in use, say) are no console lines: they always go
// to standard error, prefixed with the program's name, and the program ends
// with exit code 1.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/commandline.h"
#include "app/refusal.h"
#include "base/platform.h"
#include "net/address.h"
#include "session/roster.h"
#include "sound/sound.h"

namespace seafold {

// ---- the console ------------------------------------------------------------------

// The terminal of one program: its name for start-up failures, --quiet, and
// where its lines go. The program makes one from its options at start; while
// it lives it is the process's console, which consoleLine and startUpError
// write through (the newest one alive wins; the one before it comes back when
// it goes). Without any, lines go to standard output under the display-less
// program's name.
class Console {
public:
    Console(Program program, const SharedOptions& options);
    explicit Console(Program program, bool quiet = false);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    Program program() const { return mProgram; }
    bool quiet() const { return mQuiet; }
    // Null: standard output. --events gives standard output to its JSON
    // lines and moves the console to standard error.
    void setStream(std::FILE* stream) { mStream = stream; }

    // One line (nothing while quiet). The text is printed as it stands: pass
    // what others sent through terminalText first.
    void line(const std::string& text) const;
    // A start-up failure: "<program>: <text>" on standard error, quiet or not.
    void startUpError(const std::string& text) const;

private:
    Program mProgram;
    bool mQuiet;
    std::FILE* mStream = nullptr;
    Console* mPrevious; // the process's console before this one
};

// The process's console, as described above.
Console& currentConsole();

// Through the process's console.
void consoleLine(const std::string& text);
void startUpError(const std::string& text);
// Where the process's console writes (tests that read its lines).
void setConsoleStream(std::FILE* stream);

// Bytes received from others (user and model names, reasons), safe to print
// on one line: control bytes and bytes that are not UTF-8 become \xNN, and
// characters that hide text or turn its direction \u{XXXX}, so a name cannot
// move the cursor, clear the screen, retitle the terminal or read backwards.
std::string terminalText(const std::string& bytes);

// The server's own words as a console line: "[server] TEXT", escaped as
// terminalText does.
std::string serverLine(const std::string& text);

// ---- messages -----------------------------------------------------------------------

// host:port of an IPv4 address, as a user writes it ("127.0.0.1:28000").
std::string plainAddress(const NetAddress& address);

// Why a server cannot listen on `address`, from the platform's error number
// of the failed bind (or socket set-up).
std::string bindFailureMessage(const NetAddress& address, int error);

// "Seafold server listening on ADDRESS", and for a wildcard address the
// addresses clients on the local networks can use.
std::string listeningMessage(const NetAddress& bound);

// A user joined (on the server, with the address it came from; a client
// only learns that the user is in the session), picked a model, or left.
std::string rosterMessage(Roster::Change change, const ClientRecord& record, bool isServer);

// ---- the audio library's own output ----------------------------------------------------

// Opens the sound device with the audio library's chatter kept off the
// terminal: its log level is lowered (unless set by the user or LogSound is
// on), and what it and the sound system below it still write to standard
// error goes to the LogSound channel instead. Without a device, one console
// line says so. Returns true when sound is on.
bool initSoundQuietly(SoundPool& sound, const SoundSetup& setup = SoundSetup());

// Captures standard error (the file descriptor, so that C libraries writing
// to it are caught too) until finish() or destruction. The libraries' lines
// go to the LogSound channel; our own log lines written meanwhile reach
// standard error as ever, except the one that a device could not be opened
// (the console says that). Main thread only.
class AudioOutputCapture : private LogSink {
public:
    AudioOutputCapture();
    ~AudioOutputCapture() override;
    AudioOutputCapture(const AudioOutputCapture&) = delete;
    AudioOutputCapture& operator=(const AudioOutputCapture&) = delete;
    // Restores standard error and passes on what was captured; idempotent.
    void finish();

private:
    void logString(const char* line) override;

    int mSaved = -1;                    // the real standard error
    std::FILE* mFile = nullptr;         // where it went meanwhile
    std::vector<std::string> mOwnLines; // our own log lines meanwhile
};

// ---- log channels -------------------------------------------------------------------------

// SEAFOLD_LOG: with "help" among its names, prints the channels and returns
// true (the program then ends with 0); otherwise warns on standard error,
// under the name of `program`, about every name that is no channel, and
// returns false.
bool checkLogChannelSetting(Program program);

// The channels and what each tells, one per line (the text of SEAFOLD_LOG=help).
std::string logChannelHelp();

} // namespace seafold
