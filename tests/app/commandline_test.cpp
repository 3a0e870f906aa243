// The command line of both programs: every bad form ends with exit code 2,
// one line saying what is wrong and one pointing to --help; --help and
// --version end with 0; good lines fill in the options.
#include "app/commandline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace seafold {
namespace {

using Args = std::vector<std::string>;

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

struct BadLine {
    Args args;
    const char* says; // part of the error line
};

// Wrong in both programs.
const BadLine BadInBoth[] = {
    {{"client", "127.0.0.1:28000", "alice"}, "unknown mode \"client\""},
    {{"serve", "127.0.0.1:28000"}, "unknown mode \"serve\""},
    {{"-Client", "127.0.0.1:28000", "alice"}, "unknown mode \"-Client\""},
    {{"Server", "127.0.0.1:28000"}, "unknown mode"},
    {{"server"}, "server needs an ADDRESS"},
    {{"-client"}, "-client needs an ADDRESS"},
    {{"-client", "127.0.0.1:28000"}, "-client needs a NAME"},
    {{"-client", "127.0.0.1:28000", "--ping-interval", "100"}, "-client needs a NAME"},
    {{"-client", "127.0.0.1:28000", ""}, "NAME must not be empty"},
    {{"server", "127.0.0.1:28000", "extra"}, "unexpected argument \"extra\""},
    {{"-client", "127.0.0.1:28000", "alice", "bob"}, "unexpected argument \"bob\""},
    {{"server", "127.0.0.1:28000", "--bogus"}, "unknown option --bogus"},
    {{"server", "127.0.0.1:28000", "--bogus=1"}, "unknown option --bogus"},
    {{"server", "127.0.0.1:28000", "-x"}, "unknown option -x"},
    {{"server", "127.0.0.1"}, "must be host:port"},
    {{"server", ":28000"}, "must be host:port"},
    {{"server", "127.0.0.1:"}, "must be host:port"},
    {{"server", "localhost:abc"}, "must be a number from 1 to 65535"},
    {{"server", "127.0.0.1:0"}, "must be a number from 1 to 65535"},
    {{"server", "127.0.0.1:65536"}, "must be a number from 1 to 65535"},
    {{"server", "127.0.0.1:99999"}, "must be a number from 1 to 65535"},
    {{"-client", "127.0.0.1:-5", "alice"}, "must be a number from 1 to 65535"},
    {{"server", "no.such.host.invalid:28000"}, "cannot read the address"},
    {{"server", "127.0.0.1:28000", "--ping-interval"}, "--ping-interval"},
    {{"server", "127.0.0.1:28000", "--ping-interval", "5"}, "--ping-interval takes milliseconds"},
    {{"server", "127.0.0.1:28000", "--ping-interval", "1,2"}, "--ping-interval takes milliseconds"},
    {{"server", "127.0.0.1:28000", "--net-sim", "1,2,3"}, "--net-sim takes"},
    {{"server", "127.0.0.1:28000", "--net-sim", "1,2,30,3"}, "--net-sim takes"},
    {{"server", "127.0.0.1:28000", "--no-retry"}, "--no-retry needs -client"},
    {{"server", "127.0.0.1:28000", "--quiet=maybe"}, "--quiet"},
    {{"server", "127.0.0.1:28000", "--server-key", "0123456789abcdef"}, "--server-key needs -client"},
    {{"-client", "127.0.0.1:28000", "alice", "--server-key", "0123456789abcde"}, "--server-key takes the 16 hex"},
    {{"-client", "127.0.0.1:28000", "alice", "--server-key", "0123456789abcdefa"}, "--server-key takes"},
    {{"-client", "127.0.0.1:28000", "alice", "--server-key", "0123456789abcdeg"}, "--server-key takes"},
    {{"-client", "127.0.0.1:28000", "alice", "--server-key"}, "--server-key"},
    // Finding servers.
    {{"server", "auto"}, "auto is for -client"},
    {{"-client", "auto:28000", "alice"}, "cannot read the address"},
    {{"--find", "server", "127.0.0.1:28000"}, "--find stands alone"},
    {{"server", "127.0.0.1:28000", "--find"}, "--find stands alone"},
    {{"-client", "auto", "alice", "--find", "2"}, "--find stands alone"},
    {{"--find", "0"}, "--find takes seconds"},
    {{"--find", "soon"}, "--find takes seconds"},
    {{"--find=-1"}, "--find takes seconds"},
    {{"--find", "1", "--find"}, "--find"},
    {{"--find", "--server-name", "x"}, "--server-name is for a server"},
    {{"--find", "--no-discovery"}, "--no-discovery is for a server"},
    {{"-client", "auto", "alice", "--server-name", "x"}, "--server-name is for a server"},
    {{"-client", "127.0.0.1:28000", "alice", "--no-discovery"}, "--no-discovery is for a server"},
    {{"-client", "127.0.0.1:28000", "alice", "--max-clients", "3"}, "--max-clients is for a server"},
    {{"-client", "127.0.0.1:28000", "alice", "--key-file=k"}, "--key-file is for a server"},
    {{"-client", "127.0.0.1:28000", "alice", "--no-console"}, "--no-console is for a server"},
    {{"server", "127.0.0.1:28000", "--voice-activation"}, "--voice-activation is for a client"},
    {{"server", "127.0.0.1:28000", "--voice-threshold", "2"}, "--voice-threshold takes decibels (3 to 40)"},
    {{"server", "127.0.0.1:28000", "--voice-threshold", "loud"}, "--voice-threshold takes decibels"},
    {{"server", "127.0.0.1:28000", "--voice-hold", "5001"}, "--voice-hold takes milliseconds (0 to 5000)"},
    {{"server", "127.0.0.1:28000", "--echo-cancellation", "yes"}, "--echo-cancellation takes on, off or auto"},
    {{"server", "127.0.0.1:28000", "--input-device"}, "--input-device"},
    {{"server", "127.0.0.1:28000", "--server-name", ""}, "--server-name takes 1 to 64 bytes"},
    {{"server", "127.0.0.1:28000", "--server-name", std::string(65, 'n')}, "--server-name takes 1 to 64 bytes"},
    {{"server", "127.0.0.1:28000", "--discovery-port", "0"}, "--discovery-port takes a port from 1 to 65535"},
    {{"server", "127.0.0.1:28000", "--discovery-port", "65536"}, "--discovery-port takes"},
    {{"server", "127.0.0.1:28000", "--discovery-port", "1.5"}, "--discovery-port takes"},
    {{"server", "127.0.0.1:28000", "--rate", "16"}, "--rate takes INTERVAL_MS,BYTES_PER_S"},
    {{"server", "127.0.0.1:28000", "--rate", "0,2500"}, "--rate takes"},
    {{"server", "127.0.0.1:28000", "--rate", "2048,2500"}, "--rate takes"},
    {{"server", "127.0.0.1:28000", "--rate", "16,0"}, "--rate takes"},
    {{"server", "127.0.0.1:28000", "--rate", "16,65536"}, "--rate takes"},
    {{"server", "127.0.0.1:28000", "--rate", "16.5,2500"}, "--rate takes"},
    {{"-client", "127.0.0.1:28000", "alice", "--rate", "a,b"}, "--rate takes"},
    {{"server", "127.0.0.1:28000", "--max-clients", "0"}, "--max-clients takes"},
    {{"server", "127.0.0.1:28000", "--max-clients", "2.5"}, "--max-clients takes"},
    {{"server", "127.0.0.1:28000", "--max-clients", "4097"}, "--max-clients takes"},
    {{"server", "127.0.0.1:28000", "--max-clients"}, "--max-clients"},
    {{"-client", "127.0.0.1:28000", "alice", "--mute", ""}, "--mute takes a user name"},
    {{"-client", "127.0.0.1:28000", "alice", "--mute"}, "--mute"},
    {{"server", "127.0.0.1:28000", "--max-per-address", "0"}, "--max-per-address takes"},
    {{"server", "127.0.0.1:28000", "--max-queued-mb", "0.5"}, "--max-queued-mb takes"},
    {{"server", "127.0.0.1:28000", "--insecure", "--secure"}, "--insecure cannot go with --secure"},
    {{"-client", "127.0.0.1:28000", "alice", "--insecure", "--server-key", "0123456789abcdef"}, "--insecure cannot"},
};

// Options of one program given to the other on the command line.
const BadLine OtherProgramsOptions[] = {
    {{"server", "127.0.0.1:28000", "--events"}, "--events is for seafold-headless"},
    {{"server", "127.0.0.1:28000", "--stats", "1000"}, "--stats is for seafold-headless"},
    {{"--say", "hello"}, "--say is for seafold-headless"},
};
const BadLine WindowedOnly[] = {
    {{"server", "127.0.0.1:28000", "--show-fps"}, "--show-fps is for seafold"},
    {{"-client", "127.0.0.1:28000", "alice", "--last-server", "10.0.0.1:28000"}, "--last-server is for seafold"},
    {{}, "missing the mode"},
    {{"--ping-interval", "100"}, "missing the mode"},
    {{"--discovery-port", "28005"}, "missing the mode"},
};

// The scripted user has nothing to do in a search.
const Args NotWithFind[] = {
    {"--find", "--events"},
    {"--find", "1", "--model", "boat.mesh"},
};

// Wrong in the display-less program.
const BadLine BadHeadless[] = {
    {{"-client", "127.0.0.1:1", "x", "--move", "1,2"}, "--move takes DX,DY,DZ"},
    {{"-client", "127.0.0.1:1", "x", "--move", "1,2,z"}, "--move takes DX,DY,DZ"},
    {{"-client", "127.0.0.1:1", "x", "--move-every", "0"}, "--move-every takes milliseconds"},
    {{"-client", "127.0.0.1:1", "x", "--quit-after", "-1"}, "--quit-after takes seconds"},
    {{"-client", "127.0.0.1:1", "x", "--voice", "abc"}, "--voice takes"},
    {{"-client", "127.0.0.1:1", "x", "--voice", "zz"}, "--voice takes"},
    {{"-client", "127.0.0.1:1", "x", "--stats", "1"}, "--stats takes milliseconds"},
    {{"-client", "127.0.0.1:1", "x", "--model"}, "--model"},
    {{"-client", "127.0.0.1:1", "x", "--events=maybe"}, "--events"},
    {{"-client", "127.0.0.1:1", "x", "--model", "a", "--model", "b"}, "--model"},
    {{"-client", "127.0.0.1:1", "x", "--speak", "/nonexistent/speech.wav"}, "--speak: "},
    {{"-client", "127.0.0.1:1", "x", "--speak-every", "2"}, "--speak-every needs --speak"},
    {{"-client", "127.0.0.1:1", "x", "--say", "hi\nalice: my password is"}, "U+000A"},
    {{"-client", "127.0.0.1:1", "x", "--say", std::string(501, 'a')}, "1 to 500 bytes"},
};

void expectRefused(Program program, const Args& args, const std::string& says)
{
    ProgramOptions options;
    options.line.addressText = "untouched";
    ParseOutcome out = parseProgramOptions(program, args, &options);
    std::string shown;
    for (const std::string& a : args)
        shown += "[" + a + "] ";
    SCOPED_TRACE(std::string(programName(program)) + " " + shown);
    EXPECT_FALSE(out.run);
    EXPECT_EQ(out.exitCode, 2);
    EXPECT_TRUE(out.output.empty());
    std::vector<std::string> lines = linesOf(out.error);
    ASSERT_EQ(lines.size(), 2u) << out.error;
    const std::string prefix = std::string(programName(program)) + ": ";
    EXPECT_EQ(lines[0].compare(0, prefix.size(), prefix), 0) << lines[0];
    EXPECT_NE(lines[0].find(says), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "Run '" + std::string(programName(program)) + " --help' for the usage.");
    EXPECT_EQ(options.line.addressText, "untouched"); // nothing half-read is handed out
}

TEST(CommandLine, EveryBadFormIsOneLineAndExitCodeTwoInBothPrograms)
{
    for (Program program : {Program::Windowed, Program::Headless})
        for (const BadLine& bad : BadInBoth)
            expectRefused(program, bad.args, bad.says);
}

TEST(CommandLine, EachProgramRefusesTheOthersOptionsAndOnlyTheWindowedOneStartsWithoutAMode)
{
    for (const BadLine& bad : OtherProgramsOptions)
        expectRefused(Program::Windowed, bad.args, bad.says);
    for (const BadLine& bad : WindowedOnly)
        expectRefused(Program::Headless, bad.args, bad.says);
    // --last-server is kept as typed: it is looked up when it is joined.
    EXPECT_TRUE(parseProgramOptions(Program::Windowed, {"--last-server", "10.0.0.1"}, nullptr).run);
    expectRefused(Program::Windowed, {"--quiet", "server", "127.0.0.1:28000"}, "before the options");
}

// No mode: the start window, with what it offers filled in, and the options
// of either role (the user picks one there).
TEST(CommandLine, TheWindowedProgramWithoutAModeShowsTheStartWindow)
{
    for (const Args& args : {Args{}, Args{"--name", "ann", "--last-server", "10.0.0.1:28000", "--model", "buoy.mesh",
                                          "--max-clients", "8", "--voice-activation", "--no-retry"}}) {
        ProgramOptions options;
        ParseOutcome out = parseProgramOptions(Program::Windowed, args, &options);
        ASSERT_TRUE(out.run) << out.error;
        EXPECT_TRUE(options.line.startWindow);
        EXPECT_FALSE(options.line.find);
        if (!args.empty()) {
            EXPECT_EQ(options.shared.hostUserName, "ann");
            EXPECT_EQ(options.shared.lastServer, "10.0.0.1:28000");
            EXPECT_EQ(options.headless.model, "buoy.mesh");
            EXPECT_EQ(options.shared.maxClients, 8u);
        }
    }
}

TEST(CommandLine, BadScriptingOptionsOfTheDisplayLessProgram)
{
    for (const BadLine& bad : BadHeadless)
        expectRefused(Program::Headless, bad.args, bad.says);
    expectRefused(Program::Headless, {"server", "127.0.0.1:1", "--speak", "/nonexistent/speech.wav"}, "--speak");
}

TEST(CommandLine, FindTakesOnlyTheDiscoveryPort)
{
    for (const Args& args : NotWithFind)
        expectRefused(Program::Headless, args, "unknown option --");
}

TEST(CommandLine, HelpAndVersionEndWithZeroWhateverElseIsThere)
{
    for (Program program : {Program::Windowed, Program::Headless}) {
        for (const Args& args : {Args{"--help"}, Args{"-h"}, Args{"server", "--help"}, Args{"bogus", "--help"},
                                 Args{"-client", "127.0.0.1:28000", "alice", "--help"}}) {
            ParseOutcome out = parseProgramOptions(program, args, nullptr);
            EXPECT_FALSE(out.run);
            EXPECT_EQ(out.exitCode, 0);
            EXPECT_TRUE(out.error.empty());
            EXPECT_EQ(out.output, helpText(program));
        }
        ParseOutcome version = parseProgramOptions(program, {"--version"}, nullptr);
        EXPECT_FALSE(version.run);
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_EQ(version.output, std::string(programName(program)) + " " + seafoldVersion() + "\n");
        EXPECT_TRUE(std::string(seafoldVersion()).find('.') != std::string::npos) << seafoldVersion();
    }
}

TEST(CommandLine, HelpTellsTheUsageOptionsControlsAndEnvironment)
{
    std::string windowed = helpText(Program::Windowed);
    std::string headless = helpText(Program::Headless);
    for (const std::string* help : {&windowed, &headless}) {
        for (const char* needed : {"server ADDRESS",
                                   "-client ADDRESS NAME",
                                   "--help",
                                   "--version",
                                   "--net-sim",
                                   "--ping-interval",
                                   "--rate",
                                   "--max-clients",
                                   "--quiet",
                                   "--no-retry",
                                   "--secure",
                                   "--insecure",
                                   "--max-per-address",
                                   "--max-queued-mb",
                                   "--server-key FINGERPRINT",
                                   "SEAFOLD_LOG",
                                   "SEAFOLD_LOG=help",
                                   "SEAFOLD_CAPTURE_FILE",
                                   "--find [SECONDS]",
                                   "--discovery-port",
                                   "--server-name",
                                   "--no-discovery",
                                   "auto",
                                   "--flat-voice",
                                   "--voice-activation",
                                   "--mute NAME"})
            EXPECT_NE(help->find(needed), std::string::npos) << needed << " missing in\n" << *help;
    }
    for (const char* needed : {"W A S D", "Print Screen", "push-to-talk", "Escape", "mouse wheel", "SEAFOLD_EVENT_LOG",
                               "SEAFOLD_CONFIG_DIALOG", "Home", "End", "People panel"})
        EXPECT_NE(windowed.find(needed), std::string::npos) << needed;
    for (const char* needed : {"--move", "--move-every", "--quit-after", "--events", "--voice", "--stats", "--speak",
                               "--speak-every"}) {
        EXPECT_NE(headless.find(needed), std::string::npos) << needed;
        EXPECT_EQ(windowed.find("  " + std::string(needed) + " "), std::string::npos) << needed;
    }
}

TEST(CommandLine, GoodLinesFillInTheOptions)
{
    ProgramOptions client;
    ParseOutcome out = parseProgramOptions(Program::Headless,
                                           {"-client",
                                            "127.0.0.1:28000",
                                            "Zo\xc3\xab",
                                            "--model",
                                            "boat.mesh",
                                            "--move",
                                            "1,0,0",
                                            "--move",
                                            "-0.5,0,2",
                                            "--move-every",
                                            "100",
                                            "--quit-after",
                                            "2.5",
                                            "--events",
                                            "--voice",
                                            "0A0b",
                                            "--stats",
                                            "50",
                                            "--net-sim",
                                            "10,5,20,40",
                                            "--ping-interval=100",
                                            "--quiet",
                                            "--no-retry"},
                                           &client);
    ASSERT_TRUE(out.run) << out.error;
    EXPECT_TRUE(client.line.isClient);
    EXPECT_EQ(client.line.addressText, "127.0.0.1:28000");
    EXPECT_EQ(client.line.clientName, "Zo\xc3\xab");
    EXPECT_EQ(client.headless.model, "boat.mesh");
    ASSERT_EQ(client.headless.moves.size(), 2u);
    EXPECT_DOUBLE_EQ(client.headless.moves[1].dx, -0.5);
    EXPECT_DOUBLE_EQ(client.headless.moves[1].dz, 2.0);
    EXPECT_EQ(client.headless.moveEveryMs, 100u);
    EXPECT_DOUBLE_EQ(client.headless.quitAfterSeconds, 2.5);
    EXPECT_TRUE(client.headless.events);
    EXPECT_EQ(client.headless.voice, (std::vector<uint8_t>{0x0a, 0x0b}));
    EXPECT_EQ(client.headless.statsEveryMs, 50u);
    EXPECT_TRUE(client.shared.simulate);
    EXPECT_EQ(client.shared.simulation.dropPercent, 10u);
    EXPECT_EQ(client.shared.simulation.maxDelayMs, 40u);
    EXPECT_EQ(client.shared.pingIntervalMs, 100u);
    EXPECT_TRUE(client.shared.quiet);
    EXPECT_FALSE(client.shared.retry);

    // The windowed program takes the shared options; ports at both ends of the range.
    ProgramOptions server;
    out = parseProgramOptions(Program::Windowed, {"server", "0.0.0.0:65535", "--ping-interval", "250"}, &server);
    ASSERT_TRUE(out.run) << out.error;
    EXPECT_FALSE(server.line.isClient);
    EXPECT_EQ(server.line.addressText, "0.0.0.0:65535");
    EXPECT_TRUE(server.line.clientName.empty());
    EXPECT_EQ(server.shared.pingIntervalMs, 250u);
    EXPECT_FALSE(server.shared.simulate);
    EXPECT_FALSE(server.shared.quiet);
    EXPECT_TRUE(server.shared.retry);
    EXPECT_FALSE(server.shared.secure);
    EXPECT_FALSE(server.shared.insecure);
    EXPECT_TRUE(server.shared.serverKey.empty());

    // --secure in both programs; a pinned key is read as the server prints it
    // (or in capitals, in pairs) and turns --secure on.
    for (Program program : {Program::Windowed, Program::Headless}) {
        ProgramOptions secure;
        out = parseProgramOptions(program, {"server", "127.0.0.1:28000", "--secure"}, &secure);
        ASSERT_TRUE(out.run) << out.error;
        EXPECT_TRUE(secure.shared.secure);
        out = parseProgramOptions(
            program, {"-client", "127.0.0.1:28000", "bob", "--server-key", "01:23:45:67:89:AB:CD:EF"}, &secure);
        ASSERT_TRUE(out.run) << out.error;
        EXPECT_TRUE(secure.shared.secure);
        EXPECT_EQ(secure.shared.serverKey, "0123456789abcdef");
    }

    // The rate and the client cap keep their defaults unless given.
    EXPECT_EQ(server.shared.rate.minPacketSendPeriod, 96u);
    EXPECT_EQ(server.shared.rate.maxRecvBandwidth, 2500u);
    EXPECT_EQ(server.shared.maxClients, 64u);
    for (Program program : {Program::Windowed, Program::Headless}) {
        ProgramOptions lan;
        out =
            parseProgramOptions(program, {"server", "0.0.0.0:28000", "--rate", "16,65535", "--max-clients", "8"}, &lan);
        ASSERT_TRUE(out.run) << out.error;
        EXPECT_EQ(lan.shared.rate.minPacketSendPeriod, 16u);
        EXPECT_EQ(lan.shared.rate.minPacketRecvPeriod, 16u);
        EXPECT_EQ(lan.shared.rate.maxSendBandwidth, 65535u);
        EXPECT_EQ(lan.shared.rate.maxRecvBandwidth, 65535u);
        EXPECT_EQ(lan.shared.maxClients, 8u);
    }
    EXPECT_FALSE(server.shared.flatVoice);
    EXPECT_FALSE(server.shared.voiceActivation);
    EXPECT_TRUE(server.shared.muted.empty());
    for (Program program : {Program::Windowed, Program::Headless}) {
        ProgramOptions flat;
        out = parseProgramOptions(program,
                                  {"-client", "localhost:1", "bob", "--flat-voice", "--voice-activation", "--mute",
                                   "alice", "--mute", "carol smith"},
                                  &flat);
        ASSERT_TRUE(out.run) << out.error;
        EXPECT_TRUE(flat.shared.flatVoice);
        EXPECT_TRUE(flat.shared.voiceActivation);
        EXPECT_EQ(flat.shared.muted, (std::vector<std::string>{"alice", "carol smith"}));
    }
    out = parseProgramOptions(Program::Windowed, {"-client", "localhost:1", "-"}, &server);
    EXPECT_FALSE(out.run); // a lone dash is no name
    out = parseProgramOptions(Program::Windowed, {"-client", "localhost:1", "bob"}, &server);
    EXPECT_TRUE(out.run) << out.error;
}

// `-client 192.168.1.20 alice` was refused ("must be host:port") while the
// start window took the same address and joined port 28000.
TEST(CommandLine, AClientsBareHostMeansTheUsualPort)
{
    struct Case {
        Args args;
        const char* address;
    } cases[] = {
        {{"-client", "192.168.1.20", "alice"}, "192.168.1.20:28000"},
        {{"-client", "127.0.0.1:28001", "alice"}, "127.0.0.1:28001"},
        {{"-client", "auto", "alice"}, "auto"},
    };
    for (const Case& c : cases) {
        ProgramOptions options;
        ParseOutcome out = parseProgramOptions(Program::Headless, c.args, &options);
        ASSERT_TRUE(out.run) << c.address << ": " << out.error;
        EXPECT_EQ(options.line.addressText, c.address);
    }
    // A server still binds what it is told: no port is no address.
    ProgramOptions server;
    EXPECT_FALSE(parseProgramOptions(Program::Headless, {"server", "127.0.0.1"}, &server).run);
}

TEST(CommandLine, FindAutoAndTheDiscoveryOptions)
{
    for (Program program : {Program::Windowed, Program::Headless}) {
        SCOPED_TRACE(programName(program));
        ProgramOptions find;
        ASSERT_TRUE(parseProgramOptions(program, {"--find"}, &find).run);
        EXPECT_TRUE(find.line.find);
        EXPECT_DOUBLE_EQ(find.line.findSeconds, 1.0);
        EXPECT_FALSE(find.line.isClient);
        EXPECT_EQ(find.shared.discoveryPort, DefaultDiscoveryPort);
        // Options before or after, the time given either way.
        for (const Args& args :
             {Args{"--find", "2.5", "--discovery-port", "28005"}, Args{"--discovery-port=28005", "--find=2.5"}}) {
            ProgramOptions timed;
            ParseOutcome out = parseProgramOptions(program, args, &timed);
            ASSERT_TRUE(out.run) << out.error;
            EXPECT_TRUE(timed.line.find);
            EXPECT_DOUBLE_EQ(timed.line.findSeconds, 2.5);
            EXPECT_EQ(timed.shared.discoveryPort, 28005);
        }

        ProgramOptions client;
        ASSERT_TRUE(parseProgramOptions(program, {"-client", "auto", "alice", "--discovery-port", "1"}, &client).run);
        EXPECT_TRUE(client.line.joinsFoundServer());
        EXPECT_FALSE(client.line.find);
        EXPECT_EQ(client.shared.discoveryPort, 1);

        ProgramOptions server;
        ParseOutcome out = parseProgramOptions(
            program, {"server", "0.0.0.0:28000", "--server-name", "Hafen S\u00fcd", "--no-discovery"}, &server);
        ASSERT_TRUE(out.run) << out.error;
        EXPECT_FALSE(server.line.joinsFoundServer());
        EXPECT_EQ(server.shared.serverName, "Hafen S\u00fcd");
        EXPECT_TRUE(server.shared.noDiscovery);
        ProgramOptions plain;
        ASSERT_TRUE(parseProgramOptions(program, {"server", "0.0.0.0:28000"}, &plain).run);
        EXPECT_FALSE(plain.shared.noDiscovery);
        EXPECT_TRUE(plain.shared.serverName.empty()) << "the host name is taken at start-up";
    }
}

} // namespace
} // namespace seafold
