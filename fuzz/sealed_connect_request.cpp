// Connect requests into a server that seals: the harness proves what fuzzed
// bytes cannot (a token for the sender's address, a solved puzzle, a seal
// with the server's key) when the input asks it to, so the fuzzed bytes reach
// every step behind those checks. Nothing may crash; a connection may only
// come of a request with a valid token and puzzle; a server that requires
// sealing never accepts an unsealed one; a source's refusals stay within its
// allowance.
//
// Input: [flags] (1 byte), [nonce] (8 bytes), then the bytes.
//   flags & 1: the right identity token (else the first 4 bytes are the token)
//   flags & 2: a solved puzzle (else the next 4 bytes are the solution)
//   flags & 4: sealed with a client key and the server's (else the bytes
//              follow the solution as they are)
//   flags & 8: a well-formed body (sequence, class, class group) before the bytes
//   flags & 16: the server requires sealing
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzzconnection.h"
#include "fuzzworld.h"
#include "net/eventconnection.h"
#include "net/netinterface.h"

using namespace seafold;

namespace {

uint32_t gNow = 1000;
// Easy enough to solve for every input; the checks are the same at any.
constexpr uint32_t FuzzDifficulty = 2;

struct World {
    RefPtr<NetInterface> server;
    RefPtr<AsymmetricKey> serverKey, clientKey;
    RefPtr<ByteBuffer> sharedSecret;
    uint32_t sent = 0;

    World()
    {
        server = new NetInterface(NetAddress(IPProtocol, LocalhostAddress, 0));
        server->setTimeSource([] { return gNow; });
        serverKey = new AsymmetricKey(32);
        clientKey = new AsymmetricKey(32);
        server->setPrivateKey(serverKey);
        RefPtr<AsymmetricKey> serverPublic =
            new AsymmetricKey(serverKey->publicKey()->data(), serverKey->publicKey()->size());
        sharedSecret = clientKey->computeSharedSecret(serverPublic);
    }
};

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    World* world = &fuzzWorld<World>();
    if (size < 9 || size > 1400)
        return 0;
    const uint8_t flags = data[0];
    Nonce clientNonce;
    std::memcpy(clientNonce.data, data + 1, Nonce::SizeBytes);
    const uint8_t* rest = data + 9;
    size_t restSize = size - 9;
    auto take32 = [&](uint32_t fallback) {
        if (restSize < 4)
            return fallback;
        uint32_t value = uint32_t(rest[0]) | uint32_t(rest[1]) << 8 | uint32_t(rest[2]) << 16 | uint32_t(rest[3]) << 24;
        rest += 4;
        restSize -= 4;
        return value;
    };

    NetInterface& server = *world->server;
    server.setRequiresKeyExchange(flags & 16);
    server.puzzleManager().setDifficulty(FuzzDifficulty);
    // A new source port for each input: each has its own allowance.
    NetAddress from(IPProtocol, LocalhostAddress, uint16_t(1024 + world->sent++ % 60000));

    const Nonce serverNonce = server.puzzleManager().currentNonce();
    const uint32_t rightToken = server.identityToken(from, clientNonce);
    const uint32_t token = (flags & 1) ? rightToken : take32(0);
    uint32_t solution = (flags & 2) ? 0 : take32(0);
    if (flags & 2)
        check(solvePuzzle(&solution, clientNonce, serverNonce, FuzzDifficulty, token));

    PacketStream out;
    out.writeU8(NetInterface::ConnectRequest);
    clientNonce.write(out);
    serverNonce.write(out);
    out.writeU32(token);
    out.writeU32(FuzzDifficulty);
    out.writeU32(solution);
    const bool sealed = flags & 4;
    uint32_t encryptFrom = 0;
    if (sealed) {
        out.writeFlag(true);
        out.writeBuffer(world->clientKey->publicKey());
        encryptFrom = out.bytePosition();
        out.setBytePosition(encryptFrom);
    }
    if (flags & 8) {
        const uint8_t symmetricKey[SymmetricCipher::KeyBytes] = {7};
        if (sealed)
            out.writeBytes(sizeof symmetricKey, symmetricKey);
        else
            out.writeFlag(false);
        out.writeFlag(false); // debug checks
        out.writeU32(0x1234);
        out.writeText("FuzzConnection");
        out.writeU32(NetClassGroupDefault);
        out.writeU32(NetClassRep::classGroupChecksum(NetClassGroupDefault));
    }
    out.writeBytes(uint32_t(restSize), rest);
    if (sealed) {
        RefPtr<SymmetricCipher> cipher = new SymmetricCipher(world->sharedSecret);
        appendDigestAndEncrypt(out, SealDigestBytes, encryptFrom, cipher);
    }
    if (out.hasError())
        return 0;

    BitStream stream(out.data(), out.bytePosition());
    const size_t before = server.connections().size();
    server.dispatchPacket(from, stream);
    if (server.connections().size() > before) {
        NetConnection* made = server.connections().back();
        check(made->address() == from);
        check(token == rightToken);
        check(!(flags & 16) || made->symmetricCipher());
        server.disconnect(made, ReasonSelfDisconnect, "Fuzzing");
    }
    server.serviceConnections();
    // Past the limit of key agreements, a twentieth of a second at least.
    gNow += 60;
    return 0;
}
