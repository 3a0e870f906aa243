// The ban file: a ban it cannot hold is not reported as kept, and a failed
// write leaves the bans already in it. No file the programs keep (bans,
// settings, known servers) is written over when it is there but cannot be
// read.
#include "app/commandline.h"
#include "app/console.h"
#include "app/knownservers.h"
#include "app/network.h"
#include "app/operator.h"
#include "app/testfolder.h"
#include "app/userconfig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace seafold {
namespace {

class BanFile : public TestFolder {
protected:
    // The console's lines while `run` runs.
    template <typename Run> std::string linesOf(Run run)
    {
        std::FILE* console = std::tmpfile();
        EXPECT_NE(console, nullptr);
        setConsoleStream(console);
        run();
        setConsoleStream(nullptr);
        std::fflush(console);
        std::rewind(console);
        std::string text;
        char buffer[512];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, console)) > 0;)
            text.append(buffer, n);
        std::fclose(console);
        return text;
    }
};

// "Banned ... for good" used to be said of a ban that never reached a file.
TEST_F(BanFile, ABanIntoAMissingFolderIsNotReportedAsKept)
{
    OperatorConsole console(mFolder + "/gone/bans");
    std::string atStart = linesOf([&] { console.start(); });
    EXPECT_NE(atStart.find("does not exist"), std::string::npos) << atStart;
    std::string lines = linesOf([&] { console.run("ban 10.0.0.7"); });
    EXPECT_NE(lines.find("only until this server stops"), std::string::npos) << lines;
    EXPECT_NE(lines.find("does not exist"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("for good."), std::string::npos) << lines;
    // It holds in this run all the same.
    NetAddress from;
    ASSERT_TRUE(from.parse("10.0.0.7:5000"));
    EXPECT_FALSE(console.refusal(from).empty());
    appSession().setAdmission(nullptr);
    appSession().setJoinAdmission(nullptr);
}

TEST_F(BanFile, BansAreKeptAndReadBack)
{
    const std::string path = mFolder + "/bans";
    // A line that is no ban stays as it was written.
    std::ofstream(path) << "# the pirates\n";
    {
        OperatorConsole console(path);
        console.start();
        std::string lines = linesOf([&] { console.run("ban 10.0.0.7"); });
        EXPECT_NE(lines.find("for good."), std::string::npos) << lines;
    }
    OperatorConsole again(path);
    again.start();
    ASSERT_EQ(again.bans().size(), 1u);
    EXPECT_EQ(again.bans()[0].host, (10u << 24) | 7u);
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "# the pirates\n10.0.0.7 0\n");
    appSession().setAdmission(nullptr);
    appSession().setJoinAdmission(nullptr);
}

// While it lives, files that others than their owner may not read are
// unreadable to this process too: root reads them all, so a root run acts
// as nobody, in a folder made nobody's.
class AsAnotherUser {
public:
    explicit AsAnotherUser(const std::string& folder)
    {
        if (::geteuid() != 0)
            return;
        EXPECT_EQ(::chown(folder.c_str(), Nobody, Nobody), 0);
        mSwitched = ::setegid(Nobody) == 0 && ::seteuid(Nobody) == 0;
        EXPECT_TRUE(mSwitched);
    }
    ~AsAnotherUser()
    {
        if (mSwitched) {
            EXPECT_TRUE(::seteuid(0) == 0 && ::setegid(0) == 0);
        }
    }

private:
    static constexpr uid_t Nobody = 65534;
    bool mSwitched = false;
};

// A file there that could not be read used to be taken for none and
// written over from nothing: every ban, setting and known server in it gone.
TEST_F(BanFile, AKeptFileThatCannotBeReadIsNeverWrittenOver)
{
    struct Case {
        const char* name;
        const char* text;
        // Writes to the file at `path`; the reason it gives (empty: none).
        std::function<std::string(const std::string& path)> write;
    } cases[] = {
        {"bans", "10.0.0.1 0\n",
         [this](const std::string& path) {
             OperatorConsole console(path);
             std::string lines = linesOf([&] {
                 console.start();
                 console.run("ban 10.0.0.7");
             });
             appSession().setAdmission(nullptr);
             appSession().setJoinAdmission(nullptr);
             return lines.find("only until this server stops") != std::string::npos ? lines : std::string();
         }},
        {"seafold.conf", "# mine\nrate = \"16,65535\"\n",
         [](const std::string& path) {
             ProgramOptions options;
             ParseOutcome start = parseProgramOptions(Program::Windowed, {"--config", path}, &options);
             EXPECT_FALSE(start.run);
             EXPECT_NE(start.error.find("Permission denied"), std::string::npos) << start.error;
             return rememberInConfigFile(path, "ann", "model", {"boat.mesh"}, false).error;
         }},
        {"known-servers", "10.0.0.1:28000 aa11\n",
         [](const std::string& path) {
             std::string why;
             KnownServers known(path);
             known.rememberedServers(&why);
             EXPECT_FALSE(why.empty());
             return known.remember("10.0.0.2:28000", "bb22", &why) ? std::string() : why;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = mFolder + "/" + c.name;
        std::ofstream(path) << c.text;
        ASSERT_EQ(::chmod(path.c_str(), 0), 0);
        std::string why;
        {
            AsAnotherUser other(mFolder);
            why = c.write(path);
        }
        EXPECT_NE(why.find("cannot read"), std::string::npos) << why;
        EXPECT_NE(why.find(path), std::string::npos) << why;
        std::ifstream in(path);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.text);
    }
}

} // namespace
} // namespace seafold
