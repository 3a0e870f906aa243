// What the console shows: text from the network made safe for a terminal,
// one line per user joining, picking and leaving (and none per movement), and
// the audio library's output kept off standard error.
#include "app/console.h"
#include "base/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace seafold {
namespace {

TEST(TerminalText, ControlBytesAndBrokenUtf8CannotReachTheTerminal)
{
    // An escape sequence in a user name would clear the screen or retitle
    // the terminal of everyone who prints it.
    EXPECT_EQ(terminalText("\x1b]0;owned\x07"
                           "eve"),
              "\\x1B]0;owned\\x07eve");
    EXPECT_EQ(terminalText("a\nb\rc\x7f"), "a\\x0Ab\\x0Dc\\x7F");
    EXPECT_EQ(terminalText("Zo\xc3\xab"), "Zo\xc3\xab"); // valid UTF-8 stays
    EXPECT_EQ(terminalText("\xff\xc3"), "\\xFF\\xC3");
    EXPECT_EQ(terminalText(""), "");
}

TEST(RosterLines, JoinPickAndLeaveGiveOneLineEachMovesNone)
{
    Roster roster;
    std::vector<std::string> lines;
    roster.setOnChange([&lines](Roster::Change change, const ClientRecord& record) {
        lines.push_back(rosterMessage(change, record, false));
    });
    roster.append("alice", nullptr);
    roster.setClientEntity("boat.mesh", 1, 0, 0, "alice");
    roster.moveClient(1, 2, 3, "alice");
    roster.setClientEntity("fish.mesh", 0, 0, 0, "alice");
    roster.append("bob\x1b[2J", nullptr);
    roster.removeClient("alice");
    roster.setOnChange(nullptr);
    roster.clear(); // our own end: nobody is told
    std::vector<std::string> expected = {"alice is in the session", "alice picked boat.mesh", "alice picked fish.mesh",
                                         "bob\\x1B[2J is in the session", "alice left"};
    EXPECT_EQ(lines, expected);
}

std::vector<std::string> gLogged;

void keepLogLine(const char* text)
{
    gLogged.push_back(text);
}

ino_t standardErrorFile()
{
    struct stat info {};
    fstat(STDERR_FILENO, &info);
    return info.st_ino;
}

TEST(AudioOutputCapture, LibrariesGoToTheLogChannelOurOwnLinesStayOnStandardError)
{
    LogChannel* channel = findOrCreateLogChannel("LogSound");
    bool wasEnabled = channel->enabled;
    channel->enabled = true;
    gLogged.clear();
    // What reaches the real standard error is kept in a file of ours.
    std::fflush(stderr);
    std::FILE* terminal = std::tmpfile();
    ASSERT_NE(terminal, nullptr);
    int realError = dup(STDERR_FILENO);
    dup2(fileno(terminal), STDERR_FILENO);
    ino_t before = standardErrorFile();
    {
        AudioOutputCapture capture;
        EXPECT_NE(standardErrorFile(), before);
        // As a C library writes: straight to the descriptor, and buffered.
        const char raw[] = "ALSA lib conf.c:1:(x) cannot find card '0'\n";
        ASSERT_EQ(write(STDERR_FILENO, raw, sizeof raw - 1), ssize_t(sizeof raw - 1));
        std::fprintf(stderr, "AL lib: (EE) no device\n");
        writeLog("Failed to intitialize OpenAL.");
        writeLog("Failure (1) loading sound file '%s'", "boop.wav");
        setDebugOutput(keepLogLine); // the channel's lines are kept here
    }
    setDebugOutput(nullptr);
    channel->enabled = wasEnabled;
    EXPECT_EQ(standardErrorFile(), before);
    std::fflush(stderr);
    dup2(realError, STDERR_FILENO);
    close(realError);

    std::vector<std::string> lines;
    for (const std::string& text : gLogged)
        if (text != "\n")
            lines.push_back(text);
    std::vector<std::string> expected = {"LogSound: ALSA lib conf.c:1:(x) cannot find card '0'",
                                         "LogSound: AL lib: (EE) no device", "LogSound: Failed to intitialize OpenAL."};
    EXPECT_EQ(lines, expected);
    std::rewind(terminal);
    char shown[256] = {};
    size_t length = std::fread(shown, 1, sizeof shown - 1, terminal);
    std::fclose(terminal);
    EXPECT_EQ(std::string(shown, length), "Failure (1) loading sound file 'boop.wav'\n");
}

} // namespace
} // namespace seafold
