#include "app/console.h"
#include "base/platform.h"
#include "net/socket.h"
#include "session/names.h"
#include "session/simpleeventconnection.h"
#include "sound/sound.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace seafold {

namespace {

// The process's console: the newest Console alive. Written only by Console's
// constructor and destructor; read by currentConsole (consoleLine,
// startUpError).
Console* gConsole = nullptr;

// The audio library's own log level: 0 prints nothing. It reads this when it
// starts, at the first device opened.
const char* const AudioLogLevelVariable = "ALSOFT_LOGLEVEL";

// What the sound start-up logs when it cannot open a device.
const std::string NoDeviceLogLine = "Failed to intitialize OpenAL.";

} // namespace

Console::Console(Program program, const SharedOptions& options) : Console(program, options.quiet) {}

Console::Console(Program program, bool quiet) : mProgram(program), mQuiet(quiet), mPrevious(gConsole)
{
    gConsole = this;
}

Console::~Console()
{
    // Consoles end in the reverse order of their making (each lives in a
    // scope of its own).
    SF_ASSERT(gConsole == this, "Consoles must end in the reverse order of their making.");
    gConsole = mPrevious;
}

void Console::line(const std::string& text) const
{
    if (mQuiet)
        return;
    std::FILE* out = mStream ? mStream : stdout;
    std::fprintf(out, "%s\n", text.c_str());
    // Someone may be watching through a pipe (run.sh prefixes each
    // program's lines): a line is worth nothing an hour late.
    std::fflush(out);
}

void Console::startUpError(const std::string& text) const
{
    std::fprintf(stderr, "%s: %s\n", programName(mProgram), text.c_str());
    std::fflush(stderr);
}

Console& currentConsole()
{
    if (!gConsole) {
        // Made once, the first time no program's console is alive; it then
        // stays underneath every later one. Never destroyed: a global's
        // destructor may still print a line at exit.
        static Console* plain = new Console(Program::Headless);
        (void)plain;
    }
    return *gConsole;
}

void consoleLine(const std::string& text)
{
    currentConsole().line(text);
}

void startUpError(const std::string& text)
{
    currentConsole().startUpError(text);
}

void setConsoleStream(std::FILE* stream)
{
    currentConsole().setStream(stream);
}

std::string terminalText(const std::string& bytes)
{
    // Control bytes and bytes that are not UTF-8 as \xNN, and characters
    // that hide or turn the text (U+202E) as \u{...}.
    return oneLineText(bytes);
}

std::string serverLine(const std::string& text)
{
    return "[server] " + terminalText(text);
}

// ---- messages -------------------------------------------------------------------------

std::string plainAddress(const NetAddress& address)
{
    uint32_t host = address.netNum[0];
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", host >> 24, (host >> 16) & 255, (host >> 8) & 255, host & 255,
                  unsigned(address.port));
    return text;
}

namespace {

std::string hostOnly(const NetAddress& address)
{
    std::string text = plainAddress(address);
    return text.substr(0, text.rfind(':'));
}

} // namespace

std::string bindFailureMessage(const NetAddress& address, int error)
{
    std::string where = plainAddress(address);
    switch (error) {
    case EADDRINUSE:
        return "cannot start the server: " + where +
               " is already in use by another program (another Seafold server?). Stop that program, or choose "
               "another port.";
    case EADDRNOTAVAIL:
        return "cannot start the server: " + hostOnly(address) +
               " is not an address of this machine. Give one of its own addresses, 127.0.0.1 for this machine "
               "only, or 0.0.0.0 for every network it is on.";
    case EACCES:
    case EPERM:
        return "cannot start the server on " + where +
               ": permission denied (ports below 1024 need administrator rights). Choose a port from 1024 to "
               "65535.";
    default:
        return "cannot start the server on " + where + ": " + std::strerror(error) + ".";
    }
}

std::string listeningMessage(const NetAddress& bound)
{
    std::string line = "Seafold server listening on " + plainAddress(bound);
    if (bound.netNum[0] != 0)
        return line;
    // Bound to every network: say what the others type.
    std::string addresses;
    for (const BroadcastInterface& local : listBroadcastInterfaces()) {
        NetAddress reachable = local.address;
        reachable.port = bound.port;
        addresses += (addresses.empty() ? "" : ", ") + plainAddress(reachable);
    }
    if (!addresses.empty())
        line += " (clients on the local network join " + addresses + ")";
    return line;
}

std::string rosterMessage(Roster::Change change, const ClientRecord& record, bool isServer)
{
    std::string name = terminalText(record.name);
    switch (change) {
    case Roster::Change::Joined:
        if (isServer && record.connection)
            return name + " joined from " + plainAddress(record.connection->address());
        return name + " is in the session";
    case Roster::Change::Picked:
        if (record.entityName.empty())
            return name + " put the model away";
        return name + " picked " + terminalText(record.entityName);
    case Roster::Change::Left:
        return name + " left";
    }
    return name;
}

