// A whole session in one process for the soak test and the session fuzz
// target: a server and a few client slots on loopback, each with its own
// roster, display-less scene and lossy network, one settable clock, and the
// session's invariants checked at rest. Needs no test framework.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/eventconnection.h"
#include "session/headlessscene.h"
#include "session/simpleeventconnection.h"

namespace seafold::test {

class SessionWorld {
public:
    struct Node {
        HeadlessScene scene;
        Roster roster{&scene};
        Session session;
        std::unique_ptr<NetworkSimulator> simulator; // outlives the interface
        RefPtr<SessionInterface> netInterface;
        // A client's connection to the server (several share the process).
        WeakRef<SimpleEventConnection> connectionToServer;
        explicit Node(bool isServer) : session(roster, isServer)
        {
            SessionListener listener;
            listener.onServerText = [](const char*) {};
            listener.onConnectionState = [this](const char* state, const char*) {
                if (std::string(state) == "failed" || std::string(state) == "disconnected")
                    connectionToServer = nullptr;
            };
            session.subscribe(std::move(listener));
        }
        ~Node()
        {
            netInterface = nullptr; // its hooks still find the session
            roster.clear();
        }
    };
    struct Client {
        std::unique_ptr<Node> node;
        std::string name;
        double sentX = 0, sentY = 0, sentZ = 0; // every delta sent since the join
        // Moves wait for the first model: a user who moved before choosing
        // one shows the model at the origin to those who watched, and at
        // the accumulated offset to those who join later.
        bool hasModel = false;
    };

    // `password`: a sealed session behind a join password that every client
    // knows (each join then runs the password exchange).
    SessionWorld(size_t clients, const NetworkSimulator::Settings& network, uint32_t seed,
                 const std::string& password = std::string())
        : mNetwork(network), mSeed(seed), mPassword(password)
    {
        mBaselineNotes = EventConnection::liveNoteCount();
        mServer = makeNode(true);
        mServer->netInterface->setAllowConnections(true);
        if (!password.empty()) {
            mServer->netInterface->setPrivateKey(new AsymmetricKey(32));
            mServer->netInterface->setRequiresKeyExchange(true);
        }
        mClients.resize(clients);
        for (size_t i = 0; i < clients; ++i)
            mClients[i].name = "user" + std::to_string(i);
    }
    // Client i asks to join as `name` (the server may give it another).
    void setName(size_t i, const std::string& name) { mClients[i].name = name; }

    uint32_t now() const { return mNow; }
    size_t clientCount() const { return mClients.size(); }
    Node& server() { return *mServer; }
    Client& client(size_t i) { return mClients[i]; }

    SimpleEventConnection* toServer(size_t i)
    {
        Client& c = mClients[i];
        return c.node ? c.node->connectionToServer.get() : nullptr;
    }

    // Starts a join unless the slot has a connection (established or not).
    void join(size_t i)
    {
        Client& c = mClients[i];
        if (toServer(i))
            return;
        if (!c.node)
            c.node = makeNode(false);
        auto* connection = new SimpleEventConnection;
        c.node->connectionToServer = connection;
        connection->connect(c.node->netInterface, mServer->netInterface->boundAddress());
        connection->c2sAddNewClient(StringPtr(c.name.c_str()));
        c.sentX = c.sentY = c.sentZ = 0;
        c.hasModel = false;
    }
    // The user quits: its connection says goodbye (which may be lost; the
    // server's keep-alive then ends it).
    void leave(size_t i)
    {
        if (SimpleEventConnection* connection = toServer(i))
            connection->disconnect("Bye");
    }
    // The client's process ends: its interface goes.
    void vanish(size_t i) { mClients[i].node = nullptr; }
    void move(size_t i, double dx, double dy, double dz)
    {
        if (SimpleEventConnection* connection = toServer(i))
            if (mClients[i].hasModel && connection->sendMovement(dx, dy, dz)) {
                mClients[i].sentX += dx;
                mClients[i].sentY += dy;
                mClients[i].sentZ += dz;
            }
    }
    void select(size_t i, const char* entity)
    {
        if (SimpleEventConnection* connection = toServer(i)) {
            connection->c2sEntitySelection(StringPtr(entity));
            mClients[i].hasModel = true;
        }
    }
    void speak(size_t i, const uint8_t* data, uint32_t size)
    {
        if (SimpleEventConnection* connection = toServer(i)) {
            RefPtr<ByteBuffer> buffer = new ByteBuffer(size);
            for (uint32_t b = 0; b < size; ++b)
                buffer->data()[b] = data[b];
            connection->c2sVoice(false, buffer, StringPtr(mClients[i].name.c_str()));
        }
    }

