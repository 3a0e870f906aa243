// The operator console's words: whole names, quoted names, and ban's
// MINUTES and --address.
#include "app/operator.h"

#include <gtest/gtest.h>

namespace seafold {
namespace {

struct NameCase {
    const char* fault;
    const char* text;
    const char* name;
    const char* rest;
};

const NameCase NameCases[] = {
    {"a name with a space read as one word", "alice (2)", "alice (2)", ""},
    {"blanks around a name kept", "  bob  ", "bob", ""},
    {"a quoted name cut at its space", "\"alice (2)\" too loud", "alice (2)", "too loud"},
    {"an unclosed quote losing the name", "\"alice", "alice", ""},
    {"a user called \"alice\", quotes and all, typed as listed, taken for alice", "\"alice\"", "\"alice\"", ""},
    {"quotes inside a quoted name not written with \\\"", "\"\\\"alice\\\"\" spam", "\"alice\"", "spam"},
};

// Here a user is called "alice", quotes and all, beside alice.
bool isUserName(const std::string& name)
{
    return name == "alice" || name == "\"alice\"" || name == "room 101";
}

TEST(OperatorWords, ANameIsTheRestOfTheLineOrInQuotes)
{
    for (const NameCase& c : NameCases) {
        SCOPED_TRACE(c.fault);
        NamedTarget target = splitName(c.text, isUserName);
        EXPECT_EQ(target.name, c.name);
        EXPECT_EQ(target.rest, c.rest);
    }
}

struct BanCase {
    const char* fault;
    const char* text;
    const char* target;
    const char* minutes;
    bool address;
};

const BanCase BanCases[] = {
    {"a trailing number not taken for minutes", "bob 5", "bob", "5", false},
    {"a name that ends in a number cut", "room 101", "room 101", "", false},
    {"--address not seen", "bob --address", "bob", "", true},
    {"minutes and --address not both seen", "alice (2) 30 --address", "alice (2)", "30", true},
    {"a quoted name's minutes lost", "\"room 101\" 5", "room 101", "5", false},
    {"an address with minutes misread", "127.0.0.1 5", "127.0.0.1", "5", false},
    {"alice banned for the user called \"alice\"", "\"alice\" 5", "\"alice\"", "5", false},
};

TEST(OperatorWords, BanReadsTheTargetMinutesAndAddress)
{
    for (const BanCase& c : BanCases) {
        SCOPED_TRACE(c.fault);
        BanWords words = splitBanWords(c.text, isUserName);
        EXPECT_EQ(words.target, c.target);
        EXPECT_EQ(words.minutes, c.minutes);
        EXPECT_EQ(words.address, c.address);
    }
}

TEST(OperatorWords, BansSayWhatEachCovers)
{
    OperatorConsole::Ban everyone{0x7F000001, 0, ""};
    OperatorConsole::Ban one{0x7F000001, 0, "bob"};
    EXPECT_EQ(banCoverage(everyone), "127.0.0.1: everyone from this address, for good");
    EXPECT_EQ(banCoverage(one), "127.0.0.1: the user \"bob\" from this address, for good");
}

TEST(OperatorWords, ANameQuotedForACommandReadsBackTheSame)
{
    for (const std::string name : {"alice (2)", "\"alice\"", "back\\slash \"q\""}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(splitName(commandQuoted(name) + " 5").name, name);
    }
}

} // namespace
} // namespace seafold