// ---- the audio library's own output -------------------------------------------------------

AudioOutputCapture::AudioOutputCapture()
{
    std::fflush(stderr);
    mFile = std::tmpfile();
    if (!mFile)
        return;
    mSaved = ::dup(STDERR_FILENO);
    if (mSaved < 0 || ::dup2(::fileno(mFile), STDERR_FILENO) < 0) {
        if (mSaved >= 0)
            ::close(mSaved);
        mSaved = -1;
        std::fclose(mFile);
        mFile = nullptr;
    }
}

AudioOutputCapture::~AudioOutputCapture()
{
    finish();
}

void AudioOutputCapture::logString(const char* line)
{
    if (mSaved >= 0) // capturing
        mOwnLines.push_back(line);
}

void AudioOutputCapture::finish()
{
    if (!mFile)
        return;
    std::fflush(stderr);
    ::dup2(mSaved, STDERR_FILENO);
    ::close(mSaved);
    mSaved = -1;
    std::rewind(mFile);
    char line[1024];
    while (std::fgets(line, sizeof line, mFile)) {
        size_t length = std::strlen(line);
        if (length > 0 && line[length - 1] == '\n')
            line[length - 1] = 0;
        if (!line[0])
            continue;
        // Our own lines (a sound file that cannot be loaded, say) are no
        // chatter, but the console line replaces the one about the device.
        auto own = std::find(mOwnLines.begin(), mOwnLines.end(), line);
        if (own != mOwnLines.end() && *own != NoDeviceLogLine) {
            mOwnLines.erase(own);
            std::fprintf(stderr, "%s\n", line);
        } else {
            SF_LOG("LogSound", "%s", line);
        }
    }
    std::fflush(stderr);
    std::fclose(mFile);
    mFile = nullptr;
}

bool initSoundQuietly(SoundPool& sound, const SoundSetup& setup)
{
    // The library's own setting first; the user's choice, or the channel
    // that shows its lines, wins.
    if (!std::getenv(AudioLogLevelVariable) && !findOrCreateLogChannel("LogSound")->enabled)
        ::setenv(AudioLogLevelVariable, "0", 0);
    // What it cannot silence (the sound system below it reports a missing
    // card in about ten lines) goes to the log channel.
    AudioOutputCapture capture;
    bool ready = sound.init(setup);
    capture.finish();
    if (!ready)
        consoleLine("no sound device: running silent");
    return ready;
}

// ---- log channels ----------------------------------------------------------------------------

namespace {

struct ChannelHelp {
    const char* name;
    const char* tells;
};

// Every channel of the programs. A new SF_LOG channel gets its line here (a
// test compares this list with the sources).
const ChannelHelp LogChannels[] = {
    {"LogUDP", "the socket: creation, binding, buffer sizes, errors"},
    {"LogNetInterface", "the handshake: challenges, puzzles, accepts, rejects, disconnects"},
    {"LogNetConnection", "each connection's packets: sends, receipts, deliveries and losses, rate"},
    {"LogConnectionProtocol", "packet headers: sequence numbers, acknowledgements, pings"},
    {"LogNetBase", "the class registry at start-up"},
    {"LogRPC", "remote calls refused or cut for their size"},
    {"LogSession", "the session: senders ended for holding back too many relays"},
    {"LogDiscovery", "finding and answering servers on the local network"},
    {"LogVoice", "voice messages dropped for their length, senders over their voice allowance"},
    {"LogSound", "the audio library's own messages (device, sound system)"},
};

} // namespace

std::string logChannelHelp()
{
    std::string text = "Log channels (SEAFOLD_LOG=NAME,NAME,... or all; lines go to standard error):\n";
    for (const ChannelHelp& channel : LogChannels) {
        std::string name = channel.name;
        text += "  " + name + std::string(name.size() < 24 ? 24 - name.size() : 1, ' ') + channel.tells + "\n";
    }
    return text;
}

bool checkLogChannelSetting(Program program)
{
    std::vector<std::string> names = logSettingNames(std::getenv("SEAFOLD_LOG"));
    for (const std::string& name : names) {
        if (name == "help") {
            std::fputs(logChannelHelp().c_str(), stdout);
            std::fflush(stdout);
            return true;
        }
    }
    for (const std::string& name : names) {
        if (name == "all")
            continue;
        bool known = false;
        for (const ChannelHelp& channel : LogChannels)
            known = known || name == channel.name;
        if (!known)
            std::fprintf(stderr, "%s: SEAFOLD_LOG names no channel \"%s\" (SEAFOLD_LOG=help lists them)\n",
                         programName(program), terminalText(name).c_str());
    }
    return false;
}

} // namespace seafold
