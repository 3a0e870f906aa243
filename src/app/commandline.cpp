// The command line as a whole: the mode words, the options through the
// option table and the config file, and the checks of what goes together.
#include "app/commandline.h"
#include "app/configoptions.h"
#include "app/console.h"
#include "app/optiontable.h"
#include "sound/audiodevices.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#ifndef SEAFOLD_VERSION
#error "SEAFOLD_VERSION comes from the build (the project's version in CMakeLists.txt)"
#endif

namespace seafold {

const char* programName(Program program)
{
    return program == Program::Windowed ? "seafold" : "seafold-headless";
}

const char* seafoldVersion()
{
    return SEAFOLD_VERSION;
}

const char* const AutoAddress = "auto";

namespace {

bool looksLikeOption(const std::string& word)
{
    return !word.empty() && word[0] == '-';
}

// The first line of a message: every complaint is one line.
std::string oneLine(std::string text)
{
    size_t end = text.find('\n');
    if (end != std::string::npos)
        text.erase(end);
    return text;
}

// Whether `option` is one of the words of the line (alone or as --option=VALUE).
bool givenOnLine(const std::vector<std::string>& words, const std::string& option)
{
    return std::any_of(words.begin(), words.end(), [&option](const std::string& word) {
        return word == option || word.compare(0, option.size() + 1, option + "=") == 0;
    });
}

// The value of `option` on the line, or empty.
std::string valueOnLine(const std::vector<std::string>& words, const std::string& option)
{
    for (size_t k = 0; k < words.size(); ++k) {
        if (words[k] == option && k + 1 < words.size())
            return words[k + 1];
        if (words[k].compare(0, option.size() + 1, option + "=") == 0)
            return words[k].substr(option.size() + 1);
    }
    return std::string();
}

bool isModeWord(const std::string& word)
{
    return word == "server" || word == "-client";
}

// The mode words and their arguments into `line`; `*next` is the first
// word after them. Empty, or why the line is wrong.
std::string readMode(Program program, const std::vector<std::string>& args, CommandLine* line, size_t* next)
{
    *next = 0;
    const std::string mode = args.empty() ? std::string() : args[0];
    const bool modeWord = std::any_of(args.begin(), args.end(), isModeWord);
    // The windowed program started without a mode (from the desktop's
    // menu, say) shows the start window.
    const bool startWindow =
        program == Program::Windowed && !modeWord && (args.empty() || mode.compare(0, 2, "--") == 0);
    const bool finding = givenOnLine(args, "--find");
    if (args.empty() && !startWindow)
        return "missing the mode: server ADDRESS, -client ADDRESS NAME or --find";
    if (finding && modeWord)
        return "--find stands alone: it takes no server or -client";
    if (finding || startWindow) {
        // No mode word: everything is options.
        line->startWindow = startWindow && !finding;
        return std::string();
    }
    if (!isModeWord(mode)) {
        if (mode.compare(0, 2, "--") == 0)
            return "missing the mode: server ADDRESS, -client ADDRESS NAME or --find, before the options";
        return "unknown mode \"" + mode + "\": the first word is server or -client";
    }
    line->isClient = mode == "-client";
    *next = 1;
    if (*next >= args.size() || looksLikeOption(args[*next]))
        return mode + " needs an ADDRESS (host:port)";
    line->addressText = args[(*next)++];
    if (!line->isClient)
        return std::string();
    // A bare host joins the usual port, as the start window's field does.
    if (line->addressText != AutoAddress && line->addressText.find(':') == std::string::npos)
        line->addressText += ":" + std::to_string(DefaultSessionPort);
    if (*next >= args.size() || looksLikeOption(args[*next]))
        return "-client needs a NAME after the address";
    line->clientName = args[(*next)++];
    return line->clientName.empty() ? "the NAME must not be empty" : std::string();
}

// What only makes sense together, once every option is read. Empty, or why not.
std::string checkCombinations(Program program, const std::vector<std::string>& rest, const CLI::App& parser,
                              ProgramOptions& read)
{
    const CommandLine& line = read.line;
    const bool choosing = line.startWindow; // the start window: server or client, as the user picks
    const bool server = !line.find && !choosing && !line.isClient;
    // An option of the other role is a mistake on the command line; in a
    // config file (which a user's server and client may share) it is
    // ignored.
    for (const char* option : serverOnlyOptions())
        if (!server && !choosing && givenOnLine(rest, option))
            return std::string(option) + " is for a server";
    for (const char* option : clientOnlyOptions())
        if (!line.isClient && !choosing && givenOnLine(rest, option))
            return std::string(option) + " is for a client";
    std::string why;
    if (!line.find && !choosing && !line.joinsFoundServer() && !checkAddress(line.addressText, &why))
        return server && line.addressText == AutoAddress
                   ? "a server needs the address to bind (host:port); auto is for -client"
                   : why;
    const SharedOptions& shared = read.shared;
    if (shared.insecure && shared.secure)
        return "--insecure cannot go with --secure or --server-key";
    // A client's NAME follows its address; a --name in the config file is
    // the one the start window offers, and a client lets it be.
    if (givenOnLine(rest, "--name") && !server && !choosing)
        return "--name is for a server: a client's NAME follows its address";
    const CLI::Option* nameOption = parser.get_option_no_throw("--name");
    if (program == Program::Windowed && nameOption && nameOption->count() && shared.hostUserName.empty())
        return "the --name must not be empty";
    // --last-server and --favourite are kept as typed: they are looked up
    // when the user joins them, so a name that no longer resolves stops
    // nothing here.
    if (!shared.keyFile.empty() && shared.insecure)
        return "--key-file cannot go with --insecure: an unsealed server uses no key";
    if (!shared.keyFile.empty() && shared.newKeyEachStart)
        return "--key-file cannot go with --new-key-each-start: a new key is kept nowhere";
    if (!shared.serverKey.empty() && !line.isClient && !choosing)
        return "--server-key needs -client: a server makes its own key";
    if (!read.headless.speakFile.empty() && !line.isClient)
        return "--speak needs -client: the server does not speak";
    if (!shared.retry && !line.isClient && !choosing)
        return "--no-retry needs -client: a server connects to nobody";
    if (read.headless.speakEverySeconds > 0 && read.headless.speakFile.empty())
        return "--speak-every needs --speak FILE.wav";
    return std::string();
}

// The keys chosen, all at once, into `read`'s bindings. Empty, or what is
// wrong (two actions on one key), naming the config file when a key of it
// is part of the trouble.
std::string readKeyBindings(const std::vector<std::string>& rest, const std::string& configPath, ProgramOptions& read)
{
    SharedOptions& shared = read.shared;
    const std::string why = KeyBindings::fromChoices(shared.keyChoices, &shared.keys);
    if (why.empty())
        return why;
    for (const auto& choice : shared.keyChoices)
        if (!givenOnLine(rest, "--" + choice.first))
            return "in the config file " + configPath + ": " + why;
    return "--" + why;
}

// The join password: the first line of --password-file, else
// SEAFOLD_PASSWORD. Empty, or why it cannot be had.
std::string readPassword(ProgramOptions& read)
{
    SharedOptions& shared = read.shared;
    std::string why;
    if (!shared.passwordFile.empty()) {
        if (!readPasswordFile(shared.passwordFile, &shared.password, &why))
            return why;
    } else if (const char* password = std::getenv("SEAFOLD_PASSWORD")) {
        shared.password = password;
    }
    // The password is proven over the sealed connection: with one, sealing
    // is required, as --secure requires it.
    if (!shared.password.empty() && !read.line.find) {
        if (shared.insecure)
            return "a join password needs a sealed connection: it cannot go with --insecure";
        shared.secure = true;
    }
    return std::string();
}

// --help and --version answer whatever else is on the line.
bool answersAtOnce(Program program, const std::vector<std::string>& args, ParseOutcome* outcome)
{
    if (givenOnLine(args, "--help") || givenOnLine(args, "-h")) {
        outcome->output = helpText(program);
        return true;
    }
    if (givenOnLine(args, "--version")) {
        outcome->output = std::string(programName(program)) + " " + seafoldVersion() + "\n";
        return true;
    }
    if (givenOnLine(args, "--list-audio-devices")) {
        outcome->output = audioDeviceListing();
        return true;
    }
    return false;
}

// CLI11's complaint about the command line, as one line.
std::string parseFailure(const CLI::ParseError& error)
{
    return oneLine(error.what());
}

} // namespace

ParseOutcome parseProgramOptions(Program program, const std::vector<std::string>& args, ProgramOptions* options)
{
    ParseOutcome outcome;
    const std::string name = programName(program);
    auto fail = [&](const std::string& why) {
        outcome.run = false;
        outcome.exitCode = 2;
        outcome.error = name + ": " + oneLine(why) + "\nRun '" + name + " --help' for the usage.\n";
        return outcome;
    };
    if (answersAtOnce(program, args, &outcome))
        return outcome;

    ProgramOptions read;
    size_t next = 0;
    std::string why = readMode(program, args, &read.line, &next);
    if (!why.empty())
        return fail(why);
    const bool finding = givenOnLine(args, "--find");

    std::unique_ptr<CLI::App> parser = buildParser(program, read, finding);
    std::vector<std::string> rest(args.begin() + long(next), args.end());
    for (const char* option : otherProgramOptions(program)) {
        if (givenOnLine(rest, option))
            return fail(std::string(option) + " is for " +
                        programName(program == Program::Windowed ? Program::Headless : Program::Windowed));
    }
    ConfigSource source;
    source.path = givenOnLine(rest, "--config") ? valueOnLine(rest, "--config") : userConfigFile();
    source.required = givenOnLine(rest, "--config");
    source.finding = finding;
    source.lineUser = read.line.isClient ? read.line.clientName : valueOnLine(rest, "--name");
    ConfigReading reading;
    if (!source.path.empty() && !applyConfigFile(program, source, *parser, &reading))
        return fail(reading.error);
    try {
        // CLI11 takes the arguments last first.
        parser->parse(std::vector<std::string>(rest.rbegin(), rest.rend()));
    } catch (const CLI::ParseError& error) {
        return fail(parseFailure(error));
    }
    applyKeptChoices(*parser, reading, read);
    for (const std::string& warning : reading.warnings)
        outcome.warnings += name + ": " + warning + "\n";
    read.configWarnings = reading.warnings;
    std::vector<std::string> extras = parser->remaining();
    if (!extras.empty()) {
        const std::string& extra = extras.front();
        if (looksLikeOption(extra))
            return fail("unknown option " + extra.substr(0, extra.find('=')));
        return fail("unexpected argument \"" + extra + "\"");
    }
    why = checkCombinations(program, rest, *parser, read);
    if (why.empty())
        why = readKeyBindings(rest, source.path, read);
    if (why.empty())
        why = readPassword(read);
    if (!why.empty())
        return fail(why);

    if (parser->count("--write-config")) {
        outcome.output = configText(program, read.line, *parser, reading.applied);
        return outcome;
    }
    if (options)
        *options = read;
    outcome.run = true;
    return outcome;
}

int reportParseOutcome(const ParseOutcome& outcome)
{
    if (!outcome.output.empty()) {
        std::fputs(outcome.output.c_str(), stdout);
        std::fflush(stdout);
    }
    if (!outcome.warnings.empty())
        std::fputs(outcome.warnings.c_str(), stderr);
    if (!outcome.error.empty())
        std::fputs(outcome.error.c_str(), stderr);
    return outcome.run ? -1 : outcome.exitCode;
}

void readEnvironment(ProgramOptions* options)
{
    const char* file = std::getenv("SEAFOLD_CAPTURE_FILE");
    options->shared.captureFile = file ? file : "";
}

int readProgramOptions(Program program, int argc, char** argv, ProgramOptions* options)
{
    // SEAFOLD_LOG=help answers before anything else.
    if (checkLogChannelSetting(program))
        return 0;
    int code =
        reportParseOutcome(parseProgramOptions(program, std::vector<std::string>(argv + 1, argv + argc), options));
    if (code < 0)
        readEnvironment(options);
    return code;
}

} // namespace seafold
