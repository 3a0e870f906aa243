#include "app/network.h"

#include "voice/voicecapture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace seafold {

RefPtr<SessionInterface> gNetInterface;
Roster gClients;
ClientScene* gClientScene = nullptr;

namespace {

std::unique_ptr<Session> gSession;
std::unique_ptr<NetworkSimulator> gSimulator;

} // namespace

Session& appSession()
{
    if (!gSession)
        gSession = std::make_unique<Session>(gClients, !gIsClient);
    return *gSession;
}

namespace {

class RunningSessionPort : public SessionPort {
public:
    bool isClient() const override { return gIsClient; }

    void sendMovement(double dx, double dy, double dz) override
    {
        if (gConnectionToServer)
            gConnectionToServer->sendMovement(dx, dy, dz);
    }

    void announceSelection(const std::string& meshName) override
    {
        if (gConnectionToServer)
            gConnectionToServer->c2sEntitySelection(StringPtr(meshName.c_str()));
    }

    void setPushToTalk(bool held) override
    {
        if (held)
            startVoiceCapture();
        else
            stopVoiceCapture();
    }

    Session* session() override { return &appSession(); }
};

} // namespace

SessionPort& appSessionPort()
{
    static RunningSessionPort port;
    return port;
}

void startNetwork(const CommandLine& line)
{
    gClients.setScene(gClientScene);
    Session& session = appSession();
    session.setServer(!line.isClient);
    NetAddress target;
    target.parse(line.addressText.c_str());

    if (line.isClient) {
        gNetInterface = new SessionInterface(NetAddress(IPProtocol, AnyAddress, 0), session);
        // The interface holds the connection; gConnectionToServer is cleared
        // by the connection's hooks when it fails or ends.
        auto* connection = new SimpleEventConnection;
        gConnectionToServer = connection;
        session.connectionToServer = connection;
        connection->connect(gNetInterface, target, false, false);
        // Queued now, sent once the connection is up.
        connection->c2sAddNewClient(StringPtr(fitUtf8(line.clientName, MaxNameBytes).c_str()));
    } else {
        gNetInterface = new SessionInterface(target, session);
        gNetInterface->setAllowConnections(true);
    }
    if (gSimulator)
        gNetInterface->setNetworkSimulator(gSimulator.get());
}

void receiveNetworkPackets()
{
    if (gNetInterface)
        gNetInterface->receivePackets();
}

void serviceNetworkConnections()
{
    if (gNetInterface)
        gNetInterface->serviceConnections();
}

bool parseNetworkSimulation(const std::string& text, NetworkSimulator::Settings* settings)
{
    unsigned drop = 0, duplicate = 0, minDelay = 0, maxDelay = 0;
    char tail;
    if (std::sscanf(text.c_str(), "%u,%u,%u,%u%c", &drop, &duplicate, &minDelay, &maxDelay, &tail) != 4)
        return false;
    if (drop > 100 || duplicate > 100 || minDelay > maxDelay || maxDelay > 60000)
        return false;
    settings->dropPercent = drop;
    settings->duplicatePercent = duplicate;
    settings->minDelayMs = minDelay;
    settings->maxDelayMs = maxDelay;
    return true;
}

void setNetworkSimulation(const NetworkSimulator::Settings& settings, uint32_t seed)
{
    gSimulator = std::make_unique<NetworkSimulator>(seed, settings);
    if (gNetInterface)
        gNetInterface->setNetworkSimulator(gSimulator.get());
}

void applySharedOptions(const SharedOptions& options)
{
    if (options.pingIntervalMs)
        appSession().pingIntervalMs = options.pingIntervalMs;
    if (options.simulate) {
        // A different run of drops and delays in every process.
        using namespace std::chrono;
        auto seed = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
        setNetworkSimulation(options.simulation, uint32_t(seed));
    }
}

void stopNetwork()
{
    // The interface tells every peer ("Shutdown") as it goes.
    gNetInterface = nullptr;
    gConnectionToServer = nullptr;
    gClients.clear();
    gClients.setScene(nullptr);
}

} // namespace seafold
