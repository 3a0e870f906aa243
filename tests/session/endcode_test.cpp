// One reading of the reasons a server gives: the text on the wire becomes a
// code once, and what a server sends for a code reads back as that code.
#include "session/endcode.h"
#include "net/netinterface.h"

#include <gtest/gtest.h>

namespace seafold {
namespace {

TEST(EndCodes, EveryTextAServerSendsReadsAsItsCode)
{
    struct Case {
        std::string text;
        EndCode code;
        bool permanent;
    };
    const Case cases[] = {
        {"Timeout", EndCode::Timeout, false},
        {"Shutdown", EndCode::Shutdown, false},
        {"CHR_INVALID", EndCode::WrongVersion, true},
        {"Incompatible program version", EndCode::WrongVersion, true},
        {"Puzzle", EndCode::Puzzle, false},
        {"The server's key fingerprint is aa, not bb as given with --server-key", EndCode::KeyMismatch, true},
        {NetInterface::KeyExchangeRequiredReason, EndCode::KeyExchangeRequired, true},
        {NetInterface::NoKeyExchangeOfferedReason, EndCode::NoKeyExchangeOffered, true},
        {endText(EndCode::WrongPassword), EndCode::WrongPassword, true},
        {endText(EndCode::PasswordRequired), EndCode::PasswordRequired, true},
        {endText(EndCode::Banned, "from this server until 2030-01-01 10:00 UTC"), EndCode::Banned, true},
        {endText(EndCode::Kicked, "by the operator"), EndCode::Kicked, true},
        {endText(EndCode::NameRequired), EndCode::NameRequired, true},
        {"NewConnection", EndCode::Replaced, false},
        {NetInterface::JoinTimeoutReason, EndCode::JoinTimedOut, false},
        {NetInterface::ServerForgotReason, EndCode::ServerForgot, false},
        {NetInterface::ServerFullReason, EndCode::Other, false},
        // Words a user could put in a kick reason do not make another code.
        {"timeout", EndCode::Other, false},
        {"Not Banned", EndCode::Other, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(classifyEnd(c.text), c.code) << c.text;
        EXPECT_EQ(isPermanent(classifyEnd(c.text)), c.permanent) << c.text;
    }
}

// The texts the base protocol's peers know stay as they were.
TEST(EndCodes, TheWireTextsAreUnchanged)
{
    EXPECT_EQ(endText(EndCode::WrongPassword), "Wrong password");
    EXPECT_EQ(endText(EndCode::PasswordRequired), "A password is required");
    EXPECT_EQ(endText(EndCode::NameRequired), "A name is required");
    EXPECT_EQ(endText(EndCode::Banned, "from this server"), "Banned from this server");
    EXPECT_EQ(endText(EndCode::Kicked, "too loud"), "Kicked: too loud");
}

} // namespace
} // namespace seafold
