// seafold-loadcheck: N clients in one process join a server, pick a model
// and move it every few milliseconds; reports the relay latency from one
// client's movement to the moment another client's scene moves that model.
//
//   seafold-loadcheck ADDRESS CLIENTS SECONDS [MOVE_EVERY_MS]
//
// Prints one JSON object: clients, movements sent, relays received, latency
// median and 99th percentile (ms), and how many relays were still missing at
// the end (what the server's queues held back).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/platform.h"
#include "session/simpleeventconnection.h"

using namespace seafold;

namespace {

struct Client;

// Times every movement of a sender as it shows in this client's scene.
class TimingScene : public ClientScene {
public:
    explicit TimingScene(Client& owner) : mOwner(owner) {}
    void attachModel(ClientRecord&) override {}
    void detachModel(ClientRecord&) override {}
    void translateNode(ClientRecord& record, float, float, float) override;
    void forgetClient(ClientRecord&) override {}

private:
    Client& mOwner;
};

struct Client {
    std::string name;
    TimingScene scene{*this};
    Roster roster{&scene};
    Session session{roster, false};
    RefPtr<SessionInterface> netInterface;
    SimpleEventConnection* connection = nullptr;
    bool picked = false;
    std::vector<int64_t> sendTimes;         // our k-th movement
    std::map<std::string, size_t> seenFrom; // movements of each sender seen here
};

std::map<std::string, Client*> gByName;
std::map<std::string, int> gEndings; // why connections failed or ended
std::vector<double> gLatencies;
uint64_t gRelays = 0;

void TimingScene::translateNode(ClientRecord& record, float, float, float)
{
    auto sender = gByName.find(record.name);
    if (sender == gByName.end())
        return;
    size_t k = mOwner.seenFrom[record.name]++;
    // The first translation is the model's placement (0, 0, 0).
    if (k == 0)
        return;
    ++gRelays;
    if (k - 1 < sender->second->sendTimes.size())
        gLatencies.push_back(
            getHighPrecisionMilliseconds(getHighPrecisionTimerValue() - sender->second->sendTimes[k - 1]));
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: seafold-loadcheck ADDRESS CLIENTS SECONDS [MOVE_EVERY_MS]\n");
        return 2;
    }
    NetAddress server;
    int count = std::atoi(argv[2]);
    double seconds = std::atof(argv[3]);
    uint32_t moveEvery = argc > 4 ? uint32_t(std::atoi(argv[4])) : 16;
    if (!server.parse(argv[1]) || count < 1 || count > 1000 || seconds <= 0 || moveEvery < 1) {
        std::fprintf(stderr, "seafold-loadcheck: bad arguments\n");
        return 2;
    }
    setDebugOutput([](const char*) {});

    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < count; ++i) {
        auto c = std::make_unique<Client>();
        c->name = "load" + std::to_string(i);
        c->netInterface = new SessionInterface(NetAddress(IPProtocol, AnyAddress, 0), c->session);
        c->session.onConnectionState = [](const char* state, const char* reason) {
            if (std::string(state) != "connected")
                ++gEndings[std::string(state) + ": " + reason];
        };
        c->connection = new SimpleEventConnection;
        c->session.connectionToServer = c->connection;
        c->connection->connect(c->netInterface, server);
        c->connection->c2sAddNewClient(StringPtr(c->name.c_str()));
        gByName[c->name] = c.get();
        clients.push_back(std::move(c));
    }

    uint64_t moves = 0;
    uint32_t start = getRealMilliseconds(), lastMove = start;
    uint32_t measureFrom = 0; // once everyone is connected
    while (uint32_t(getRealMilliseconds() - start) < uint32_t(seconds * 1000)) {
        for (auto& c : clients)
            c->netInterface->receivePackets();
        for (auto& c : clients)
            c->netInterface->serviceConnections();
        uint32_t now = getRealMilliseconds();
        bool allUp = true;
        for (auto& c : clients) {
            SimpleEventConnection* connection = c->session.connectionToServer;
            allUp = allUp && connection && connection->isEstablished();
            if (connection && connection->isEstablished() && !c->picked) {
                c->picked = true;
                connection->c2sEntitySelection(StringPtr("boat.mesh"));
            }
        }
        if (allUp && !measureFrom)
            measureFrom = now;
        while (measureFrom && uint32_t(now - lastMove) >= moveEvery) {
            lastMove += moveEvery;
            int64_t t = getHighPrecisionTimerValue();
            for (auto& c : clients) {
                if (SimpleEventConnection* connection = c->session.connectionToServer) {
                    c->sendTimes.push_back(t);
                    connection->c2smakeMovement(0.01, 0, 0);
                    ++moves;
                }
            }
        }
        if (!measureFrom)
            lastMove = now;
        sleepMilliseconds(1);
    }

    int up = 0;
    for (auto& c : clients)
        up += c->session.connectionToServer && c->session.connectionToServer->isEstablished();
    uint64_t expected = moves * uint64_t(count - 1);
    std::printf(
        "{\"clients\": %d, \"seconds\": %.1f, \"move_every_ms\": %u, \"connected\": %s, "
        "\"clients_connected\": %d, \"movements_sent\": %llu, \"relays_expected\": %llu, \"relays_received\": %llu, "
        "\"latency_median_ms\": %.1f, \"latency_p99_ms\": %.1f}\n",
        count, seconds, moveEvery, measureFrom ? "true" : "false", up, static_cast<unsigned long long>(moves),
        static_cast<unsigned long long>(expected), static_cast<unsigned long long>(gRelays),
        percentile(gLatencies, 0.5), percentile(gLatencies, 0.99));
    for (auto& [ending, n] : gEndings)
        std::fprintf(stderr, "seafold-loadcheck: %d connections %s\n", n, ending.c_str());
    for (auto& c : clients)
        c->roster.clear();
    return 0;
}