    // ---- calls of version 1 ----
    void chat(size_t i, const std::string& text)
    {
        if (SimpleEventConnection* connection = toServer(i))
            connection->sendChat(text);
    }
    void turn(size_t i, const Orientation& orientation)
    {
        if (SimpleEventConnection* connection = toServer(i))
            connection->sendOrientation(orientation);
    }
    // Opus frames as sent (each after its length); the bytes need not be
    // speech: the server's decoder conceals what it cannot decode.
    void speakOpus(size_t i, const uint8_t* frames, uint32_t size, bool endsSpurt)
    {
        if (SimpleEventConnection* connection = toServer(i)) {
            RefPtr<ByteBuffer> buffer = new ByteBuffer(size);
            for (uint32_t b = 0; b < size; ++b)
                buffer->data()[b] = frames[b];
            connection->sendVoiceFrames(buffer, endsSpurt);
        }
    }

    // One pass of every interface, then the clock moves on.
    void step(uint32_t ms)
    {
        for (Node* n : nodes())
            n->netInterface->receivePackets();
        for (Node* n : nodes())
            n->netInterface->serviceConnections();
        mNow += ms;
    }

    // True when nothing waits anywhere: no queued, held or unacknowledged
    // event, no datagram in the simulated network, no handshake under way,
    // and every client the server still knows of has its connection.
    bool atRest()
    {
        for (Node* n : nodes()) {
            if (!n->netInterface->pendingConnections().empty())
                return false;
            if (n->simulator && n->simulator->heldCount())
                return false;
            for (auto& c : n->netInterface->connections()) {
                auto* connection = static_cast<SimpleEventConnection*>(c.get());
                if (connection->isDataToTransmit() || connection->heldRelayBytes() ||
                    connection->lastSentSequence() != connection->highestAckedSequence())
                    return false;
                EventConnection::QueueDepths q = connection->queueDepths();
                if (q.awaitingDelivery || q.receivedWaiting)
                    return false;
            }
        }
        // A departed client's goodbye may have been lost: wait for its time-out.
        if (mServer->netInterface->connections().size() != establishedClients())
            return false;
        return mServer->roster.size() == establishedClients();
    }

    // What keeps the world from rest, for messages.
    std::string describe()
    {
        std::string out = "server: " + std::to_string(mServer->netInterface->connections().size()) + " connections, " +
                          std::to_string(mServer->roster.size()) + " records;";
        for (size_t i = 0; i < mClients.size(); ++i) {
            SimpleEventConnection* c = toServer(i);
            out += " " + mClients[i].name + ": " +
                   (!c                   ? std::string("none")
                    : c->isEstablished() ? "established"
                                         : "connecting");
        }
        for (Node* n : nodes()) {
            out += " | pending " + std::to_string(n->netInterface->pendingConnections().size());
            if (n->simulator)
                out += " held " + std::to_string(n->simulator->heldCount());
            for (auto& c : n->netInterface->connections()) {
                auto* connection = static_cast<SimpleEventConnection*>(c.get());
                EventConnection::QueueDepths q = connection->queueDepths();
                out += " [" + std::to_string(q.orderedSend) + "/" + std::to_string(q.unorderedSend) + "/" +
                       std::to_string(q.awaitingDelivery) + "/" + std::to_string(q.receivedWaiting) + " sent " +
                       std::to_string(connection->lastSentSequence()) + " acked " +
                       std::to_string(connection->highestAckedSequence()) + " held " +
                       std::to_string(connection->heldRelayBytes()) + "]";
            }
        }
        return out;
    }

    // Steps until atRest, at most `limitMs` of simulated time.
    bool settle(uint32_t stepMs, uint32_t limitMs)
    {
        for (uint32_t t = 0; t <= limitMs; t += stepMs) {
            if (atRest())
                return true;
            step(stepMs);
        }
        return atRest();
    }

