// Shared pieces of the in-process session tests: peers with their own
// roster, display-less scene and interface on loopback, a settable clock, and
// a pump that runs them all.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "session/eventlog.h"
#include "session/headlessscene.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"
#include "sound/sound.h"

namespace seafold::test {

struct Clock {
    uint32_t now = 500000;
};

struct Peer {
    std::string name;
    HeadlessScene scene;
    Roster roster{&scene};
    SoundPool sound; // never opened: only its clock times the voices
    Session session;
    std::unique_ptr<NetworkSimulator> simulator; // outlives the interface
    RefPtr<SessionInterface> netInterface;
    std::vector<std::string> calls; // "rpc args"
    std::vector<std::string> states;
    std::vector<std::string> reasons; // with each state
    std::vector<std::string> texts;   // the server's words for the user
    std::vector<std::string> voices;
    std::vector<std::string> speakers; // whose voice arrived, as the session names them
    // This peer's connection to the server (several clients share the process).
    WeakRef<SimpleEventConnection> connectionToServer;

    Peer(const std::string& n, bool isServer, Clock& clock) : name(n), session(roster, isServer)
    {
        session.setSoundPool(&sound);
        NetAddress bind(IPProtocol, LocalhostAddress, 0); // any free port
        netInterface = new SessionInterface(bind, session);
        netInterface->setTimeSource([&clock] { return clock.now; });
        // Every peer of a test shares one host.
        netInterface->setMaxPerAddress(NetInterface::MaxConnectionsLimit);
        SessionListener listener;
        listener.onRpc = [this](const char* rpc, const Json& args) {
            calls.push_back(std::string(rpc) + " " + formatJson(args));
        };
        listener.onConnectionState = [this](const char* state, const char* reason) {
            // As the process's own pointer is: gone once the attempt failed or ended.
            if (std::string(state) == "failed" || std::string(state) == "disconnected")
                connectionToServer = nullptr;
            states.push_back(state);
            reasons.push_back(reason);
        };
        listener.onServerText = [this](const char* text) { texts.push_back(text); };
        listener.onVoice = [this](SimpleEventConnection*, ByteBuffer* data) {
            voices.push_back(std::string(reinterpret_cast<const char*>(data->data()), data->size()));
        };
        listener.onSpeaker = [this](const std::string& speaker) { speakers.push_back(speaker); };
        session.subscribe(std::move(listener));
    }
    ~Peer()
    {
        // The interface's end runs the session hooks, which report here.
        netInterface = nullptr;
        roster.clear();
        scene.setOnChange(nullptr);
    }
    SimpleEventConnection* toServer() const { return connectionToServer; }
    // Loses, duplicates and delays what this peer sends.
    void simulate(const NetworkSimulator::Settings& settings, uint32_t seed)
    {
        simulator = std::make_unique<NetworkSimulator>(seed, settings);
        netInterface->setNetworkSimulator(simulator.get());
    }
    // Joins `server`; a peer of `highestVersion` offers only the calls up to
    // it, as a program built before the later ones would.
    void join(Peer& server, int32_t highestVersion = WireVersionSeafold)
    {
        auto* connection = new SimpleEventConnection;
        if (highestVersion < WireVersionSeafold)
            connection->setHighestClassVersion(highestVersion);
        connectionToServer = connection;
        connection->connect(netInterface, server.netInterface->boundAddress());
        connection->c2sAddNewClient(StringPtr(name.c_str()));
    }
    std::vector<std::string> callsNamed(const std::string& rpc) const
    {
        std::vector<std::string> out;
        for (auto& c : calls)
            if (c.compare(0, rpc.size() + 1, rpc + " ") == 0)
                out.push_back(c.substr(rpc.size() + 1));
        return out;
    }
};

struct SessionTest : ::testing::Test {
    Clock clock;
    std::vector<std::unique_ptr<Peer>> peers;
    Peer& server() { return *peers[0]; }
    // A client joins and, unless the server refuses everyone, is in the
    // server's roster before the next one starts: join order is fixed.
    Peer& add(const std::string& name, bool isServer = false)
    {
        peers.push_back(std::make_unique<Peer>(name, isServer, clock));
        Peer& added = *peers.back();
        if (!isServer) {
            size_t before = server().roster.size();
            added.join(server());
            if (server().netInterface->doesAllowConnections())
                run(800, [&] { return server().roster.size() > before; });
        }
        return added;
    }
    // A client built to version 0 alone joins, without waiting.
    Peer& addVersionZero(const std::string& name)
    {
        peers.push_back(std::make_unique<Peer>(name, false, clock));
        peers.back()->join(server(), WireVersionBase);
        return *peers.back();
    }
    void SetUp() override { add("server", true); }
    // Every peer's voices timed by the test's clock (or the real one again).
    void followTestClock(bool on)
    {
        for (auto& p : peers)
            p->sound.setClock(on ? std::function<uint32_t()>([this] { return clock.now; }) : nullptr);
    }
    // Runs every interface; 20 ms per round, bounded.
    bool run(uint32_t rounds, const std::function<bool()>& done)
    {
        for (uint32_t i = 0; i < rounds; ++i) {
            for (auto& p : peers)
                if (p->netInterface)
                    p->netInterface->receivePackets();
            for (auto& p : peers)
                if (p->netInterface)
                    p->netInterface->serviceConnections();
            if (done())
                return true;
            clock.now += 20;
        }
        return false;
    }
    bool settle(uint32_t rounds = 800)
    {
        // Until every queue is empty and every packet acknowledged (a peer
        // with nothing to say acknowledges through the keep-alive ping).
        return run(rounds, [&] {
            for (auto& p : peers) {
                if (!p->netInterface)
                    continue;
                for (auto& c : p->netInterface->connections())
                    if (c->isDataToTransmit() || c->lastSentSequence() != c->highestAckedSequence() ||
                        static_cast<SimpleEventConnection*>(c.get())->heldRelayBytes())
                        return false;
                if (p->simulator && p->simulator->heldCount())
                    return false;
                if (!p->netInterface->pendingConnections().empty())
                    return false;
            }
            return true;
        });
    }
};

// Sound through OpenAL Soft's loopback device at `Rate`, mixed only when a
// test renders, with a sound clock the test moves (mNow).
template <uint32_t Rate> class LoopbackSoundTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SoundSetup setup;
        setup.loopback = true;
        setup.loopbackRate = Rate;
        setup.sfxDirectory = "/nonexistent"; // voice needs no effects
        setDebugOutput([](const char*) {});
        bool ready = mSound.init(setup);
        setDebugOutput(nullptr);
        ASSERT_TRUE(ready);
        mSound.setClock([this] { return mNow; });
    }
    void TearDown() override { mSound.close(); }
    SoundPool mSound;
    uint32_t mNow = 5000;
};

} // namespace seafold::test
