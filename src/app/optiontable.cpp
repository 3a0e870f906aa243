// The option table of both programs: every option, its value's reading,
// its help line, and the help's usage and footer.
#include "app/optiontable.h"
#include "app/network.h"
#include "net/crypto.h"
#include "session/chat.h"
#include "session/names.h"
#include "voice/voicecapture.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace seafold {

namespace {

// ---- values ----------------------------------------------------------------------------

[[noreturn]] void refuse(const std::string& why)
{
    // CLI11 reports the text of this exception as it stands.
    throw CLI::ValidationError(why);
}

bool parseNumber(const std::string& text, double* value)
{
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == 0 && std::isfinite(*value);
}

// A number of milliseconds in [low, high].
uint32_t milliseconds(const std::string& option, const std::string& text, double low, double high)
{
    double ms;
    if (!parseNumber(text, &ms) || ms < low || ms > high)
        refuse(option + " takes milliseconds (" + CLI::detail::to_string(uint32_t(low)) + " to " +
               CLI::detail::to_string(uint32_t(high)) + "), not \"" + text + "\"");
    return uint32_t(ms);
}

// The largest --max-queued-mb: 64 GiB, more than any server here should hold.
constexpr uint32_t MaxQueuedMbLimit = 65536;

// A whole number in [low, high] of `what`.
uint32_t wholeNumber(const std::string& option, const std::string& text, uint32_t low, uint32_t high,
                     const std::string& what)
{
    double count;
    if (!parseNumber(text, &count) || count != std::floor(count) || count < low || count > high)
        refuse(option + " takes " + what + " (" + CLI::detail::to_string(low) + " to " + CLI::detail::to_string(high) +
               "), not \"" + text + "\"");
    return uint32_t(count);
}

// INTERVAL_MS,BYTES_PER_S: both as the rate record carries them on the wire
// (an interval of 1 to 2047 ms, at most 65,535 bytes a second); a bandwidth
// of 0 would let nothing through.
NetConnection::RateInfo parseRate(const std::string& text)
{
    double interval = 0, bandwidth = 0;
    size_t comma = text.find(',');
    bool ok = comma != std::string::npos && parseNumber(text.substr(0, comma), &interval) &&
              parseNumber(text.substr(comma + 1), &bandwidth) && interval == std::floor(interval) &&
              bandwidth == std::floor(bandwidth) && interval >= 1 && interval <= 2047 && bandwidth >= 1 &&
              bandwidth <= 65535;
    if (!ok)
        refuse("--rate takes INTERVAL_MS,BYTES_PER_S (1 to 2047 ms, 1 to 65535 bytes a second), not \"" + text + "\"");
    NetConnection::RateInfo rate;
    rate.minPacketSendPeriod = rate.minPacketRecvPeriod = uint32_t(interval);
    rate.maxSendBandwidth = rate.maxRecvBandwidth = uint32_t(bandwidth);
    return rate;
}

HeadlessOptions::Move parseMove(const std::string& text)
{
    HeadlessOptions::Move move{};
    size_t a = text.find(','), b = a == std::string::npos ? a : text.find(',', a + 1);
    bool ok = b != std::string::npos && parseNumber(text.substr(0, a), &move.dx) &&
              parseNumber(text.substr(a + 1, b - a - 1), &move.dy) && parseNumber(text.substr(b + 1), &move.dz);
    if (!ok)
        refuse("--move takes DX,DY,DZ, not \"" + text + "\"");
    return move;
}

std::vector<uint8_t> parseHex(const std::string& text)
{
    // One voice message is at most 1023 bytes (the 10-bit length on the wire).
    bool ok = text.size() % 2 == 0 && !text.empty() && text.size() <= 2 * 1023;
    std::vector<uint8_t> bytes;
    for (size_t k = 0; ok && k < text.size(); k += 2) {
        ok = std::isxdigit(uint8_t(text[k])) && std::isxdigit(uint8_t(text[k + 1]));
        bytes.push_back(uint8_t(std::strtol(text.substr(k, 2).c_str(), nullptr, 16)));
    }
    if (!ok)
        refuse("--voice takes 1 to 1023 bytes in hex, not \"" + text + "\"");
    return bytes;
}

// A key fingerprint as a server prints it: 16 hex digits, in either case;
// colons, dashes and spaces between them are allowed and dropped.
std::string parseFingerprint(const std::string& text)
{
    std::string digits;
    bool ok = true;
    for (char c : text) {
        if (c == ':' || c == '-' || c == ' ')
            continue;
        ok = ok && std::isxdigit(uint8_t(c));
        digits += char(std::tolower(uint8_t(c)));
    }
    if (!ok || digits.size() != 2 * KeyFingerprintBytes)
        refuse("--server-key takes the " + CLI::detail::to_string(2 * KeyFingerprintBytes) +
               " hex digits a --secure server prints, not \"" + text + "\"");
    return digits;
}

std::pair<std::string, float> parseVolume(const std::string& text)
{
    std::pair<std::string, float> volume;
    if (!readVolume(text, &volume))
        refuse("--volume takes NAME=PERCENT (0 to 400), not \"" + text + "\"");
    return volume;
}

// ---- the options -----------------------------------------------------------------------

// Options both programs understand: the link to the peers, the console,
// sealing and the password.
void addLinkOptions(CLI::App& app, SharedOptions& shared)
{
    app.add_option_function<std::string>(
           "--net-sim",
           [&shared](const std::string& text) {
               if (!parseNetworkSimulation(text, &shared.simulation))
                   refuse("--net-sim takes DROP%,DUP%,MINMS,MAXMS, not \"" + text + "\"");
               shared.simulate = true;
           },
           "drop and duplicate these percentages of outgoing datagrams and delay each by MINMS to MAXMS "
           "(a network simulator for tests)")
        ->type_name("DROP,DUP,MINMS,MAXMS");
    app.add_option_function<std::string>(
           "--ping-interval",
           [&shared](const std::string& text) {
               shared.pingIntervalMs = milliseconds("--ping-interval", text, 10, 600000);
           },
           "keep-alive interval (default 5000); a peer silent for eleven intervals, at most 15 s, is dropped")
        ->type_name("MS");
    app.add_flag("--quiet", shared.quiet,
                 "print no console lines (the server listening, the connection, users joining, picking and "
                 "leaving, no sound device); errors still show");
    app.add_flag_function(
        "--no-retry", [&shared](int64_t) { shared.retry = false; },
        "a client whose server cannot be reached, or is lost, ends with exit code 1 instead of trying again "
        "(default: every 5 s)");
    app.add_flag_function(
        "--no-console", [&shared](int64_t) { shared.console = false; },
        "a server reads no operator commands (help, list, kick, ban, say, mute, quit, ...) on standard input");
    app.add_option("--ban-file", shared.banFile, "a server keeps its bans in FILE, so that they survive a restart")
        ->type_name("FILE");
    app.add_option("--password-file", shared.passwordFile,
                   "the join password is the first line of FILE (else SEAFOLD_PASSWORD): a server lets in only "
                   "clients that know it, a client proves it only to a server that asks; nothing that crosses the "
                   "network lets anyone test a guess; needs a sealed connection on both ends")
        ->type_name("FILE");
    app.add_flag("--secure", shared.secure,
                 "require sealing (by default it is used whenever the other side offers it): a server refuses "
                 "clients that do not exchange keys; a client refuses a server that offers no key");
    app.add_flag("--insecure", shared.insecure,
                 "do not seal: a server offers no key, a client asks for none (for measurements; anyone who "
                 "sees the packets can then forge them)");
    app.add_option_function<std::string>(
           "--server-key",
           [&shared](const std::string& text) {
               shared.serverKey = parseFingerprint(text);
               shared.secure = true;
           },
           "join only a server whose key has this fingerprint (as the server printed it; implies --secure)")
        ->type_name("FINGERPRINT");
    app.add_option("--key-file", shared.keyFile,
                   "a server keeps its key pair in FILE (made the first time, readable by its owner only), so "
                   "that its fingerprint stays the same across restarts; without it, in "
                   "$XDG_STATE_HOME/seafold/server.key")
        ->type_name("FILE");
    app.add_flag("--new-key-each-start", shared.newKeyEachStart,
                 "a server makes a new key pair at every start and keeps it nowhere (clients that joined it "
                 "before then refuse it as a changed server; for tests)");
    app.add_flag("--accept-new-key", shared.acceptNewKey,
                 "a client joins a server it remembers although it shows another key than before, and "
                 "remembers the new one (in $XDG_STATE_HOME/seafold/known-servers); only when the server's key "
                 "was changed on purpose");
}

// The sound devices, voice activation's sensitivity and echo cancellation.
void addAudioOptions(CLI::App& app, SharedOptions& shared)
{
    app.add_option("--input-device", shared.inputDevice,
                   "capture from this microphone (a name --list-audio-devices prints, or a part of one; default: "
                   "the sound system's default); one that is missing or goes away gives way to the default")
        ->type_name("NAME");
    app.add_option("--output-device", shared.outputDevice,
                   "play on this output (a name --list-audio-devices prints, or a part of one; default: the sound "
                   "system's default); one that is missing or goes away gives way to the default")
        ->type_name("NAME");
    app.add_option_function<std::string>(
           "--voice-threshold",
           [&shared](const std::string& text) {
               double db;
               if (!parseNumber(text, &db) || db < 3 || db > 40)
                   refuse("--voice-threshold takes decibels (3 to 40), not \"" + text + "\"");
               shared.voiceThresholdDb = db;
           },
           "with --voice-activation: speech is sound this many dB over the room's noise (default 9; higher "
           "lets less through)")
        ->type_name("DB");
    app.add_option_function<std::string>(
           "--voice-hold",
           [&shared](const std::string& text) { shared.voiceHoldMs = milliseconds("--voice-hold", text, 0, 5000); },
           "with --voice-activation: the microphone stays open this long after the last speech (default 400)")
        ->type_name("MS");
    app.add_option_function<std::string>(
           "--echo-cancellation",
           [&shared](const std::string& text) {
               using Echo = SharedOptions::EchoChoice;
               if (text == "on")
                   shared.echoCancellation = Echo::On;
               else if (text == "off")
                   shared.echoCancellation = Echo::Off;
               else if (text == "auto")
                   shared.echoCancellation = Echo::Auto;
               else
                   refuse("--echo-cancellation takes on, off or auto, not \"" + text + "\"");
           },
           "take what this program plays out of what the microphone hears, so that others do not hear "
           "themselves back; auto (the default): on, unless push-to-talk goes with an output whose name says "
           "headset, headphones or earphones")
        ->type_name("on|off|auto");
}

// How this user starts: heard or not, hearing or not, and how loud
// everything plays.
void addOwnVoiceOptions(CLI::App& app, SharedOptions& shared)
{
    app.add_flag("--muted", shared.startMuted,
                 "start muted: nothing you say goes out until you unmute (M in the window); the others see "
                 "\"muted\" beside your name");
    app.add_flag("--deafened", shared.startDeafened,
                 "start deafened: no voice is heard, and you are muted too, until you undeafen (N in the window); "
                 "the others see \"deafened\" beside your name");
    app.add_option_function<std::string>(
           "--master-volume",
           [&shared](const std::string& text) {
               if (!readMasterVolume(text, &shared.masterVolume))
                   refuse("--master-volume takes a percentage (0 to 100), not \"" + text + "\"");
           },
           "play everything at PERCENT of its level, 0 to 100 (default 100; the windowed program keeps what "
           "you set on the People panel)")
        ->type_name("PERCENT");
}

// Options of the session on top of the link: finding servers, a server's
// limits, voice.
void addSessionOptions(CLI::App& app, SharedOptions& shared)
{
    app.add_option_function<std::string>(
           "--discovery-port",
           [&shared](const std::string& text) {
               double port;
               if (!parseNumber(text, &port) || port < 1 || port > 65535 || port != std::floor(port))
                   refuse("--discovery-port takes a port from 1 to 65535, not \"" + text + "\"");
               shared.discoveryPort = uint16_t(port);
           },
           "the UDP port where servers answer --find and -client auto (default 28001)")
        ->type_name("N");
    app.add_option_function<std::string>(
           "--server-name",
           [&shared](const std::string& text) {
               if (text.empty() || text.size() > MaxServerNameBytes)
                   refuse("--server-name takes 1 to " + CLI::detail::to_string(uint32_t(MaxServerNameBytes)) +
                          " bytes, not \"" + text + "\"");
               shared.serverName = text;
           },
           "the name --find shows for this server (default: the host name)")
        ->type_name("TEXT");
    app.add_flag("--no-discovery", shared.noDiscovery, "do not answer --find or -client auto (a server)");
    app.add_option_function<std::string>(
           "--rate",
           [&shared](const std::string& text) {
               shared.rate = parseRate(text);
               shared.rateCapped = true;
           },
           "send at most one packet every INTERVAL_MS and BYTES_PER_S bytes a second, and ask peers for no more. "
           "Between Seafold programs the rate follows the link and this only caps what this one sends; with a "
           "peer of wire version 0 it is the rate (default 96,2500)")
        ->type_name("INTERVAL_MS,BYTES_PER_S");
    app.add_option_function<std::string>(
           "--max-clients",
           [&shared](const std::string& text) {
               shared.maxClients =
                   wholeNumber("--max-clients", text, 1, NetInterface::MaxConnectionsLimit, "a number of clients");
           },
           "a server accepts at most N clients at once; one more is refused with \"Server full\" (default 64)")
        ->type_name("N");
    app.add_option_function<std::string>(
           "--max-per-address",
           [&shared](const std::string& text) {
               shared.maxPerAddress = wholeNumber("--max-per-address", text, 1, NetInterface::MaxConnectionsLimit,
                                                  "a number of connections");
           },
           "a server accepts at most N connections from one address; one more is refused with \"Too many "
           "connections from your address\" (default 4)")
        ->type_name("N");
    app.add_option_function<std::string>(
           "--max-queued-mb",
           [&shared](const std::string& text) {
               shared.maxQueuedMb = wholeNumber("--max-queued-mb", text, 1, MaxQueuedMbLimit, "megabytes");
           },
           "a server holds at most N MiB of messages waiting in the send queues of all clients together; at the "
           "limit the client whose traffic (its own queue and its relays in the others') fills them most is ended with "
           "\"Send queue overflow\" (default 64)")
        ->type_name("N");
    app.add_flag("--flat-voice", shared.flatVoice,
                 "hear every voice from the middle rather than from where the speaker's model is in the scene");
    app.add_option_function<std::string>(
           "--wire-version",
           [&shared](const std::string& text) {
               shared.wireVersion = int32_t(wholeNumber("--wire-version", text, 0, 1, "a wire version"));
           },
           "0: talk only as a peer of the base protocol would (LPC-10 voice, no Seafold additions), to "
           "try how older peers hear you; default: everything this program knows")
        ->type_name("N");
    app.add_flag("--voice-activation", shared.voiceActivation,
                 "send your voice whenever you speak (the microphone stays open and a detector lets speech "
                 "through, holding on for --voice-hold after it) instead of while R is held (a client)");
    addAudioOptions(app, shared);
    app.add_option_function<std::vector<std::string>>(
           "--mute",
           [&shared](const std::vector<std::string>& names) {
               for (const std::string& name : names) {
                   if (name.empty())
                       refuse("--mute takes a user name, not an empty text");
                   shared.muted.push_back(name);
               }
           },
           "do not hear this user's voice (repeatable; only your own output changes)")
        ->type_name("NAME")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option_function<std::vector<std::string>>(
           "--volume",
           [&shared](const std::vector<std::string>& texts) {
               for (const std::string& text : texts)
                   shared.volumes.push_back(parseVolume(text));
           },
           "hear this user's voice at PERCENT of its level, 0 to 400 (repeatable; the windowed program keeps "
           "what you set on the People panel)")
        ->type_name("NAME=PERCENT")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    addOwnVoiceOptions(app, shared);
}

// --find has no mode word: it lists the servers and ends.
void addFindOption(CLI::App& app, CommandLine& line)
{
    app.add_option_function<std::string>(
           "--find",
           [&line](const std::string& text) {
               double seconds = 1;
               if (!text.empty() && (!parseNumber(text, &seconds) || seconds < 0.1 || seconds > 3600))
                   refuse("--find takes seconds (0.1 to 3600), not \"" + text + "\"");
               line.find = true;
               line.findSeconds = seconds;
           },
           "list the servers on the local network that answer within SECONDS (default 1), then end: "
           "exit 0 when one did, 1 when none did")
        ->type_name("[SECONDS]")
        ->expected(0, 1);
}

// Options of the display-less program: a scripted user and what it prints.
void addHeadlessOptions(CLI::App& app, HeadlessOptions& headless)
{
    app.add_option("--model", headless.model, "pick this model once connected (for example boat.mesh)")
        ->type_name("NAME");
    app.add_option_function<std::vector<std::string>>(
           "--move",
           [&headless](const std::vector<std::string>& texts) {
               for (const std::string& text : texts)
                   headless.moves.push_back(parseMove(text));
           },
           "move the model by this much once it is picked (repeatable: the moves run in turn)")
        ->type_name("DX,DY,DZ")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option_function<std::string>(
           "--move-every",
           [&headless](const std::string& text) {
               headless.moveEveryMs = milliseconds("--move-every", text, 1, 3600000);
           },
           "make one move every MS milliseconds, cycling through them (default: each move once)")
        ->type_name("MS");
    app.add_option_function<std::string>(
           "--turn",
           [&headless](const std::string& text) {
               double degrees;
               if (!parseNumber(text, &degrees) || !(std::fabs(degrees) <= 360))
                   refuse("--turn takes degrees (-360 to 360), not \"" + text + "\"");
               headless.turnDegrees = degrees;
           },
           "turn the model by this much with every step of --move-every (seen by peers of this version)")
        ->type_name("DEGREES");
    app.add_option_function<std::string>(
           "--quit-after",
           [&headless](const std::string& text) {
               double seconds;
               if (!parseNumber(text, &seconds) || seconds < 0)
                   refuse("--quit-after takes seconds, not \"" + text + "\"");
               headless.quitAfterSeconds = seconds;
           },
           "end cleanly after this long (peers are told); without it, run until Ctrl-C or SIGTERM")
        ->type_name("SECONDS");
    app.add_flag("--events", headless.events,
                 "print one JSON line per remote call, connection state change and change of a user's model");
    app.add_option_function<std::string>(
           "--say",
           [&headless](const std::string& text) {
               // Found now rather than once connected, where the line
               // would only be dropped.
               const std::string why = chatLineRefusal(text);
               if (!why.empty())
                   refuse("--say: the chat line is not sent, as " + why);
               if (text.empty() || text.size() > ChatLimiter::MaxLineBytes)
                   refuse("--say takes a chat line of 1 to 500 bytes, not " + std::to_string(text.size()));
               headless.say = text;
           },
           "send this chat line once connected (a client; at most 500 bytes, on one line)")
        ->type_name("TEXT");
    app.add_option_function<std::string>(
           "--voice", [&headless](const std::string& text) { headless.voice = parseHex(text); },
           "send these encoded voice bytes once, after the model (a client)")
        ->type_name("HEX");
    app.add_option_function<std::string>(
           "--stats",
           [&headless](const std::string& text) { headless.statsEveryMs = milliseconds("--stats", text, 10, 3600000); },
           "print every connection's round trip, packets, losses and queues as a JSON line every MS")
        ->type_name("MS");
    app.add_option_function<std::string>(
           "--speak",
           [&headless](const std::string& text) {
               std::string why;
               if (!checkCaptureFile(text, &why))
                   refuse("--speak: " + why);
               headless.speakFile = text;
           },
           "hold push-to-talk for the length of this 16-bit WAV file (any rate: it is resampled), as if it were "
           "the microphone (a client)")
        ->type_name("FILE.wav");
    app.add_option_function<std::string>(
           "--speak-every",
           [&headless](const std::string& text) {
               double seconds;
               if (!parseNumber(text, &seconds) || seconds < 0.1 || seconds > 3600)
                   refuse("--speak-every takes seconds (0.1 to 3600), not \"" + text + "\"");
               headless.speakEverySeconds = seconds;
           },
           "speak the --speak file again this often (default: once)")
        ->type_name("SECONDS");
}

// The keys of the windowed program's actions: --ptt-key KEY and the rest,
// each checked alone here; two on one key are refused once all are read.
void addKeyOptions(CLI::App& app, SharedOptions& shared)
{
    for (const KeyActionInfo& info : keyActions()) {
        const std::string option = info.option;
        std::string help = std::string("the key for ") + info.label + " (default " + info.defaultKey + ")";
        if (info.mouseAllowed)
            help += "; a mouse button too, Mouse3 to Mouse8";
        app.add_option_function<std::string>(
               "--" + option,
               [&shared, option, action = info.action](const std::string& text) {
                   const std::string why = KeyBindings::checkKey(action, text);
                   if (!why.empty())
                       refuse("--" + option + ": " + why);
                   shared.keyChoices[option] = text;
               },
               help)
            ->type_name("KEY");
    }
}

// Options of the windowed program only.
void addWindowedOptions(CLI::App& app, ProgramOptions& target)
{
    app.add_option("--name", target.shared.hostUserName,
                   "a server's own user in its session, as the others see it (default: the host name)")
        ->type_name("NAME");
    app.add_flag("--show-fps", target.shared.showFps,
                 "show the frame rates and triangle count from the start (F shows and hides them)");
    app.add_option("--model", target.headless.model,
                   "pick this model once the session runs (for example boat.mesh); the program keeps your "
                   "last pick in your config file")
        ->type_name("NAME");
    app.add_option("--last-server", target.shared.lastServer,
                   "the server the start window offers to join (host:port); the program keeps the last one "
                   "you joined in your config file")
        ->type_name("ADDRESS");
    app.add_option("--favourite", target.shared.favourites,
                   "a server the start window lists first, found or not (host:port; repeatable); the program "
                   "keeps the ones you mark in your config file")
        ->type_name("ADDRESS")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("--show-material-sliders", target.shared.materialSlidersOpen,
                 "show the material sliders unfolded (the program keeps your choice in your config file)");
    addKeyOptions(app, target.shared);
}

const char* const WindowedControls = R"(Controls (windowed program):
  W A S D                 move the camera, or your model when "The mouse moves" is set to Model
                          (these keys, R, T, M and N can be rebound in Settings or with --ptt-key and the rest)
  left button drag        turn (the camera looks at most 80 degrees up or down)
  right button drag       slide in the view plane (your model follows the pointer)
  both buttons drag       move along the view axis
  mouse wheel             move along the view axis, a step a share of the way to what you look at
  Home                    put the camera back where it started
  End                     bring your model in front of the camera (everyone sees it move)
  F                       show or hide the frame rates (--show-fps shows them from the start), unless
                          F is bound to an action
  M, N                    mute me, deafen (--mute-key, --deafen-key)
  R (held)                push-to-talk, in a client and a windowed server ("Talking" or "No microphone" on the People panel)
  Enter or T              open the chat line; Enter sends it, Escape cancels it
  Print Screen            save the window as seafold-DATE-TIME.png in the pictures folder
                          ($XDG_PICTURES_DIR, else the home folder); the panel says where
  Escape                  the menu: Resume, Settings, Leave session, Quit (the Exit button quits too);
                          Settings: microphone and output, a microphone test, voice activation, the keys
  The panel               pick your model and the ocean material, tune the material with the scrollbars,
                          choose what the mouse moves, switch model and light spinning
  The People panel        who is there with which model, who is talking, the connection to the server
                          and each connection's round trip, lost packets and queue
)";

