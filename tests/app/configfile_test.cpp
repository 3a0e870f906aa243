// Options from a config file: the user's file is read by default, --config
// names another, the command line wins, --write-config prints a file that
// reads back to the same options, and a bad line ends with exit code 2.
#include "app/commandline.h"
#include "app/testfolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
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
        {"model = boat.mesh\n", "unknown option \"model\""}, // the windowed program has no --model
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

} // namespace
} // namespace seafold
