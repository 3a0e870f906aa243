#include "app/refusal.h"
#include "app/console.h"

namespace seafold {

std::string permanentRefusalMessage(const std::string& server, const std::string& reason)
{
    const std::string told = terminalText(reason);
    const std::string refusedUs = "The server at " + server + " refused this client: ";
    switch (classifyEnd(reason)) {
    case EndCode::KeyChanged:
        return told; // the reason says it all
    case EndCode::KeyMismatch:
        return "This client refused the server at " + server + ": " + told +
               ". Check --server-key against the fingerprint the server prints when it starts.";
    case EndCode::KeyExchangeRequired:
        return refusedUs + "it requires --secure. Start this client with --secure.";
    case EndCode::NoKeyExchangeOffered:
        return "This client refused the server at " + server +
               ": the server does not use --secure, and this client was started with --secure. Start both with "
               "--secure, or this client without it.";
    case EndCode::WrongVersion:
        return refusedUs + "it runs a different version of Seafold. Use the same version on every machine.";
    case EndCode::WrongPassword:
        return refusedUs + "wrong password. Check the password in --password-file or SEAFOLD_PASSWORD.";
    case EndCode::PasswordRequired:
        return refusedUs + "it needs a join password. Give it with --password-file or SEAFOLD_PASSWORD.";
    case EndCode::Banned:
        return "The server at " + server + " has banned this client (" + told +
               "). Ask the person who runs it to lift the ban.";
    case EndCode::Kicked:
        return "The person who runs the server at " + server + " removed this client (" + told + ").";
    case EndCode::NameRequired:
        return refusedUs + "a name is required. Start it with a user name.";
    case EndCode::NameRefused:
        return "The server at " + server + " refused this client's name (" + told + "). Start it with another name.";
    default:
        return std::string();
    }
}

std::string changedServerKeyMessage(const std::string& server, const std::string& remembered, const std::string& shown,
                                    const std::string& path)
{
    if (shown.empty())
        return "The server at " + server + " offers no key, where it had the key " + remembered +
               " when you joined it before: this may be another machine posing as it, to be joined unsealed. If it "
               "was started without a key on purpose (ask the person who runs it), start again with " +
               KeyChangedMark + " to join it unsealed this once, or remove its line from " + path + ".";
    return "The server at " + server + " shows the key " + shown + ", not the key " + remembered +
           " it had when you joined it before: this may be another machine posing as it. If its key was changed "
           "on purpose (ask the person who runs it), start again with " +
           KeyChangedMark + ", or remove its line from " + path + ".";
}

std::string connectFailedMessage(const std::string& server, const std::string& reason)
{
    switch (classifyEnd(reason)) {
    case EndCode::Timeout:
        return "No answer from the server at " + server +
               ". Check that the server is running, that the address is right (the server's address and port), "
               "and that no firewall blocks UDP on that port.";
    case EndCode::NothingListens:
        return "Nothing answers at " + server +
               ": its host says no program listens on that port. Check the port, and that the server is running.";
    case EndCode::WrongVersion:
        return "The server at " + server + " refused the connection (" + terminalText(reason) +
               "): it runs a different version of Seafold. Use the same version on every machine.";
    case EndCode::Puzzle:
        return "The server at " + server +
               " refused the connection (Puzzle): the connection puzzle was not solved in time. The next attempt "
               "gets a new one.";
    default:
        return "The server at " + server + " refused the connection: " + terminalText(reason) + ".";
    }
}

std::string connectionLostMessage(const std::string& server, const std::string& reason)
{
    switch (classifyEnd(reason)) {
    case EndCode::Timeout:
        return "Lost the connection to the server at " + server +
               ": it stopped answering. Check that it still runs and that the network between you is up.";
    case EndCode::Shutdown:
        return "Lost the connection to the server at " + server + ": the server shut down.";
    case EndCode::ServerForgot:
        // What the answer proves: the same key, and no such connection there.
        return "Lost the connection to the server at " + server +
               ": the server no longer knows this connection (it was restarted, or ended the connection without "
               "word reaching this client).";
    default:
        return "Lost the connection to the server at " + server + ": " + terminalText(reason) + ".";
    }
}

std::string endMessage(const std::string& server, const std::string& reason, bool lost)
{
    std::string refused = permanentRefusalMessage(server, reason);
    if (!refused.empty())
        return refused;
    return lost ? connectionLostMessage(server, reason) : connectFailedMessage(server, reason);
}

} // namespace seafold