const char* const SharedEnvironment = R"(Environment:
  SEAFOLD_LOG=CHANNELS    diagnostic lines of the connection library on standard error:
                          a comma-separated list of channels (LogNetInterface,LogUDP,...) or "all";
                          SEAFOLD_LOG=help lists the channels
  SEAFOLD_CAPTURE_FILE=FILE.wav
                          take the microphone's sound from this 16-bit WAV file (any rate: it is resampled)
  ALSOFT_*                settings of the audio library itself; its messages, and the sound system's,
                          go to the LogSound channel (SEAFOLD_LOG=LogSound shows them)
)";

const char* const WindowedEnvironment =
    R"(  SEAFOLD_EVENT_LOG=FILE  write the JSON lines of seafold-headless --events to FILE, plus this user's input
  SEAFOLD_CONFIG_DIALOG=1 show the renderer's configuration dialog (otherwise the ogre.cfg saved in the
                          working folder is used, or else the default in the media folder)
  SEAFOLD_MEDIA=DIR       the media folder (default: ../media beside the program in a build, then
                          ../share/seafold once installed, then ./media)
  DISPLAY                 the X display to open (seafold-headless needs none)
  For tests and measurements: SEAFOLD_SCREENSHOT_AFTER_FRAMES=N with SEAFOLD_SCREENSHOT_PATH=FILE
  (save the window after N frames and quit), SEAFOLD_SHOW_MODEL=NAME.mesh, SEAFOLD_FRAME_REPORT=1,
  SEAFOLD_OCEAN_MATERIAL=NAME, SEAFOLD_LIGHT_ANGLE=DEGREES, SEAFOLD_LOOK_AT=light|X,Y,Z, SEAFOLD_PEOPLE_PANEL=0,
  SEAFOLD_TRACE_FRAMES=1 (with SEAFOLD_EVENT_LOG: a line per frame with the other users' models as drawn)
)";

