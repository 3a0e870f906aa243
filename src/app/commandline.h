// The command line of both programs:
//
//   seafold          server ADDRESS | -client ADDRESS NAME | --find [SECONDS]   [options]
//   seafold          [options]             (the start window asks what to do)
//   seafold-headless server ADDRESS | -client ADDRESS NAME | --find [SECONDS]   [options]
//
// The mode word comes first and is exactly "server" or "-client"; ADDRESS is
// host:port with a port from 1 to 65535 (the address a server binds, or the
// server a client joins), or for a client "auto": the one server that answers
// on the local network; NAME is the client's user name, not empty. Options
// follow. Every option may also come from a config file (--config FILE, else
// the user's file when there is one); the command line wins. --find needs no
// mode word: it lists the servers on the local network and ends.
//
// Reading is in four parts: the mode words and the checks of what goes
// together (commandline.cpp), the option table (optiontable.cpp), the config
// file (configfile.cpp, configoptions.cpp; userconfig.cpp for what the
// window keeps) and addresses and the password file (addresses.cpp).
//
// Reading never opens a window or looks for a display: --help, --version and
// every mistake are answered first.
#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/addresses.h"     // checkAddress, completeAddress, trimmedText
#include "base/keybindings.h"   // KeyBindings
#include "app/configfile.h"    // userConfigFile
#include "net/netinterface.h"  // NetConnection::RateInfo, NetInterface::DefaultMaxConnections
#include "net/socket.h"        // NetworkSimulator::Settings
#include "session/discovery.h" // DefaultDiscoveryPort

namespace seafold {

enum class Program { Windowed, Headless };

// The port a session hosted from the start window listens on, and the one
// an address without a port means (-client HOST NAME, the start window).
constexpr uint16_t DefaultSessionPort = 28000;

// "seafold" or "seafold-headless".
const char* programName(Program program);

// The version of both programs, from the build.
const char* seafoldVersion();

// The client address that stands for "the one server that answers".
extern const char* const AutoAddress;

// The mode, the address and the user name.
struct CommandLine {
    bool isClient = false;
    std::string addressText; // the server's bind address, or the server a client joins
    std::string clientName;  // empty in the server
    bool find = false;       // --find: list the servers that answer, then end
    // The windowed program without a mode: the start window asks the user
    // what to do (join, host or quit).
    bool startWindow = false;
    double findSeconds = 1; // how long --find waits for answers

