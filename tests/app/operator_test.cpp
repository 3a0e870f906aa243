// The ban file: a ban it cannot hold is not reported as kept, and a failed
// write leaves the bans already in it.
#include "app/console.h"
#include "app/network.h"
#include "app/operator.h"
#include "app/testfolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

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
    appSession().setAdmission(nullptr);
    appSession().setJoinAdmission(nullptr);
}

} // namespace
} // namespace seafold