class HelpFormatter : public CLI::Formatter {
public:
    explicit HelpFormatter(Program program) : mProgram(program) { column_width(30); }

    std::string make_usage(const CLI::App*, std::string) const override
    {
        const std::string name = programName(mProgram);
        const bool windowed = mProgram == Program::Windowed;
        const std::string indent(name.size() + 8, ' ');
        std::string usage = "\nUsage: " + name + " server ADDRESS [OPTIONS]\n" + indent.substr(0, 7) + name +
                            " -client ADDRESS NAME [OPTIONS]\n" + indent.substr(0, 7) + name +
                            " --find [SECONDS] [--discovery-port N]\n";
        if (windowed)
            usage += indent.substr(0, 7) + name + " [OPTIONS]\n";
        usage += "\n  server ADDRESS          host a session, bound to ADDRESS (host:port, for example 0.0.0.0:28000)\n"
                 "  -client ADDRESS NAME    join the server at ADDRESS (host:port, or host for port 28000) as user\n"
                 "                          NAME; ADDRESS auto joins\n"
                 "                          the one server on the local network that answers --find\n";
        if (windowed)
            usage += "  (no mode)               the start window: the servers found on the local network, a name,\n"
                     "                          an address and a password; join one or host a session\n";
        return usage;
    }

private:
    Program mProgram;
};

} // namespace

