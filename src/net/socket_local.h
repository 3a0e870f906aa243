// Internals of the socket module: the count of socket-library users and what
// the network simulator keeps between calls. Not part of the module's
// interface; callers use socket.h.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "net/socket.h"

namespace seafold {

// Users of the platform socket library. This platform needs no library
// start, so these only keep the count (every Socket starts it on creation
// and stops it on destruction).
void startNetworking();
void stopNetworking();
uint32_t networkingStartCount();

struct NetworkSimulator::State {
    // One datagram waiting for its delay to run out.
    struct Held {
        uint32_t due;
        uint64_t order; // ties leave in arrival order
        Socket* socket;
        NetAddress destination;
        std::vector<uint8_t> bytes;
    };

    State(uint32_t seed, const Settings& initialSettings);
    // splitmix64: a sequence of its own, so simulation never disturbs Random.
    uint32_t nextRandom();
    void hold(Socket& socket, const NetAddress& destination, const uint8_t* data, uint32_t length);

    Settings settings;
    uint64_t generator;
    uint32_t now = 0;
    uint64_t arrivals = 0;
    std::deque<Held> held;
};

} // namespace seafold
