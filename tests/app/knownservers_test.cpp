// The servers a user joined, remembered by key.
#include "app/knownservers.h"
#include "app/refusal.h"
#include "testfolder.h"

#include <fstream>

namespace seafold {
namespace {

class KnownServersTest : public TestFolder {};

TEST_F(KnownServersTest, AServerIsNewThenKnownAndAnotherKeyIsAChange)
{
    KnownServers known(mFolder + "/state/seafold/known-servers");
    EXPECT_EQ(known.check("10.0.0.1:28000", "aa11"), KnownServers::Verdict::New);
    std::string why;
    ASSERT_TRUE(known.remember("10.0.0.1:28000", "aa11", &why)) << why;
    EXPECT_EQ(known.check("10.0.0.1:28000", "aa11"), KnownServers::Verdict::Known);
    EXPECT_EQ(known.check("10.0.0.1:28000", "bb22"), KnownServers::Verdict::Changed);
    // Another port is another server.
    EXPECT_EQ(known.check("10.0.0.1:28001", "bb22"), KnownServers::Verdict::New);
}

TEST_F(KnownServersTest, AcceptingANewKeyReplacesTheOldLineAndKeepsTheOthers)
{
    const std::string path = mFolder + "/known-servers";
    {
        std::ofstream out(path);
        out << "# my servers\n10.0.0.1:28000 aa11\n10.0.0.2:28000 cc33\n";
    }
    KnownServers known(path);
    std::string why;
    ASSERT_TRUE(known.remember("10.0.0.1:28000", "bb22", &why)) << why;
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "# my servers\n10.0.0.1:28000 bb22\n10.0.0.2:28000 cc33\n");
}

TEST_F(KnownServersTest, AFileThatCannotBeWrittenIsReportedAndLeftAlone)
{
    const std::string path = mFolder + "/known-servers";
    {
        std::ofstream out(path);
        out << "10.0.0.1:28000 aa11\n";
    }
    // A folder that is not one: its file cannot be made.
    KnownServers blocked(path + "/known-servers");
    std::string why;
    EXPECT_FALSE(blocked.remember("10.0.0.1:28000", "bb22", &why));
    EXPECT_NE(why.find(path), std::string::npos) << why;
    EXPECT_EQ(KnownServers(path).remembered("10.0.0.1:28000"), "aa11");
}

TEST_F(KnownServersTest, TheRefusalSaysWhatHappenedAndHowToAcceptTheNewKey)
{
    std::string message = changedServerKeyMessage("10.0.0.1:28000", "aa11", "bb22", "/x/known-servers");
    EXPECT_NE(message.find("posing"), std::string::npos);
    EXPECT_NE(message.find("--accept-new-key"), std::string::npos);
    EXPECT_NE(message.find("/x/known-servers"), std::string::npos);
}

} // namespace
} // namespace seafold