bool readMasterVolume(const std::string& text, float* volume)
{
    double percent = -1;
    if (!parseNumber(text, &percent) || percent < 0 || percent > 100)
        return false;
    *volume = float(percent / 100.0);
    return true;
}

bool readVolume(const std::string& text, std::pair<std::string, float>* volume)
{
    size_t equals = text.rfind('=');
    double percent = -1;
    if (equals == std::string::npos || equals == 0 || !parseNumber(text.substr(equals + 1), &percent) || percent < 0 ||
        percent > 400)
        return false;
    *volume = {text.substr(0, equals), float(percent / 100.0)};
    return true;
}

std::vector<const char*> otherProgramOptions(Program program)
{
    if (program == Program::Headless)
        return {"--name",      "--show-fps",   "--last-server", "--show-material-sliders", "--favourite",
                "--ptt-key",   "--chat-key",   "--forward-key", "--back-key",              "--left-key",
                "--right-key", "--mute-key",   "--deafen-key"};
    return {"--move", "--move-every", "--turn",  "--quit-after", "--events",
            "--say",  "--voice",      "--stats", "--speak",      "--speak-every"};
}

std::unique_ptr<CLI::App> buildParser(Program program, ProgramOptions& target, bool finding)
{
    const char* description = program == Program::Windowed
                                  ? "A shared 3D ocean scene for a few people on one local network."
                                  : "Hosts or joins a shared ocean scene without a window.";
    auto app = std::make_unique<CLI::App>(description, programName(program));
    app->formatter(std::make_shared<HelpFormatter>(program));
    app->set_help_flag("-h,--help", "print this help and exit");
    app->add_flag("--version", "print the version and exit")->configurable(false);
    // Every option can come from a config file too; the command line wins.
    // The user's file is read when it exists (parseProgramOptions sets it).
    app->set_config("--config", "",
                    "read options from FILE, one \"option = value\" a line (the option without its dashes); "
                    "without it, $XDG_CONFIG_HOME/seafold/seafold.conf is read when it exists")
        ->type_name("FILE");
    // An option this program does not know is a mistake in the file too;
    // --find only ignores the options of a running session.
    app->allow_config_extras(finding ? CLI::config_extras_mode::ignore : CLI::config_extras_mode::error);
    app->add_flag("--write-config", "print the options in effect as a config file (for --config) and exit")
        ->configurable(false);
    app->add_flag("--list-audio-devices",
                  "print the output and input devices the sound system offers (the names --output-device and "
                  "--input-device take) and exit")
        ->configurable(false);
    // Unknown words and options are reported by parseProgramOptions itself,
    // in one line.
    app->allow_extras(true);
    addLinkOptions(*app, target.shared);
    addSessionOptions(*app, target.shared);
    addFindOption(*app, target.line);
    if (program == Program::Headless && !finding)
        addHeadlessOptions(*app, target.headless);
    if (program == Program::Windowed)
        addWindowedOptions(*app, target);
    // The other program's options mean nothing here, but the two share the
    // user's config file: there they are let be, on the command line they
    // are a mistake (parseProgramOptions says whose they are).
    for (const char* option : otherProgramOptions(program)) {
        app->add_option(option, target.otherProgram, "")
            ->group("")
            ->expected(1, CLI::detail::expected_max_vector_size)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    }
    std::string footer = program == Program::Windowed ? std::string(WindowedControls) + "\n" : std::string();
    footer += SharedEnvironment;
    if (program == Program::Windowed)
        footer += WindowedEnvironment;
    app->footer(footer);
    return app;
}

// Options that mean something only to a server, or only to a client.
const std::vector<const char*>& serverOnlyOptions()
{
    static const std::vector<const char*> options = {"--server-name", "--no-discovery",    "--key-file",
                                                     "--max-clients", "--max-per-address", "--max-queued-mb",
                                                     "--ban-file",    "--no-console",      "--new-key-each-start"};
    return options;
}

const std::vector<const char*>& clientOnlyOptions()
{
    static const std::vector<const char*> options = {"--say", "--voice", "--voice-activation", "--accept-new-key"};
    return options;
}

std::string helpText(Program program)
{
    ProgramOptions ignored;
    return buildParser(program, ignored)->help();
}

} // namespace seafold
