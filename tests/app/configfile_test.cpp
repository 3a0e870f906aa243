// Options from a config file: the user's file is read by default, --config
// names another, the command line wins, --write-config prints a file that
// reads back to the same options, and a bad line ends with exit code 2. The
// windowed program keeps the user's choices in the same file.
#include "app/commandline.h"
#include "app/configfile.h"
#include "app/configoptions.h"
#include "app/testfolder.h"
#include "app/userconfig.h"
#include "app/windowport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace seafold {
namespace {

using Args = std::vector<std::string>;

class ConfigFile : public TestFolder {
protected:
    void SetUp() override
    {
        TestFolder::SetUp();
        const char* old = std::getenv("XDG_CONFIG_HOME");
        mHadConfigHome = old != nullptr;
        mOldConfigHome = old ? old : "";
        setenv("XDG_CONFIG_HOME", mFolder.c_str(), 1);
    }
    void TearDown() override
    {
        if (mHadConfigHome)
            setenv("XDG_CONFIG_HOME", mOldConfigHome.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        TestFolder::TearDown();
    }

    // Writes `text` to `name` in the test's folder; returns its path.
    std::string write(const std::string& name, const std::string& text)
    {
        std::string path = mFolder + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    void writeUserFile(const std::string& text)
    {
        mkdir((mFolder + "/seafold").c_str(), 0700);
        write("seafold/seafold.conf", text);
    }

private:
    bool mHadConfigHome = false;
    std::string mOldConfigHome;
};

TEST_F(ConfigFile, TheUserFileIsReadAndTheCommandLineWins)
{
    EXPECT_EQ(userConfigFile(), mFolder + "/seafold/seafold.conf");
    writeUserFile(
        "ping-interval = 250\nserver-name = \"Harbour\"\nquiet = true\nrate = \"16,65535\"\nmax-clients = 8\n");
    struct Case {
        Args args;
        uint32_t pingMs;
        uint32_t rateMs;
    } cases[] = {
        {{"server", "127.0.0.1:28000"}, 250, 16},
        {{"server", "127.0.0.1:28000", "--ping-interval", "900"}, 900, 16},
        {{"server", "127.0.0.1:28000", "--rate", "32,10000"}, 250, 32},
    };
    for (const Case& c : cases) {
        ProgramOptions options;
        ParseOutcome out = parseProgramOptions(Program::Headless, c.args, &options);
        ASSERT_TRUE(out.run) << out.error;
        EXPECT_EQ(options.shared.pingIntervalMs, c.pingMs);
        EXPECT_EQ(options.shared.rate.minPacketSendPeriod, c.rateMs);
        EXPECT_EQ(options.shared.serverName, "Harbour");
        EXPECT_TRUE(options.shared.quiet);
    }
    // A client reading the same file ignores the server's options in it.
    ProgramOptions client;
    ParseOutcome joined = parseProgramOptions(Program::Headless, {"-client", "127.0.0.1:28000", "alice"}, &client);
    ASSERT_TRUE(joined.run) << joined.error;
    EXPECT_EQ(client.shared.pingIntervalMs, 250u);

    // --config names another file instead of the user's.
    std::string other = write("other.conf", "ping-interval = 40\n");
    ProgramOptions options;
    ASSERT_TRUE(parseProgramOptions(Program::Headless, {"server", "127.0.0.1:28000", "--config", other}, &options).run);
    EXPECT_EQ(options.shared.pingIntervalMs, 40u);
    EXPECT_TRUE(options.shared.serverName.empty());
}

TEST_F(ConfigFile, WrittenConfigReadsBackToTheSameOptions)
{
    const Args line = {
        "-client", "127.0.0.1:28000", "alice",     "--rate",     "16,65535",        "--mute",  "bob",
        "--mute",  "carol dee",       "--net-sim", "10,5,20,40", "--secure",        "--model", "boat.mesh",
        "--move",  "1,0,0",           "--move",    "0,0,-2.5",   "--ping-interval", "300"};
    Args writing = line;
    writing.push_back("--write-config");
    ParseOutcome written = parseProgramOptions(Program::Headless, writing, nullptr);
    ASSERT_FALSE(written.run) << written.error;
    ASSERT_EQ(written.exitCode, 0);
    EXPECT_EQ(written.output.rfind("# seafold-headless -client 127.0.0.1:28000 alice\n", 0), 0u) << written.output;

    std::string file = write("written.conf", written.output);
    ProgramOptions direct, fromFile;
    ASSERT_TRUE(parseProgramOptions(Program::Headless, line, &direct).run);
    ParseOutcome read =
        parseProgramOptions(Program::Headless, {"-client", "127.0.0.1:28000", "alice", "--config", file}, &fromFile);
    ASSERT_TRUE(read.run) << read.error;
    EXPECT_EQ(fromFile.shared.rate.minPacketSendPeriod, direct.shared.rate.minPacketSendPeriod);
    EXPECT_EQ(fromFile.shared.rate.maxSendBandwidth, direct.shared.rate.maxSendBandwidth);
    EXPECT_EQ(fromFile.shared.muted, direct.shared.muted);
    EXPECT_EQ(fromFile.shared.simulation.dropPercent, direct.shared.simulation.dropPercent);
    EXPECT_EQ(fromFile.shared.simulation.maxDelayMs, direct.shared.simulation.maxDelayMs);
    EXPECT_EQ(fromFile.shared.secure, direct.shared.secure);
    EXPECT_EQ(fromFile.shared.pingIntervalMs, direct.shared.pingIntervalMs);
    EXPECT_EQ(fromFile.headless.model, direct.headless.model);
    ASSERT_EQ(fromFile.headless.moves.size(), 2u);
    EXPECT_DOUBLE_EQ(fromFile.headless.moves[1].dz, -2.5);

    // Written again from the file, the text is the same.
    ParseOutcome again = parseProgramOptions(
        Program::Headless, {"-client", "127.0.0.1:28000", "alice", "--config", file, "--write-config"}, nullptr);
    EXPECT_EQ(again.output, written.output);
}

TEST_F(ConfigFile, ABadLineIsOneErrorAndExitCodeTwo)
{
    struct Case {
        const char* text;
        const char* says;
    } cases[] = {
        {"ping-interval = 250\nthis is no option\n", "unknown option \"this is no option\""},
        {"pign-interval = 250\n", "unknown option \"pign-interval\""},
        {"ping-interval = fast\n", "--ping-interval takes milliseconds"},
        {"modell = boat.mesh\n", "unknown option \"modell\""},
    };
    for (const Case& c : cases) {
        std::string file = write("bad.conf", c.text);
        ParseOutcome out =
            parseProgramOptions(Program::Windowed, {"server", "127.0.0.1:28000", "--config", file}, nullptr);
        EXPECT_FALSE(out.run) << c.text;
        EXPECT_EQ(out.exitCode, 2) << c.text;
        EXPECT_NE(out.error.find(c.says), std::string::npos) << out.error;
        EXPECT_EQ(std::count(out.error.begin(), out.error.end(), '\n'), 2) << out.error;
    }
    // A file named on the line must exist; the user's file need not.
    ParseOutcome missing = parseProgramOptions(
        Program::Headless, {"server", "127.0.0.1:28000", "--config", mFolder + "/none.conf"}, nullptr);
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.error.find("cannot read the config file"), std::string::npos) << missing.error;
}

std::string fileText(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// What the window keeps reads back as it was, whatever the text holds: "#"
// used to cut the value (a mute of "x#y" then stopped every start), and a
// text with both kinds of quote or a line break could not be kept at all.
TEST_F(ConfigFile, EveryKeptTextReadsBackAsItWas)
{
    const std::string user = "# mine\nrate = \"16,65535\"\n\nquiet = true\n";
    writeUserFile(user);
    const std::string path = userConfigFile();
    const std::vector<std::string> texts = {
        "ann#1",          "x # y",         "[bob]",      "a]b[c",       "say \"hi\"",     "o'neil",
        "a'b\"c",         "back\\slash\\", "two\nlines", "tab\there\r", "Ann, the first", "  spaced  ",
        "ünïcødé ☃ 日本", "\x01\x7f ctl",  "=equals=",   "true",        ";semi",          "\xff\xfe not utf-8",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(rememberInConfigFile(path, "", "name", {text}, false));
        ASSERT_TRUE(rememberInConfigFile(path, text, "mute", {"bob", text}, true));
        ASSERT_TRUE(rememberInConfigFile(path, text, "last-server", {text}, false));
        ProgramOptions options;
        ParseOutcome out = parseProgramOptions(Program::Windowed, {}, &options);
        ASSERT_TRUE(out.run) << out.error;
        EXPECT_EQ(options.shared.hostUserName, text);
        EXPECT_EQ(options.shared.muted, (std::vector<std::string>{"bob", text}));
        EXPECT_EQ(options.shared.lastServer, text);
        EXPECT_EQ(options.shared.rate.minPacketSendPeriod, 16u);
        // Each line the program writes reads back as what it wrote.
        std::vector<ConfigItem> items = readConfigText(configLine("mute", {text, "b"}, true));
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].values, (std::vector<std::string>{text, "b"}));
        EXPECT_TRUE(items[0].error.empty()) << items[0].error;
    }
    // The user's own lines stay as written.
    EXPECT_EQ(fileText(path).rfind("# mine\nrate = \"16,65535\"\n", 0), 0u) << fileText(path);
    // No file yet: one is made, folder and all.
    std::string fresh = mFolder + "/new/seafold/seafold.conf";
    ASSERT_TRUE(rememberInConfigFile(fresh, "", "name", {"ann"}, false));
    ProgramOptions options;
    ASSERT_TRUE(parseProgramOptions(Program::Windowed, {"--config", fresh}, &options).run);
    EXPECT_EQ(options.shared.hostUserName, "ann");
}

// All windows of a machine used to share one set of choices: bob started
// with alice's boat and her voice activation.
TEST_F(ConfigFile, EachUserKeepsTheirOwnChoices)
{
    const std::string path = userConfigFile();
    ASSERT_TRUE(rememberInConfigFile(path, "alice", "model", {"boat.mesh"}, false));
    ASSERT_TRUE(rememberInConfigFile(path, "alice", "voice-activation", {"true"}, false));
    ASSERT_TRUE(rememberInConfigFile(path, "bob", "model", {"fish.mesh"}, false));
    ASSERT_TRUE(rememberInConfigFile(path, "bob", "volume", {"alice=150"}, true));
    ASSERT_TRUE(rememberInConfigFile(path, "", "name", {"bob"}, false));
    struct Case {
        Args args;
        const char* model;
        bool voiceActivation;
        size_t volumes;
    } cases[] = {
        {{"-client", "127.0.0.1:28000", "alice"}, "boat.mesh", true, 0},
        {{"-client", "127.0.0.1:28000", "bob"}, "fish.mesh", false, 1},
        {{"--name", "alice"}, "boat.mesh", true, 0},
        {{}, "fish.mesh", false, 1}, // the start window: the name kept at the top
        {{"-client", "127.0.0.1:28000", "carol"}, "", false, 0},
    };
    for (const Case& c : cases) {
        ProgramOptions options;
        ParseOutcome out = parseProgramOptions(Program::Windowed, c.args, &options);
        ASSERT_TRUE(out.run) << out.error;
        EXPECT_EQ(options.headless.model, c.model);
        EXPECT_EQ(options.shared.voiceActivation, c.voiceActivation);
        ASSERT_EQ(options.shared.volumes.size(), c.volumes);
    }
    ProgramOptions bob;
    ASSERT_TRUE(parseProgramOptions(Program::Windowed, {}, &bob).run);
    EXPECT_EQ(bob.shared.volumes[0].first, "alice");
    EXPECT_FLOAT_EQ(bob.shared.volumes[0].second, 1.5f);
}

// What the People panel sets is written by the window and read at the next
// start as it was set, whatever the names hold.
TEST_F(ConfigFile, VolumesAndTheMasterVolumeReadBackAsTheWindowKeptThem)
{
    const std::string path = userConfigFile();
    WindowPort port;
    port.setKeeper([&path](const std::string& option, const std::vector<std::string>& values, bool list) {
        return rememberInConfigFile(path, "bob", option, values, list);
    });
    const std::vector<std::pair<std::string, float>> set = {
        {"ann #2", 1.5f},   {"say \"hi\"", 0.25f},     {"two  spaces ", 0.0f},
        {"x=y = 50", 2.0f}, {"back\\slash [1]", 0.6f}, {"# alone", 1.1f},
    };
    for (const auto& [name, volume] : set)
        port.setVoiceVolume(name, false, volume);
    port.setMasterVolume(0.8f);
    ProgramOptions options;
    ParseOutcome out = parseProgramOptions(Program::Windowed, {"--name", "bob"}, &options);
    ASSERT_TRUE(out.run) << out.error << "\n" << fileText(path);
    std::map<std::string, float> read(options.shared.volumes.begin(), options.shared.volumes.end());
    ASSERT_EQ(read.size(), set.size()) << fileText(path);
    for (const auto& [name, volume] : set)
        EXPECT_FLOAT_EQ(read[name], volume) << name;
    EXPECT_FLOAT_EQ(options.shared.masterVolume, 0.8f);
    // The next user starts at full volume, not at bob's.
    applyUsersKeptChoices(path, "carol", options);
    EXPECT_FLOAT_EQ(options.shared.masterVolume, 1.0f);
}

// A kept value that no longer reads used to stop every start with exit 2,
// --find included; now the program starts, says which line it let be, and
// the option keeps its default.
TEST_F(ConfigFile, AKeptValueNeverStopsAStart)
{
    struct Case {
        const char* text;
        Args args;
        const char* warns; // in the warning, which names the file and line
    } cases[] = {
        {"quiet = true\nlast-server = \"no-such-host.invalid:28000\"\n", {"--find", "0.1"}, nullptr},
        {"last-server = \"no-such-host.invalid:28000\"\n", {}, nullptr},
        {"quiet = true\nvoice-activation = perhaps\n", {}, "line 2"},
        {"mute = [\"unclosed\n", {}, "line 1"},
        {"[user \"ann\"]\nmodel = \"x\" y\n", {"--name", "ann"}, "line 2"},
        {"[user \"ann\"]\nno-such-option = 1\n", {"--name", "ann"}, "line 2"},
        {"volume = [\"bob=loud\"]\n", {"-client", "127.0.0.1:28000", "ann"}, "line 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        writeUserFile(c.text);
        ProgramOptions options;
        ParseOutcome out = parseProgramOptions(Program::Windowed, c.args, &options);
        EXPECT_TRUE(out.run || !out.output.empty()) << out.error;
        EXPECT_EQ(out.exitCode, 0);
        if (c.warns) {
            EXPECT_NE(out.warnings.find(userConfigFile() + " " + c.warns), std::string::npos) << out.warnings;
            // For the window too, which a start from the menu shows them in.
            EXPECT_EQ(options.configWarnings.size(),
                      size_t(std::count(out.warnings.begin(), out.warnings.end(), '\n')));
        } else {
            EXPECT_TRUE(out.warnings.empty()) << out.warnings;
        }
    }
}

// Windows of one machine that keep a choice at the same moment: each read the
// file, changed its own line and put the file back, and the last one's
// rename took away what the others had kept meanwhile.
TEST_F(ConfigFile, WindowsKeepingChoicesAtOnceEachKeepTheirs)
{
    const std::string path = userConfigFile();
    constexpr int Windows = 4, Choices = 25;
    std::vector<pid_t> children;
    for (int w = 0; w < Windows; ++w) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            bool ok = true;
            for (int k = 0; k < Choices; ++k)
                ok = rememberInConfigFile(path, "user" + std::to_string(w), "favourite-" + std::to_string(k), {"x"},
                                          false) &&
                     ok;
            _exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(readConfigText(fileText(path)).size(), size_t(Windows * Choices)) << fileText(path);
}

// Both programs read the user's file: each lets the other's options be.
TEST_F(ConfigFile, EachProgramLetsTheOthersOptionsInTheFileBe)
{
    writeUserFile("name = ann\nlast-server = \"10.0.0.1:28000\"\nshow-fps = true\nevents = true\n"
                  "move = [\"1,0,0\", \"0,1,0\"]\nmodel = buoy.mesh\n");
    ProgramOptions windowed, headless;
    ParseOutcome w = parseProgramOptions(Program::Windowed, {"-client", "127.0.0.1:28000", "bob"}, &windowed);
    ParseOutcome h = parseProgramOptions(Program::Headless, {"-client", "127.0.0.1:28000", "bob"}, &headless);
    ASSERT_TRUE(w.run) << w.error;
    ASSERT_TRUE(h.run) << h.error;
    EXPECT_EQ(windowed.headless.model, "buoy.mesh");
    EXPECT_TRUE(windowed.shared.showFps);
    EXPECT_TRUE(headless.headless.events);
    EXPECT_EQ(headless.headless.moves.size(), 2u);
    EXPECT_EQ(windowed.line.clientName, "bob");
}

} // namespace
} // namespace seafold

