// A server's key kept in a file: made once with owner-only access, the same
// key (and fingerprint) on every later start, refused when others can read
// it or it holds no key.
#include "app/keyfile.h"
#include "app/testfolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace seafold {
namespace {

// The server's key size (a 256-bit curve).
constexpr uint32_t KeyBytes = 32;

class KeyFile : public TestFolder {
protected:
    void SetUp() override
    {
        TestFolder::SetUp();
        mPath = mFolder + "/server.key";
    }
    std::string mPath;
};

TEST_F(KeyFile, MadeOwnerOnlyAndTheSameKeyAfterARestart)
{
    std::string why;
    RefPtr<AsymmetricKey> first = loadOrMakeKeyFile(mPath, KeyBytes, &why);
    ASSERT_TRUE(first) << why;
    struct stat info;
    ASSERT_EQ(stat(mPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    RefPtr<AsymmetricKey> again = loadOrMakeKeyFile(mPath, KeyBytes, &why);
    ASSERT_TRUE(again) << why;
    EXPECT_TRUE(again->hasPrivateKey());
    EXPECT_EQ(keyFingerprint(again), keyFingerprint(first));
    EXPECT_FALSE(keyFingerprint(first).empty());
}

TEST_F(KeyFile, RefusedWhenOthersCanReadItOrItHoldsNoKey)
{
    std::string why;
    ASSERT_TRUE(loadOrMakeKeyFile(mPath, KeyBytes, &why)) << why;
    struct Case {
        mode_t mode;
        const char* contents; // null: the key made above
        const char* says;
    } cases[] = {
        {0644, nullptr, "can be read by others"},
        {0640, nullptr, "can be read by others"},
        {0600, "not a key", "holds no private key"},
    };
    for (const Case& c : cases) {
        if (c.contents)
            std::ofstream(mPath, std::ios::trunc) << c.contents;
        ASSERT_EQ(chmod(mPath.c_str(), c.mode), 0);
        why.clear();
        EXPECT_FALSE(loadOrMakeKeyFile(mPath, KeyBytes, &why)) << c.says;
        EXPECT_NE(why.find(c.says), std::string::npos) << why;
    }
    // A folder that does not exist: said, nothing made.
    why.clear();
    EXPECT_FALSE(loadOrMakeKeyFile(mFolder + "/none/server.key", KeyBytes, &why));
    EXPECT_NE(why.find("cannot make the key file"), std::string::npos) << why;
}

// The shipped server config run by hand used to end with "No such file or
// directory" and no hint; a folder of the user's own is simply made.
TEST_F(KeyFile, AMissingFolderIsMadeWhenItIsTheUsersOwnAndOtherwiseNamedWithWhatToDo)
{
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    setenv("HOME", mFolder.c_str(), 1);
    std::string why;
    const std::string own = mFolder + "/.local/state/seafold/server.key";
    EXPECT_TRUE(loadOrMakeKeyFile(own, KeyBytes, &why)) << why;
    const std::string system = "/nonexistent-seafold-test/lib/server.key";
    EXPECT_FALSE(loadOrMakeKeyFile(system, KeyBytes, &why));
    EXPECT_NE(why.find("the folder /nonexistent-seafold-test/lib does not exist"), std::string::npos) << why;
    EXPECT_NE(why.find("systemctl"), std::string::npos) << why;
    if (oldHome)
        setenv("HOME", savedHome.c_str(), 1);
    else
        unsetenv("HOME");
}

} // namespace
} // namespace seafold
