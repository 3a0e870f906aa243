// The rules for names and for text shown on one line, without a connection.
#include "session/names.h"
#include "session/roster.h"

#include <gtest/gtest.h>

namespace seafold {
namespace {

struct NameCase {
    const char* fault; // what taking the name as asked would let through
    const char* asked;
    const char* taken;  // the name as taken, or null when refused
    const char* reason; // a piece of the refusal, when refused
};

const NameCase NameCases[] = {
    {"a name of blanks shown as a blank user", "   ", nullptr, "A name is required"},
    {"blanks around a name kept", "  alice  ", "alice", nullptr},
    {"a no-break space after a name kept", "bob\u00a0", "bob", nullptr},
    {"a run of odd spaces inside a name kept", "ann \u3000\u2003 lee", "ann lee", nullptr},
    {"a zero-width space taken", "bob\u200b", nullptr, "U+200B"},
    {"a right-to-left override reaching the operator's terminal", "\u202eecila", nullptr, "U+202E"},
    {"a newline in a name", "al\nice", nullptr, "U+000A"},
    {"a C1 control in a name", "al\u0085ice", nullptr, "U+0085"},
    {"bytes that are no text", "al\xffice", nullptr, "UTF-8"},
    {"a user named as the server", "Server", nullptr, "server's own words"},
    {"a user named as the operator, in brackets", "[ Operator ]", nullptr, "bracket"},
    {"a name whose chat reads as the server's words", "[server] restarting", nullptr, "bracket"},
    {"the same in full-width brackets", "\uff3bserver\uff3d now", nullptr, "bracket"},
    {"the same in tortoise-shell brackets", "\u3014server\u3015 now", nullptr, "bracket"},
    {"a leading accent that sits on what is before it", "\u0301bob", nullptr, "mark"},
    {"brackets after the first letter refused", "bob [away]", "bob [away]", nullptr},
    {"the host with a zero for the o", "h0st", nullptr, "server's own words"},
    {"the operator in Cyrillic letters", "\u041ep\u0435r\u0430tor", nullptr, "server's own words"},
    {"the host with a Greek capital eta", "\u0397ost", nullptr, "server's own words"},
    {"the server in full-width letters", "\uff53\uff45\uff52\uff56\uff45\uff52", nullptr, "server's own words"},
    {"a name that only contains a reserved one refused", "ghost", "ghost", nullptr},
    {"a name in another script refused", "\u0410\u043d\u043d\u0430", "\u0410\u043d\u043d\u0430", nullptr},
};

TEST(UserNames, EachNameIsTakenOrRefusedWithItsReason)
{
    for (const NameCase& c : NameCases) {
        SCOPED_TRACE(c.fault);
        NameVerdict verdict = checkUserName(c.asked);
        if (c.taken) {
            EXPECT_TRUE(verdict.taken()) << verdict.refusal;
            EXPECT_EQ(verdict.name, c.taken);
        } else {
            EXPECT_FALSE(verdict.taken());
            EXPECT_NE(verdict.refusal.find(c.reason), std::string::npos) << verdict.refusal;
        }
    }
}

struct LookCase {
    const char* fault;
    const char* a;
    const char* b;
    bool same;
};

const LookCase LookCases[] = {
    {"a Cyrillic a beside the real alice", "alice", "\u0430lice", true},
    {"a full-width b beside the real bob", "bob", "\uff42ob", true},
    {"a case change beside the real name", "bob", "BOB", true},
    {"a capital I for an l", "alice", "AIice", true},
    {"an accent on a letter", "Jose", "Jos\u00e9", true},
    {"a combining accent against a composed one", "Jos\u00e9", "Jose\u0301", true},
    {"mathematical bold letters", "alice", "\U0001d41a\U0001d425\U0001d422\U0001d41c\U0001d41e", true},
    {"a Greek capital nu for an N", "Nick", "\u039dick", true},
    {"a Greek small omicron for an o", "tom", "t\u03bfm", true},
    {"a ligature for fi", "fin", "\ufb01n", true},
    {"a zero for an o", "bob", "b0b", true},
    {"two different names taken as one", "bob", "rob", false},
    {"a longer name taken as the short one", "ann", "anne", false},
    {"a suffix ignored", "alice", "alice (2)", false},
};

TEST(UserNames, LookAlikesCountAsOneNameAndOthersDoNot)
{
    for (const LookCase& c : LookCases) {
        SCOPED_TRACE(c.fault);
        EXPECT_EQ(namesLookAlike(c.a, c.b), c.same);
        EXPECT_EQ(namesLookAlike(c.b, c.a), c.same);
    }
}

TEST(UserNames, ALookAlikeOfAUserInTheRosterGetsANumber)
{
    Roster roster;
    roster.append("alice", nullptr);
    EXPECT_EQ(roster.uniqueName("\u0430lice"), "\u0430lice (2)");
    roster.append("\u0430lice (2)", nullptr);
    // The real alice (2) now looks like the Cyrillic one.
    EXPECT_EQ(roster.uniqueName("ALICE"), "ALICE (3)");
}

struct ChatCase {
    const char* fault;
    const char* text;
    bool relayed;
};

const ChatCase ChatCases[] = {
    {"a newline starting a line that seems to come from another user", "hi\nalice: my password is", false},
    {"a carriage return overwriting the line", "hi\rserver: restart", false},
    {"a tab", "a\tb", false},
    {"a right-to-left override", "abc\u202e", false},
    {"an escape sequence for the terminal", "\x1b[2J", false},
    {"bytes that are no text", "caf\xe9", false},
    {"plain words refused", "hello there", true},
    {"accents and other scripts refused", "h\u00e9llo \u043f\u0440\u0438\u0432\u0435\u0442", true},
};

TEST(ChatLines, ControlAndHiddenCharactersAreRefused)
{
    for (const ChatCase& c : ChatCases) {
        SCOPED_TRACE(c.fault);
        EXPECT_EQ(chatLineRefusal(c.text).empty(), c.relayed);
    }
}

struct ShownCase {
    const char* fault;
    const char* bytes;
    const char* shown;
};

const ShownCase ShownCases[] = {
    {"a newline splitting a line in two", "a\nb", "a\\x0Ab"},
    {"an override turning the rest of the line", "x\u202ey", "x\\u{202E}y"},
    {"a zero-width space hiding", "b\u200bob", "b\\u{200B}ob"},
    {"a byte that is no text", "a\xff", "a\\xFF"},
    {"accented text escaped", "h\u00e9", "h\u00e9"},
};

TEST(ChatLines, OneLineTextShowsEveryHiddenCharacterEscaped)
{
    for (const ShownCase& c : ShownCases) {
        SCOPED_TRACE(c.fault);
        EXPECT_EQ(oneLineText(c.bytes), c.shown);
    }
}

} // namespace
} // namespace seafold
