// seafold-loadcheck: N clients in one process join a server, pick a model and
// move it every few milliseconds; measures the relay delay from one client's
// move to the moment another client's scene shows it, and whether every
// scene ends where each mover put itself.
//
//   seafold-loadcheck ADDRESS CLIENTS SECONDS [MOVE_EVERY_MS] [--drain SECONDS] [--connect-timeout SECONDS]
//                     [--rate INTERVAL_MS,BYTES_PER_S] [--ping-interval MS] [--secure]
//
// Every move is (+1, 0, 0), so a scene's offset of a mover counts the moves it
// has seen. The relay delay of move k of mover M at watcher W is the time W's
// offset of M first reaches k minus the time M made move k: it stays
// meaningful when one receipt carries the sum of several moves. A lost relay
// shows as a delay one move interval longer for every later move, and as a
// final offset that stays short.
//
// Phases: connect (until every client is connected), move for SECONDS, then
// drain for --drain seconds (default 5) without moving, so that what the
// server still queues can arrive. Prints JSON lines on standard output:
// {"phase": "moving"|"draining"|"done", "t": ...} when a phase starts (wall
// clock, ms), then one result object with "clients" first.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/platform.h"
#include "session/eventlog.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

using namespace seafold;

namespace {

// Delays in 0.1 ms bins up to 2 s, then 1 ms bins up to 300 s: percentiles
// of tens of millions of samples without keeping them.
class DelayHistogram {
public:
    DelayHistogram() : mFine(FineBins, 0), mCoarse(CoarseBins, 0) {}
    void add(double ms)
    {
        ms = std::max(ms, 0.0);
        mMax = std::max(mMax, ms);
        ++mCount;
        if (ms < FineBins * 0.1)
            ++mFine[size_t(ms * 10)];
        else
            ++mCoarse[std::min<size_t>(size_t(ms) - FineBins / 10, CoarseBins - 1)];
    }
    uint64_t count() const { return mCount; }
    double maximum() const { return mMax; }
    double percentile(double p) const
    {
        if (!mCount)
            return 0;
        uint64_t rank = uint64_t(p * double(mCount - 1)), seen = 0;
        for (size_t i = 0; i < mFine.size(); ++i)
            if ((seen += mFine[i]) > rank)
                return (double(i) + 0.5) * 0.1;
        for (size_t i = 0; i < mCoarse.size(); ++i)
            if ((seen += mCoarse[i]) > rank)
                return double(i + FineBins / 10) + 0.5;
        return mMax;
    }

private:
    enum : size_t { FineBins = 20000, CoarseBins = 298000 };
    std::vector<uint64_t> mFine, mCoarse;
    uint64_t mCount = 0;
    double mMax = 0;
};

struct Client;
std::unordered_map<std::string, int> gIndexByName;
std::vector<std::unique_ptr<Client>> gClients;
std::map<std::string, int> gEndings; // why connections failed or ended
DelayHistogram gDelays;
uint64_t gRelays = 0; // moves seen by watchers, in unit moves

// Notes each change of another client's offset in this client's scene.
class TimingScene : public ClientScene {
public:
    explicit TimingScene(Client& owner) : mOwner(owner) {}
    void attachModel(ClientRecord&) override {}
    void detachModel(ClientRecord&) override {}
    void translateNode(ClientRecord&, float, float, float) override {}
    void forgetClient(ClientRecord&) override {}
    void afterChange(const ClientRecord& record, bool removed) override;

private:
    Client& mOwner;
};

struct Client {
    std::string name;
    TimingScene scene{*this};
    Roster roster{&scene};
    Session session{roster, false};
    WeakRef<SimpleEventConnection> connectionToServer; // cleared when it fails or ends
    RefPtr<SessionInterface> netInterface;
    bool picked = false;
    std::vector<int64_t> moveTimes; // when this client made its k-th move (k from 1)
    std::vector<int64_t> seen;      // per mover: moves of it this scene has shown
};

void TimingScene::afterChange(const ClientRecord& record, bool removed)
{
    if (removed)
        return;
    auto mover = gIndexByName.find(record.name);
    if (mover == gIndexByName.end())
        return;
    const Client& m = *gClients[size_t(mover->second)];
    int64_t count = std::llround(record.offsetX);
    int64_t& seen = mOwner.seen[size_t(mover->second)];
    if (count <= seen)
        return;
    int64_t now = getHighPrecisionTimerValue();
    for (int64_t k = seen + 1; k <= count; ++k) {
        ++gRelays;
        if (k >= 1 && size_t(k) <= m.moveTimes.size())
            gDelays.add(getHighPrecisionMilliseconds(now - m.moveTimes[size_t(k - 1)]));
    }
    seen = count;
}

void phase(const char* name)
{
    std::printf("{\"phase\": \"%s\", \"t\": %lld}\n", name, (long long)wallClockMs());
    std::fflush(stdout);
}

const char* const Usage = "usage: seafold-loadcheck ADDRESS CLIENTS SECONDS [MOVE_EVERY_MS] [--drain SECONDS] "
                           "[--connect-timeout SECONDS] [--rate INTERVAL_MS,BYTES_PER_S] [--ping-interval MS] "
                           "[--secure]";

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> positional;
    double drainSeconds = 5, connectTimeout = 60;
    bool rateGiven = false;
    NetConnection::RateInfo rate;
    uint32_t pingInterval = 0;
    bool secure = false; // every client exchanges keys and seals its packets, for a --secure server
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.compare(0, 2, "--") != 0) {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--secure") {
            secure = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "seafold-loadcheck: %s needs a value\n%s\n", arg.c_str(), Usage);
            return 2;
        }
        std::string value = argv[++i];
        unsigned a = 0, b = 0;
        char tail = 0;
        if (arg == "--drain") {
            drainSeconds = std::atof(value.c_str());
        } else if (arg == "--connect-timeout") {
            connectTimeout = std::atof(value.c_str());
        } else if (arg == "--ping-interval") {
            pingInterval = uint32_t(std::atoi(value.c_str()));
        } else if (arg == "--rate" && std::sscanf(value.c_str(), "%u,%u%c", &a, &b, &tail) == 2 && a >= 1 &&
                   a <= 2047 && b <= 65535) {
            rateGiven = true;
            rate.minPacketSendPeriod = rate.minPacketRecvPeriod = a;
            rate.maxSendBandwidth = rate.maxRecvBandwidth = b;
        } else {
            std::fprintf(stderr, "seafold-loadcheck: bad option %s %s\n%s\n", arg.c_str(), value.c_str(), Usage);
            return 2;
        }
    }
    NetAddress server;
    if (positional.size() < 3 || !server.parse(positional[0].c_str())) {
        std::fprintf(stderr, "%s\n", Usage);
        return 2;
    }
    int count = std::atoi(positional[1].c_str());
    double seconds = std::atof(positional[2].c_str());
    uint32_t moveEvery = positional.size() > 3 ? uint32_t(std::atoi(positional[3].c_str())) : 16;
    if (count < 2 || count > 1000 || seconds <= 0 || moveEvery < 1 || drainSeconds < 0 || connectTimeout <= 0) {
        std::fprintf(stderr, "seafold-loadcheck: bad arguments\n%s\n", Usage);
        return 2;
    }
    setDebugOutput([](const char*) {});

    for (int i = 0; i < count; ++i) {
        auto c = std::make_unique<Client>();
        c->name = "load" + std::to_string(i);
        c->seen.assign(size_t(count), 0);
        c->netInterface = new SessionInterface(NetAddress(IPProtocol, AnyAddress, 0), c->session);
        c->netInterface->setRequiresKeyExchange(secure);
        // As the programs do: the adaptive rate with a server of version 1,
        // --rate a cap on it.
        c->netInterface->setAdaptiveRate(WireVersionSeafold, rateGiven);
        SessionSettings settings;
        settings.pingIntervalMs = pingInterval;
        c->session.setSettings(settings);
        SessionListener listener;
        listener.onConnectionState = [client = c.get()](const char* state, const char* reason) {
            if (std::string(state) == "failed" || std::string(state) == "disconnected")
                client->connectionToServer = nullptr;
            if (std::string(state) != "connected")
                ++gEndings[std::string(state) + ": " + reason];
        };
        c->session.subscribe(std::move(listener));
        auto* connection = new SimpleEventConnection;
        if (rateGiven)
            connection->setLocalRate(rate);
        c->connectionToServer = connection;
        connection->connect(c->netInterface, server, secure);
        connection->c2sAddNewClient(StringPtr(c->name.c_str()));
        gIndexByName[c->name] = i;
        gClients.push_back(std::move(c));
    }

    enum Phase { Connecting, Moving, Draining } stage = Connecting;
    uint64_t moves = 0;
    uint32_t stageStart = getRealMilliseconds(), lastMove = stageStart;
    for (;;) {
        for (auto& c : gClients)
            c->netInterface->receivePackets();
        for (auto& c : gClients)
            c->netInterface->serviceConnections();
        uint32_t now = getRealMilliseconds();
        uint32_t inStage = now - stageStart;
        if (stage == Connecting) {
            bool allUp = true;
            for (auto& c : gClients) {
                SimpleEventConnection* connection = c->connectionToServer;
                allUp = allUp && connection && connection->isEstablished();
                if (connection && connection->isEstablished() && !c->picked) {
                    c->picked = true;
                    connection->c2sEntitySelection(StringPtr("boat.mesh"));
                }
            }
            if (allUp) {
                stage = Moving;
                stageStart = lastMove = now;
                phase("moving");
            } else if (inStage > uint32_t(connectTimeout * 1000)) {
                break;
            }
        } else if (stage == Moving) {
            while (uint32_t(now - lastMove) >= moveEvery &&
                   uint32_t(lastMove - stageStart) < uint32_t(seconds * 1000)) {
                lastMove += moveEvery;
                int64_t t = getHighPrecisionTimerValue();
                for (auto& c : gClients) {
                    if (SimpleEventConnection* connection = c->connectionToServer) {
                        c->moveTimes.push_back(t);
                        connection->sendMovement(1, 0, 0); // summed as the programs sum them
                        ++moves;
                    }
                }
            }
            if (inStage >= uint32_t(seconds * 1000)) {
                stage = Draining;
                stageStart = now;
                phase("draining");
            }
        } else if (inStage >= uint32_t(drainSeconds * 1000)) {
            break;
        }
        sleepMilliseconds(1);
    }
    phase("done");

    // Final positions: every watcher's offset of every mover against the
    // mover's own count of moves.
    int up = 0;
    uint64_t expected = 0, pairs = 0, disagreeing = 0, missing = 0, maxDeficit = 0;
    for (size_t w = 0; w < gClients.size(); ++w) {
        Client& watcher = *gClients[w];
        up += watcher.connectionToServer && watcher.connectionToServer->isEstablished();
        for (size_t m = 0; m < gClients.size(); ++m) {
            if (m == w)
                continue;
            uint64_t made = gClients[m]->moveTimes.size();
            expected += made;
            ++pairs;
            const ClientRecord* record = watcher.roster.find(gClients[m]->name);
            double shown = record ? record->offsetX : 0;
            if (!record || std::fabs(shown - double(made)) > 0.5) {
                ++disagreeing;
                uint64_t deficit = shown < double(made) ? made - uint64_t(std::llround(std::max(shown, 0.0))) : 0;
                missing += deficit;
                maxDeficit = std::max(maxDeficit, deficit);
            }
        }
    }
    std::string endings = "{";
    for (auto& [ending, n] : gEndings)
        endings += (endings.size() > 1 ? ", " : "") + jsonString(ending) + ": " + std::to_string(n);
    endings += "}";
    std::printf(
        "{\"clients\": %d, \"seconds\": %.1f, \"move_every_ms\": %u, \"drain_seconds\": %.1f, "
        "\"connected\": %s, \"clients_connected\": %d, \"movements_sent\": %llu, \"relays_expected\": %llu, "
        "\"relays_received\": %llu, \"latency_median_ms\": %.1f, \"latency_p99_ms\": %.1f, "
        "\"latency_max_ms\": %.1f, \"positions_agree\": %s, \"pairs\": %llu, \"pairs_disagreeing\": %llu, "
        "\"moves_missing\": %llu, \"max_deficit\": %llu, \"endings\": %s}\n",
        count, seconds, moveEvery, drainSeconds, stage != Connecting ? "true" : "false", up, (unsigned long long)moves,
        (unsigned long long)expected, (unsigned long long)gRelays, gDelays.percentile(0.5), gDelays.percentile(0.99),
        gDelays.maximum(), stage != Connecting && disagreeing == 0 ? "true" : "false", (unsigned long long)pairs,
        (unsigned long long)disagreeing, (unsigned long long)missing, (unsigned long long)maxDeficit, endings.c_str());
    std::fflush(stdout);
    for (auto& c : gClients)
        c->roster.clear();
    gClients.clear();
    return 0;
}