namespace seafold {
namespace {

// The start window's user may be another than the one the program started
// for: bob used to start with alice's mutes.
TEST_F(ConfigFile, AnotherUserInTheStartWindowStartsWithTheirOwnChoices)
{
    const std::string path = userConfigFile();
    ASSERT_TRUE(rememberInConfigFile(path, "alice", "mute", {"carl"}, true));
    ASSERT_TRUE(rememberInConfigFile(path, "bob", "model", {"fish.mesh"}, false));
    ASSERT_TRUE(rememberInConfigFile(path, "", "name", {"alice"}, false));
    ProgramOptions options;
    ASSERT_TRUE(parseProgramOptions(Program::Windowed, {}, &options).run);
    EXPECT_EQ(options.shared.muted, std::vector<std::string>{"carl"});
    applyUsersKeptChoices(path, "bob", options);
    EXPECT_TRUE(options.shared.muted.empty());
    EXPECT_EQ(options.headless.model, "fish.mesh");
}

// The sound devices, voice activation's sensitivity and echo
// cancellation are the user's settings: kept in the file, the line wins.
TEST_F(ConfigFile, TheAudioSettingsComeFromTheFileAndTheLineWins)
{
    writeUserFile("input-device = Monitor of Headset\noutput-device = Headset\nvoice-threshold = 12\n"
                  "voice-hold = 250\necho-cancellation = off\n");
    for (Program program : {Program::Windowed, Program::Headless}) {
        ProgramOptions read;
        ParseOutcome out = parseProgramOptions(program, {"-client", "localhost:1", "bob"}, &read);
        ASSERT_TRUE(out.run) << out.error;
        EXPECT_EQ(read.shared.inputDevice, "Monitor of Headset");
        EXPECT_EQ(read.shared.outputDevice, "Headset");
        EXPECT_DOUBLE_EQ(read.shared.voiceThresholdDb, 12.0);
        EXPECT_EQ(read.shared.voiceHoldMs, 250u);
        EXPECT_EQ(read.shared.echoCancellation, SharedOptions::EchoChoice::Off);
        out = parseProgramOptions(
            program, {"-client", "localhost:1", "bob", "--output-device", "Speakers", "--echo-cancellation", "on"},
            &read);
        ASSERT_TRUE(out.run) << out.error;
        EXPECT_EQ(read.shared.outputDevice, "Speakers");
        EXPECT_EQ(read.shared.echoCancellation, SharedOptions::EchoChoice::On);
    }
}

// What the Settings window keeps (devices, voice activation, keys) is
// written into the user's section and read back as it was written.
TEST_F(ConfigFile, TheSettingsWindowsChoicesReadBack)
{
    const std::string path = userConfigFile();
    const std::vector<std::pair<std::string, std::string>> kept = {
        {"input-device", "Monitor of \"Desk\" Mic #2"}, {"output-device", "Headset"}, {"voice-threshold", "14"},
        {"voice-hold", "650"}, {"ptt-key", "Mouse4"}, {"chat-key", "Y"}, {"forward-key", "Up"},
        {"back-key", "Down"}, {"left-key", "Left"}, {"right-key", "Right"}, {"mute-key", "F9"},
        {"deafen-key", "F10"}};
    for (const auto& [option, value] : kept)
        ASSERT_TRUE(rememberInConfigFile(path, "bob", option, {value}, false)) << option;
    ProgramOptions read;
    ParseOutcome out = parseProgramOptions(Program::Windowed, {"-client", "localhost:1", "bob"}, &read);
    ASSERT_TRUE(out.run) << out.error;
    EXPECT_EQ(read.shared.inputDevice, "Monitor of \"Desk\" Mic #2");
    EXPECT_EQ(read.shared.outputDevice, "Headset");
    EXPECT_DOUBLE_EQ(read.shared.voiceThresholdDb, 14.0);
    EXPECT_EQ(read.shared.voiceHoldMs, 650u);
    for (const KeyActionInfo& info : keyActions()) {
        auto value = std::find_if(kept.begin(), kept.end(), [&info](const auto& k) { return k.first == info.option; });
        ASSERT_NE(value, kept.end());
        EXPECT_EQ(read.shared.keys.keyName(info.action), value->second) << info.option;
    }
    // The other program lets the keys be.
    out = parseProgramOptions(Program::Headless, {"-client", "localhost:1", "bob"}, &read);
    EXPECT_TRUE(out.run) << out.error;
}

// Two actions on one key in the file: refused, naming the file; on the
// command line, naming the options.
TEST_F(ConfigFile, TwoActionsOnOneKeyAreAnErrorNamingTheFile)
{
    writeUserFile("ptt-key = T\n");
    ProgramOptions read;
    ParseOutcome out = parseProgramOptions(Program::Windowed, {"-client", "localhost:1", "bob"}, &read);
    EXPECT_FALSE(out.run);
    EXPECT_EQ(out.exitCode, 2);
    EXPECT_NE(out.error.find("in the config file " + userConfigFile() + ": ptt-key and chat-key are both T"),
              std::string::npos)
        << out.error;
    // Moving the chat key on the line mends it.
    out = parseProgramOptions(Program::Windowed, {"-client", "localhost:1", "bob", "--chat-key", "Y"}, &read);
    EXPECT_TRUE(out.run) << out.error;
    out = parseProgramOptions(Program::Windowed, {"--left-key", "Escape"}, &read);
    EXPECT_NE(out.error.find("--left-key: Escape cannot be bound"), std::string::npos) << out.error;
}

} // namespace
} // namespace seafold
