// Peers for handshake tests: a connected pair of interfaces, a bare socket
// that sends what a test writes and collects every reply, and a client that
// plays the handshake by hand (challenge, puzzle, request) so that a test can
// change any field on the way.
#pragma once

#include "nettestutil.h"

#include <cstdint>
#include <functional>
#include <vector>

#include "net/crypto.h"
#include "net/socket.h"

namespace seafold::test {

// A server and a client interface on loopback, run by one settable clock;
// the client connects a ProbeConnection to the server.
struct ProbePair {
    TestClock clock;
    RefPtr<NetInterface> server, client;
    RefPtr<ProbeConnection> clientConnection;

    ProbePair()
    {
        server = new NetInterface(loopbackAny());
        client = new NetInterface(loopbackAny());
        server->setTimeSource(clock.source());
        client->setTimeSource(clock.source());
    }
    void connect(bool keyExchange = false)
    {
        clientConnection = new ProbeConnection;
        clientConnection->connect(client, server->boundAddress(), keyExchange);
    }
    ProbeConnection* serverSide() const
    {
        return server->connections().empty() ? nullptr : static_cast<ProbeConnection*>(server->connections()[0].get());
    }
    bool run(uint32_t rounds, uint32_t stepMs, const std::function<bool()>& done = nullptr)
    {
        return pump({server, client}, clock, rounds, stepMs, done);
    }
    bool connected()
    {
        return run(200, 10, [&] { return clientConnection->state() == Connected && serverSide(); });
    }
};

// A socket standing in for a hand-driven peer.
struct RawPeer {
    Socket socket{loopbackAny(), Socket::DefaultBufferBytes, 1 << 20}; // room for every reply
    NetAddress address() const { return socket.boundAddress(); }
    void send(const NetAddress& to, const std::vector<uint8_t>& bytes)
    {
        socket.sendto(to, bytes.data(), uint32_t(bytes.size()));
    }
    void send(const NetAddress& to, const BitStream& stream)
    {
        socket.sendto(to, stream.data(), stream.bytePosition());
    }
    // Every datagram waiting (after up to 200 ms for the first), as byte vectors.
    std::vector<std::vector<uint8_t>> drain()
    {
        std::vector<std::vector<uint8_t>> out;
        uint8_t buffer[1500];
        uint32_t length;
        NetAddress from;
        socket.waitReadable(200);
        for (int i = 0; i < 1000 && socket.recvfrom(&from, buffer, sizeof(buffer), &length) == Success; ++i)
            out.emplace_back(buffer, buffer + length);
        return out;
    }
};

// Plays a client by hand: asks for a challenge, solves it, writes requests.
struct HandClient {
    RawPeer peer;
    Nonce clientNonce, serverNonce;
    uint32_t token = 0, difficulty = 0, solution = 0;

    // Asks `server` for a challenge (no key exchange) and solves its puzzle.
    bool challenge(NetInterface& server)
    {
        clientNonce.getRandom();
        PacketStream out;
        out.writeU8(NetInterface::ConnectChallengeRequest);
        clientNonce.write(out);
        out.writeFlag(false);
        out.writeFlag(false);
        peer.send(server.boundAddress(), out);
        server.waitForPackets(200);
        server.receivePackets();
        auto replies = peer.drain();
        if (replies.size() != 1 || replies[0][0] != NetInterface::ChallengeResponse)
            return false;
        BitStream in(replies[0].data(), uint32_t(replies[0].size()));
        Nonce echoed;
        in.readU8();
        echoed.read(in);
        token = in.readU32();
        serverNonce.read(in);
        difficulty = in.readU32();
        bool keyFlag = in.readFlag();
        if (in.hasError() || keyFlag || echoed != clientNonce)
            return false;
        solve();
        return true;
    }
    void solve()
    {
        solution = 0;
        for (int i = 0; i < 1000 && !solvePuzzle(&solution, clientNonce, serverNonce, difficulty, token); ++i) {
        }
    }
    // A connect request as the client would write it.
    void writeRequest(PacketStream& out, uint32_t tokenToSend, const char* className = "ProbeConnection")
    {
        out.writeU8(NetInterface::ConnectRequest);
        clientNonce.write(out);
        serverNonce.write(out);
        out.writeU32(tokenToSend);
        out.writeU32(difficulty);
        out.writeU32(solution);
        out.writeFlag(false); // no crypto
        out.writeFlag(true);  // debug checks
        out.writeU32(0x12345678);
        out.writeText(className);
        out.writeU32(NetClassGroupCount);
        out.writeU32(NetClassRep::classGroupChecksum(NetClassGroupCount));
    }
    // Sends a connect request and returns the types of the replies.
    std::vector<uint8_t> request(NetInterface& server)
    {
        PacketStream out;
        writeRequest(out, token);
        peer.send(server.boundAddress(), out);
        server.waitForPackets(200);
        server.receivePackets();
        std::vector<uint8_t> types;
        for (auto& reply : peer.drain())
            types.push_back(reply[0]);
        return types;
    }
};

} // namespace seafold::test
