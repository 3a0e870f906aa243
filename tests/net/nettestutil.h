// Shared pieces of the connection tests: a settable clock, a connection
// class that carries numbered payloads, and a pump that runs interfaces.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "net/netinterface.h"

namespace seafold::test {

struct TestClock {
    uint32_t now = 100000;
    std::function<uint32_t()> source()
    {
        return [this] { return now; };
    }
};

// Carries U32 payloads, one per data packet, and records every hook call.
class ProbeConnection : public NetConnection {
    SF_DECLARE_CLASS(ProbeConnection)
public:
    std::deque<uint32_t> outgoing;
    std::vector<uint32_t> received;
    std::vector<uint32_t> delivered, dropped;
    std::vector<std::pair<uint32_t, std::string>> failures, disconnects;
    int establishedCount = 0;
    bool joined = true;                // what hasJoined says
    uint32_t queued = 0;               // what queuedBytes says
    static inline int constructed = 0; // every connection object ever made

    ProbeConnection() { ++constructed; }

    struct Notify : PacketNotify {
        bool carries = false;
        uint32_t value = 0;
    };

    void onConnectFailed(uint32_t reason, const char* message) override { failures.emplace_back(reason, message); }
    void onDisconnected(uint32_t reason, const char* message) override { disconnects.emplace_back(reason, message); }
    void onEstablished() override
    {
        NetConnection::onEstablished();
        ++establishedCount;
    }
    bool isDataToTransmit() const override { return !outgoing.empty(); }
    bool hasJoined() const override { return joined; }
    uint32_t queuedBytes() const override { return queued; }
    PacketNotify* allocNotify() override { return new Notify; }
    void writePacket(BitStream& stream, PacketNotify* notify) override
    {
        auto* n = static_cast<Notify*>(notify);
        if (outgoing.empty())
            return;
        n->carries = true;
        n->value = outgoing.front();
        outgoing.pop_front();
        stream.writeU32(n->value);
    }
    void readPacket(BitStream& stream) override { received.push_back(stream.readU32()); }
    void packetDelivered(PacketNotify* notify) override
    {
        auto* n = static_cast<Notify*>(notify);
        if (n->carries)
            delivered.push_back(n->value);
    }
    void packetDropped(PacketNotify* notify) override
    {
        auto* n = static_cast<Notify*>(notify);
        if (n->carries) {
            dropped.push_back(n->value);
            outgoing.push_front(n->value);
        }
    }
};

inline NetAddress loopbackAny()
{
    return NetAddress(IPProtocol, LocalhostAddress, 0); // any free port
}

// Runs receive and service steps of every interface, advancing the clock by
// `stepMs` per round; stops early when `done` says so. Bounded by `rounds`.
inline bool pump(std::vector<NetInterface*> interfaces, TestClock& clock, uint32_t rounds, uint32_t stepMs,
                 const std::function<bool()>& done = nullptr)
{
    for (uint32_t i = 0; i < rounds; ++i) {
        for (NetInterface* n : interfaces)
            n->receivePackets();
        for (NetInterface* n : interfaces)
            n->serviceConnections();
        if (done && done())
            return true;
        clock.now += stepMs;
    }
    return done ? done() : true;
}

} // namespace seafold::test