    // A client that joins whichever one server answers.
    bool joinsFoundServer() const { return isClient && addressText == AutoAddress; }
};

// Options of both programs. A new shared option is one field here and one
// registration in commandline.cpp.
struct SharedOptions {
    bool simulate = false; // --net-sim DROP,DUP,MINMS,MAXMS
    NetworkSimulator::Settings simulation;
    uint32_t pingIntervalMs = 0; // --ping-interval MS; 0 = the default 5000
    bool quiet = false;          // --quiet: no console lines
    bool retry = true;           // --no-retry: a client does not try again
    // Sealing: by default a server offers key exchange and a client asks for
    // it, so two Seafold programs always seal; --secure makes it required
    // (a server refuses unsealed clients, a client refuses a server without
    // a key); --insecure turns it off.
    bool secure = false;   // --secure
    bool insecure = false; // --insecure
    std::string serverKey; // --server-key FINGERPRINT (a client; implies --secure), lower-case hex
    std::string keyFile;   // --key-file FILE: a server's key pair, kept across restarts
    bool newKeyEachStart = false; // --new-key-each-start: a server's key for this run only (tests)
    bool acceptNewKey = false;    // --accept-new-key: a client takes a remembered server's new key
    // Finding servers on the local network.
    uint16_t discoveryPort = DefaultDiscoveryPort; // --discovery-port N
    std::string serverName;                        // --server-name TEXT; empty = the host name
    std::string hostUserName;                      // --name NAME: a windowed server's own user; empty = the host name
    bool noDiscovery = false;                      // --no-discovery: a server nobody finds
    // --rate INTERVAL_MS,BYTES_PER_S: the local rate record of every
    // connection (minimum send and receive interval, maximum send and receive
    // bandwidth); the defaults are the connection's own, 96 ms and 2,500 B/s.
    // Between Seafold peers the rate adapts to the link, and --rate only caps it.
    NetConnection::RateInfo rate;
    bool rateCapped = false; // --rate was given
    uint32_t maxClients = NetInterface::DefaultMaxConnections;   // --max-clients N: connections a server accepts
    uint32_t maxPerAddress = NetInterface::DefaultMaxPerAddress; // --max-per-address N: from one host
    // --max-queued-mb N: queued event bytes a server holds for all connections together.
    uint32_t maxQueuedMb = NetInterface::DefaultQueueBudgetMb;
    bool showFps = false; // --show-fps: the windowed program shows its frame rates from the start
    // The windowed program's own, kept in the user's file by the program
    // itself as the user chooses in its windows: --last-server HOST:PORT,
    // what the start window offers to join; --show-material-sliders, the
    // material sliders open rather than folded.
    std::string lastServer;
    // --favourite HOST:PORT (repeatable): servers the start window lists
    // first, whether they answer or not; kept there as the user marks them.
    std::vector<std::string> favourites;
    bool materialSlidersOpen = false;
    bool flatVoice = false; // --flat-voice: every voice from the middle, not from the speaker's model
    // --wire-version 0: offer only the calls every peer knows, as a peer
    // built before Seafold's own would (LPC-10 voice); default: all of them.
    int32_t wireVersion = INT32_MAX;
    // --voice-activation: the microphone opens when the user speaks (with a
    // hangover), instead of while push-to-talk is held.
    bool voiceActivation = false;
    // --voice-threshold DB: how far over the room's noise a frame must be to
    // count as speech (9 dB); --voice-hold MS: how long voice activation
    // stays open after the last speech (400 ms).
    double voiceThresholdDb = 9;
    uint32_t voiceHoldMs = 400;
    // --input-device NAME, --output-device NAME: the microphone and the
    // output by the names --list-audio-devices prints; empty: the defaults.
    std::string inputDevice;
    std::string outputDevice;
    // --echo-cancellation on|off|auto: auto cancels unless push-to-talk
    // goes with an output that looks like a headset.
    enum class EchoChoice { Auto, On, Off };
    EchoChoice echoCancellation = EchoChoice::Auto;
    // --ptt-key KEY, --chat-key KEY, --forward-key KEY, ... (the windowed
    // program): the keys chosen, by option without dashes, and the bindings
    // they make of the defaults.
    std::map<std::string, std::string> keyChoices;
    KeyBindings keys;
    std::vector<std::string> muted; // --mute NAME (repeatable): voices this listener does not hear
    // --volume NAME=PERCENT (repeatable): how loud this listener hears a
    // user, 1 = as sent.
    std::vector<std::pair<std::string, float>> volumes;
    // --muted, --deafened: how this user's own voice starts (mute me,
    // deafen); --master-volume PERCENT: how loud everything plays (1 = as
    // mixed).
    bool startMuted = false;
    bool startDeafened = false;
    float masterVolume = 1.0f;
    bool console = true; // --no-console: a server reads no operator commands on standard input
    std::string banFile; // --ban-file FILE: a server's bans, kept across restarts
    // The join password: the first line of --password-file FILE, else
    // SEAFOLD_PASSWORD; never a command-line value (the process list shows
    // those to every user). Empty: none.
    std::string passwordFile;
    std::string password;
    // From the environment, not the command line: SEAFOLD_CAPTURE_FILE=FILE.wav,
    // the microphone's sound from a file; empty = the microphone.
    std::string captureFile;
};

// Options of seafold-headless only: a scripted user and what it prints.
struct HeadlessOptions {
    std::string model; // --model NAME
    struct Move {
        double dx, dy, dz;
    };
    std::vector<Move> moves;      // --move DX,DY,DZ (repeatable)
    uint32_t moveEveryMs = 0;     // --move-every MS; 0 = each move once
    double turnDegrees = 0;       // --turn DEGREES: turned by this much with each move step
    double quitAfterSeconds = -1; // --quit-after SECONDS; negative = run until a signal
    bool events = false;          // --events
    std::vector<uint8_t> voice;   // --voice HEX: one voice message, sent after the model
    std::string say;              // --say TEXT: one chat line, sent once connected (a client)
    uint32_t statsEveryMs = 0;    // --stats MS: connection statistics as JSON lines
    std::string speakFile;        // --speak FILE.wav: push-to-talk held for the file's length (client)
    double speakEverySeconds = 0; // --speak-every SECONDS: speak again this often; 0 = once
};

// Everything a program is told at start, as one plain value: the program
// hands it (or the part each needs) to the objects it builds, and nothing
// copies it into process-wide state.
struct ProgramOptions {
    CommandLine line;
    SharedOptions shared;
    HeadlessOptions headless; // the windowed program reads only --model into it
    // The other program's options, as a config file both share gave them:
    // read and let be.
    std::vector<std::string> otherProgram;
    // The config file's lines that were let be (each also on standard
    // error), for the window to show: started from the desktop's menu it
    // has no terminal.
    std::vector<std::string> configWarnings;

    // What push-to-talk captures: --speak, else SEAFOLD_CAPTURE_FILE; empty =
    // the microphone.
    const std::string& captureFile() const
    {
        return headless.speakFile.empty() ? shared.captureFile : headless.speakFile;
    }
};

// What reading the command line decided.
struct ParseOutcome {
    bool run = false;   // run the program with the options read
    int exitCode = 0;   // otherwise end at once with this code: 0 after --help or --version, 2 after a mistake
    std::string output; // for standard output: the help or the version
    std::string error;  // for standard error: one line saying what is wrong, one pointing to --help
    // For standard error while the program runs on: lines of the config
    // file that were let be, each naming the file and the line.
    std::string warnings;
};

// Reads the arguments (without the program name).
ParseOutcome parseProgramOptions(Program program, const std::vector<std::string>& args, ProgramOptions* options);

// The text of --help.
std::string helpText(Program program);

// Prints what `outcome` asks for; returns -1 when the program is to run, else
// the exit code.
int reportParseOutcome(const ParseOutcome& outcome);

// The settings that come from the environment (SEAFOLD_CAPTURE_FILE).
void readEnvironment(ProgramOptions* options);

// What both programs do first: SEAFOLD_LOG=help, the arguments of main and
// the environment. Returns -1 when the program is to run with `options`,
// else the exit code (after --help, --version or a mistake).
int readProgramOptions(Program program, int argc, char** argv, ProgramOptions* options);

} // namespace seafold
