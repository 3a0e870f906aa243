// A fixture with a fresh folder of its own under /tmp for each test, removed
// with everything in it afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace seafold {

class TestFolder : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/seafold-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        mFolder = pattern;
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + mFolder + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    std::string mFolder;
};

} // namespace seafold