    // The session's invariants at rest; the first broken one, or empty.
    std::string check()
    {
        Roster& truth = mServer->roster;
        for (size_t r = 0; r < truth.size(); ++r) {
            ClientRecord& record = truth[r];
            Client* owner = ownerOf(record);
            if (!owner)
                return "the server's record of " + record.name + " belongs to no client";
            if (record.offsetX != owner->sentX || record.offsetY != owner->sentY || record.offsetZ != owner->sentZ)
                return "the server has " + record.name + " elsewhere than the deltas sent";
        }
        for (Client& c : mClients) {
            SimpleEventConnection* connection = c.node ? c.node->connectionToServer.get() : nullptr;
            if (!connection || !connection->isEstablished())
                continue;
            // The client's roster: the server's without the client itself, in order.
            Roster& seen = c.node->roster;
            size_t k = 0;
            for (size_t r = 0; r < truth.size(); ++r) {
                if (ownerOf(truth[r]) == &c)
                    continue;
                if (k >= seen.size() || seen[k].name != truth[r].name)
                    return c.name + "'s roster differs from the server's at " + truth[r].name;
                const ClientRecord& mine = seen[k];
                if (mine.offsetX != truth[r].offsetX || mine.offsetY != truth[r].offsetY ||
                    mine.offsetZ != truth[r].offsetZ)
                    return c.name + " has " + truth[r].name + " at " + std::to_string(mine.offsetX) + "," +
                           std::to_string(mine.offsetY) + "," + std::to_string(mine.offsetZ) + ", the server at " +
                           std::to_string(truth[r].offsetX) + "," + std::to_string(truth[r].offsetY) + "," +
                           std::to_string(truth[r].offsetZ);
                if (mine.entityName != truth[r].entityName)
                    return c.name + " shows another model for " + truth[r].name;
                const HeadlessScene::Model* model = c.node->scene.modelOf(mine.name);
                const HeadlessScene::Model* reference = mServer->scene.modelOf(truth[r].name);
                if ((model == nullptr) != (reference == nullptr))
                    return c.name + "'s scene and the server's disagree on " + truth[r].name;
                if (model && (model->x != reference->x || model->y != reference->y || model->z != reference->z))
                    return c.name + "'s scene shows " + truth[r].name + " elsewhere";
                ++k;
            }
            if (k != seen.size())
                return c.name + " knows users the server does not";
        }
        return "";
    }

    // Everything goes; afterwards no connection and no event note may be left.
    std::string tearDown()
    {
        std::vector<WeakRef<NetConnection>> connections;
        for (Node* n : nodes())
            for (auto& c : n->netInterface->connections())
                connections.emplace_back(c.get());
        for (Client& c : mClients)
            c.node = nullptr;
        mServer = nullptr;
        for (auto& c : connections)
            if (c.get())
                return "a connection outlived its interface";
        if (EventConnection::liveNoteCount() != mBaselineNotes)
            return "event notes left behind: " + std::to_string(EventConnection::liveNoteCount() - mBaselineNotes);
        return "";
    }

private:
    std::unique_ptr<Node> makeNode(bool isServer)
    {
        auto node = std::make_unique<Node>(isServer);
        NetAddress bind(IPProtocol, LocalhostAddress, 0); // any free port
        node->netInterface = new SessionInterface(bind, node->session);
        node->netInterface->setTimeSource([this] { return mNow; });
        // Every node of the world shares one host.
        node->netInterface->setMaxPerAddress(NetInterface::MaxConnectionsLimit);
        node->simulator = std::make_unique<NetworkSimulator>(mSeed + mNodesMade++, mNetwork);
        node->netInterface->setNetworkSimulator(node->simulator.get());
        if (!mPassword.empty()) {
            SessionSettings settings;
            settings.password = mPassword;
            node->session.setSettings(settings);
            node->netInterface->setRequiresKeyExchange(true);
        }
        return node;
    }
    std::vector<Node*> nodes()
    {
        std::vector<Node*> all;
        if (mServer)
            all.push_back(mServer.get());
        for (Client& c : mClients)
            if (c.node)
                all.push_back(c.node.get());
        return all;
    }
    size_t establishedClients()
    {
        size_t count = 0;
        for (size_t i = 0; i < mClients.size(); ++i)
            if (SimpleEventConnection* connection = toServer(i))
                count += connection->isEstablished();
        return count;
    }
    Client* ownerOf(const ClientRecord& record)
    {
        SimpleEventConnection* connection = record.connection;
        if (!connection)
            return nullptr;
        for (Client& c : mClients)
            if (c.node && c.node->netInterface->boundAddress() == connection->address())
                return &c;
        return nullptr;
    }

    NetworkSimulator::Settings mNetwork;
    uint32_t mSeed;
    std::string mPassword;
    uint32_t mNodesMade = 0;
    uint32_t mNow = 1000000;
    uint32_t mBaselineNotes = 0;
    std::unique_ptr<Node> mServer;
    std::vector<Client> mClients;
};

} // namespace seafold::test
