#include "app/serverside.h"
#include "app/console.h"
#include "app/keyfile.h"
#include "app/lan.h"
#include "app/network.h"

namespace seafold {

namespace {

// The size of the server's key pair in bytes: the 256-bit curve, the
// strength of the 128-bit cipher that the exchange keys.
constexpr uint32_t ServerKeyBytes = 32;

} // namespace

// The server's key pair: the one kept in --key-file, else in the user's
// state folder (made there the first time, the folder too), so that clients
// that joined before know the server again; a fresh one for this run with
// --new-key-each-start, or without a home folder. Clients that pin it learn
// its fingerprint from the start-up line.
bool ServerSide::makeKey(std::string* why)
{
    RefPtr<AsymmetricKey> key;
    std::string path = mOptions.newKeyEachStart ? std::string() : mOptions.keyFile;
    if (path.empty() && !mOptions.newKeyEachStart) {
        path = defaultServerKeyFile();
        if (!path.empty() && !makeOwnFolder(path.substr(0, path.rfind('/')), why)) {
            *why += ". Give the key's place with --key-file FILE, or use --new-key-each-start.";
            return false;
        }
    }
    if (path.empty()) {
        key = new AsymmetricKey(ServerKeyBytes);
        SF_ASSERT(key->isValid(), "The server's key pair could not be made.");
    } else {
        key = loadOrMakeKeyFile(path, ServerKeyBytes, why);
        if (!key) {
            *why += ".";
            return false;
        }
    }
    gNetInterface->setPrivateKey(key);
    mKeyFingerprint = seafold::keyFingerprint(key);
    return true;
}

bool ServerSide::start(LanPresence& lan, bool takePart, std::string* why)
{
    gNetInterface->setAllowConnections(true);
    std::string listening = listeningMessage(gNetInterface->boundAddress());
    if (!mOptions.insecure) {
        if (!makeKey(why))
            return false;
        listening += std::string(mOptions.secure ? " (secure; " : " (") + "key fingerprint " + mKeyFingerprint + ")";
    }
    consoleLine(listening);
    // Offered as bound: with the port the socket has, not the one asked for.
    lan.startResponder(gNetInterface->boundAddress());
    // Bans hold with the console off too; only commands need it.
    mOperator = std::make_unique<OperatorConsole>(mOptions.banFile);
    mOperator->start();
    if (takePart)
        joinAsHost();
    return true;
}

void ServerSide::poll()
{
    if (mOperator && mOptions.console)
        mOperator->poll();
}

void ServerSide::joinAsHost()
{
    const std::string asked = mOptions.hostUserName.empty() ? hostName() : mOptions.hostUserName;
    if (asked.size() > MaxNameBytes)
        consoleLine("Your name is longer than " + std::to_string(MaxNameBytes) +
                    " bytes; it is cut to: " + terminalText(fitUtf8(asked, MaxNameBytes)));
    mHostUser = std::make_unique<HostUser>(appSession());
    appSession().setOwnName(mHostUser->join(fitUtf8(asked, MaxNameBytes)));
    consoleLine("You take part in the session as " + terminalText(appSession().ownName()) + ".");
}

} // namespace seafold
