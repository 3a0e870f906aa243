#include "net/netinterface.h"

#include <algorithm>

#include "base/platform.h"

namespace seafold {

namespace {
// The arrival of the datagram being dispatched, 0 outside a dispatch. Main
// thread only, like every interface.
int64_t gDispatchArrival = 0;
} // namespace

NetInterface::NetInterface(const NetAddress& bindAddress)
    : mConnectionHashTable(InitialTableSlots, nullptr),
      mSocket(bindAddress, Socket::DefaultBufferBytes, ReceiveBufferBytes),
      mReceiveSlots(new ReceivedDatagram[Socket::MaxBatch])
{
    NetClassRep::initialize();
    mTimeSource = getRealMilliseconds;
    mCurrentTime = mTimeSource();
    // A connect request to a port nothing listens on is answered by the
    // host at once: the attempt ends then, not after the handshake's time.
    mSocket.reportUnreachable();
}

NetInterface::~NetInterface()
{
    // Tell every peer; the hooks still run while the interface exists.
    while (!mConnectionList.empty()) {
        RefPtr<NetConnection> connection = mConnectionList.front();
        disconnect(connection, ReasonSelfDisconnect, "Shutdown");
        if (!mConnectionList.empty() && mConnectionList.front() == connection)
            removeConnection(connection); // a hook changed its state: drop it anyway
    }
    // Attempts still under way end too, and are told so.
    while (!mPendingConnections.empty()) {
        RefPtr<NetConnection> connection = mPendingConnections.front();
        disconnect(connection, ReasonSelfDisconnect, "Shutdown");
        removePendingConnection(connection); // whatever state a hook left it in
    }
    if (mSimulator)
        mSocket.setPacketFilter(nullptr);
}

void NetInterface::setTimeSource(std::function<uint32_t()> source)
{
    mTimeSource = source ? std::move(source) : std::function<uint32_t()>(getRealMilliseconds);
    mCurrentTime = mTimeSource();
}

void NetInterface::refreshTime()
{
    mCurrentTime = mTimeSource();
    if (mSimulator)
        mSimulator->setTime(mCurrentTime);
}

void NetInterface::setDefaultRate(const NetConnection::RateInfo& rate)
{
    mDefaultRate = rate;
    mHasDefaultRate = true;
}

void NetInterface::chooseRateMode(NetConnection* connection)
{
    if (mAdaptiveVersion < 0 || !connection->peerTakesAdaptiveRate(mAdaptiveVersion))
        return;
    connection->setRateIsCap(mRateIsCap);
    connection->enterAdaptiveRate();
}

uint32_t NetInterface::msUntilDue(uint32_t longest) const
{
    const uint32_t t = mTimeSource();
    uint32_t due = longest;
    if (!mPendingConnections.empty())
        due = std::min<uint32_t>(due, HandshakeFirstResendMs / 5); // resends and puzzle work
    if (!mConnectionList.empty()) {
        const uint32_t sinceCheck = t - mLastTimeoutCheckTime;
        due = std::min(due, sinceCheck > TimeoutCheckIntervalMs ? 0 : TimeoutCheckIntervalMs + 1 - sinceCheck);
    }
    if (mSimulator && mSimulator->heldCount())
        due = std::min<uint32_t>(due, 1);
    for (const auto& connection : mConnectionList)
        if (connection->state() == Connected)
            due = std::min(due, connection->msUntilDue(t, due));
    return msUntilResetQuery(t, due);
}

void NetInterface::setNetworkSimulator(NetworkSimulator* simulator)
{
    mSimulator = simulator;
    mSocket.setPacketFilter(simulator);
    if (simulator)
        simulator->setTime(mCurrentTime);
}

// ---- sending -----------------------------------------------------------------

void NetInterface::sendTo(const NetAddress& address, const BitStream& stream)
{
    mSocket.sendto(address, stream.data(), stream.bytePosition());
}

// ---- connection table --------------------------------------------------------

uint32_t NetInterface::tableSlot(const NetAddress& address, uint32_t tableSize) const
{
    uint32_t hash = (uint32_t(address.port) << 8) ^ address.netNum[0] ^ (address.netNum[1] << 16) ^
                    (address.netNum[1] >> 16) ^ (address.netNum[2] << 5);
    return hash % tableSize;
}

void NetInterface::insertIntoTable(NetConnection* connection)
{
    uint32_t size = uint32_t(mConnectionHashTable.size());
    uint32_t slot = tableSlot(connection->address(), size);
    while (mConnectionHashTable[slot])
        slot = (slot + 1) % size;
    mConnectionHashTable[slot] = connection;
}

NetConnection* NetInterface::findConnection(const NetAddress& address) const
{
    uint32_t size = uint32_t(mConnectionHashTable.size());
    uint32_t slot = tableSlot(address, size);
    for (uint32_t probes = 0; probes < size && mConnectionHashTable[slot]; ++probes) {
        if (mConnectionHashTable[slot]->address() == address)
            return mConnectionHashTable[slot];
        slot = (slot + 1) % size;
    }
    return nullptr;
}

void NetInterface::addConnection(NetConnection* connection)
{
    mConnectionList.push_back(connection);
    updatePuzzleDifficulty();
    uint32_t count = uint32_t(mConnectionList.size());
    if (count > mConnectionHashTable.size() / 2) {
        mConnectionHashTable.assign(count * 4 - 1, nullptr);
        for (auto& listed : mConnectionList)
            insertIntoTable(listed);
    } else {
        insertIntoTable(connection);
    }
}

void NetInterface::removeConnection(NetConnection* connection)
{
    RefPtr<NetConnection> keep = connection; // released at the end
    auto listed = std::find(mConnectionList.begin(), mConnectionList.end(), connection);
    if (listed == mConnectionList.end())
        return;
    *listed = mConnectionList.back();
    mConnectionList.pop_back();
    updatePuzzleDifficulty();

    uint32_t size = uint32_t(mConnectionHashTable.size());
    uint32_t slot = tableSlot(connection->address(), size);
    uint32_t probes = 0;
    while (mConnectionHashTable[slot] != connection) {
        slot = (slot + 1) % size;
        if (++probes == size) {
            assertFailed(__FILE__, __LINE__, "Attempting to remove a connection that is not in the table.");
            return;
        }
    }
    mConnectionHashTable[slot] = nullptr;
    // Re-insert the rest of the probe run so later lookups still find it.
    for (uint32_t next = (slot + 1) % size; mConnectionHashTable[next]; next = (next + 1) % size) {
        NetConnection* moved = mConnectionHashTable[next];
        mConnectionHashTable[next] = nullptr;
        insertIntoTable(moved);
    }
}

// ---- slots -------------------------------------------------------------------

uint32_t NetInterface::connectionsFromHost(const NetAddress& address) const
{
    uint32_t count = 0;
    for (auto& connection : mConnectionList)
        if (connection->address().isSameHost(address))
            ++count;
    return count;
}

const char* NetInterface::slotRefusal(const NetAddress& address, bool replacesExisting) const
{
    if (mHandshakeGuard.isBarred(address, mCurrentTime))
        return TryLaterReason;
    // A peer that reconnects takes the place of its old connection.
    if (replacesExisting)
        return nullptr;
    if (mConnectionList.size() >= mMaxConnections)
        return ServerFullReason;
    if (connectionsFromHost(address) >= mMaxPerAddress)
        return TooManyFromAddressReason;
    return nullptr;
}

void NetInterface::updatePuzzleDifficulty()
{
    uint32_t steps = mMaxConnections
                         ? uint32_t(uint64_t(mConnectionList.size()) * PuzzleDifficultySteps / mMaxConnections)
                         : PuzzleDifficultySteps;
    steps = std::min<uint32_t>(steps, PuzzleDifficultySteps);
    mHandshakeGuard.puzzleManager().setDifficulty(
        std::min<uint32_t>(PuzzleManager::InitialDifficulty + steps, MaxPuzzleDifficulty));
}

void NetInterface::endUnjoinedConnections()
{
    for (auto& connection : mConnectionList)
        if (connection->isConnectionToClient() && !connection->hasJoined() &&
            uint32_t(mCurrentTime - connection->establishedTime()) > JoinTimeoutMs)
            connection->endSoon(JoinTimeoutReason);
}

void NetInterface::keepQueuesWithinBudget()
{
    // Each connection answers for the bytes its own traffic queued: its own
    // queue less what others' relays put there, plus its relays waiting in
    // the others' queues. So a client that floods a room is the one ended,
    // never the slow receiver whose queue its relays filled. A connection
    // already asked to end posts nothing more; what it caused goes as its
    // relays are sent or their receivers end.
    uint64_t total = 0;
    for (auto& connection : mConnectionList)
        if (!connection->endReason())
            total += connection->queuedBytesCaused();
    while (total > mQueueBudgetBytes) {
        NetConnection* culprit = nullptr;
        for (auto& connection : mConnectionList)
            if (!connection->endReason() &&
                (!culprit || connection->queuedBytesCaused() > culprit->queuedBytesCaused()))
                culprit = connection;
        if (!culprit)
            break;
        writeLog("Connection %s: the queues of all connections are over %llu bytes, %llu of them its traffic, the "
                 "most; ending it",
                 culprit->address().toText(), (unsigned long long)mQueueBudgetBytes,
                 (unsigned long long)culprit->queuedBytesCaused());
        total -= std::min(total, culprit->queuedBytesCaused());
        culprit->endSoon(NetConnection::SendQueueOverflowReason);
    }
}

NetConnection* NetInterface::findPendingConnection(const NetAddress& address) const
{
    for (auto& pending : mPendingConnections)
        if (pending->address() == address)
            return pending;
    return nullptr;
}

void NetInterface::addPendingConnection(NetConnection* connection)
{
    RefPtr<NetConnection> keep = connection;
    if (NetConnection* previous = findPendingConnection(connection->address())) {
        RefPtr<NetConnection> ending = previous;
        disconnect(ending, ReasonSelfDisconnect, "Reconnecting");
        removePendingConnection(ending);
    }
    if (NetConnection* established = findConnection(connection->address()))
        disconnect(established, ReasonSelfDisconnect, "Reconnecting");
    mPendingConnections.push_back(connection);
}

void NetInterface::removePendingConnection(NetConnection* connection)
{
    auto at = std::find(mPendingConnections.begin(), mPendingConnections.end(), connection);
    if (at == mPendingConnections.end())
        return;
    RefPtr<NetConnection> keep = connection; // released after the list is consistent
    mPendingConnections.erase(at);
}

// ---- steps -------------------------------------------------------------------

void NetInterface::receivePackets()
{
    refreshTime();
    failUnreachableAttempts();
    uint32_t stray = 0;
    for (uint32_t read = 0; read < MaxDatagramsPerPass;) {
        const uint32_t asked = std::min<uint32_t>(Socket::MaxBatch, MaxDatagramsPerPass - read);
        const uint32_t count = mSocket.receiveBatch(mReceiveSlots.get(), asked);
        if (count == 0)
            break;
        read += count;
        for (uint32_t i = 0; i < count; ++i) {
            ReceivedDatagram& datagram = mReceiveSlots[i];
            const bool plausible = datagram.usable && isPlausibleDatagram(datagram.bytes, datagram.length);
            if (!plausible || !(datagram.bytes[0] & 0x80) || !findConnection(datagram.source))
                ++stray;
            if (!plausible)
                continue;
            BitStream stream(datagram.bytes, datagram.length, 0);
            gDispatchArrival = datagram.arrivalTimer;
            dispatchPacket(datagram.source, stream);
            gDispatchArrival = 0;
        }
        // What the batch's messages queued counts at once, not a pass later.
        keepQueuesWithinBudget();
        // A short batch emptied the socket: asking again would only cost a
        // call that finds nothing.
        if (count < asked)
            break;
    }
    noteStrayDatagrams(stray);
}

void NetInterface::noteStrayDatagrams(uint32_t stray)
{
    mStrayDatagrams += stray;
    const uint32_t elapsed = mCurrentTime - mStrayWindowStart;
    if (elapsed < FloodWindowMs)
        return;
    // A rate over however long the window ran: a quiet loop may pause far
    // longer than one window between passes.
    mFlooded = uint64_t(mStrayDatagrams) * FloodWindowMs >= uint64_t(FloodDatagramsPerWindow) * elapsed;
    mStrayDatagrams = 0;
    mStrayWindowStart = mCurrentTime;
}

void NetInterface::failUnreachableAttempts()
{
    NetAddress unreachable[UnreachablePerPass];
    const uint32_t count = mSocket.takeUnreachable(unreachable, UnreachablePerPass);
    for (uint32_t i = 0; i < count; ++i) {
        // Only an attempt of ours still waiting for its first answer: a
        // report cannot end a connection that is up, nor a peer's attempt.
        RefPtr<NetConnection> connection = findPendingConnection(unreachable[i]);
        if (!connection || (connection->state() != ChallengeSent && connection->state() != RequestSent))
            continue;
        connection->setState(AttemptTimedOut);
        connection->onConnectFailed(ReasonRejected, NothingListensReason);
        removePendingConnection(connection);
    }
}

int64_t NetInterface::arrivalTimer()
{
    return gDispatchArrival ? gDispatchArrival : getHighPrecisionTimerValue();
}

void NetInterface::waitForPackets(uint32_t ms)
{
    if (mFlooded) {
        sleepMilliseconds(std::min<uint32_t>(ms, FloodPauseMs));
        return;
    }
    mSocket.waitReadable(ms);
}

// The fewest bytes each handshake packet can have: its fixed fields (see the
// layouts in netinterface_handshake.cpp) and at least a byte of what follows
// them.
namespace {
constexpr uint32_t MinDataPacketBytes = 5;         // 35 header bits
constexpr uint32_t ChallengeRequestBytes = 10;     // type, nonce, two flags
constexpr uint32_t MinChallengeResponseBytes = 26; // type, nonce, token, nonce, difficulty, key flag
constexpr uint32_t MinConnectRequestBytes = 34;    // type, 2 nonces, token, difficulty, solution, flags, sequence, name
constexpr uint32_t MinConnectRejectBytes = 18;     // type, 2 nonces, reason
constexpr uint32_t MinConnectAcceptBytes = 21;     // type, 2 nonces, sequence
constexpr uint32_t MinDisconnectBytes = 18;        // type, 2 nonces, reason
} // namespace

bool NetInterface::isPlausibleDatagram(const uint8_t* data, uint32_t length) const
{
    if (length == 0)
        return false;
    const uint8_t first = data[0];
    if (first & 0x80)
        return length >= MinDataPacketBytes && !mConnectionList.empty();
    switch (first) {
    case ConnectChallengeRequest:
        return mAllowConnections && length >= ChallengeRequestBytes;
    case ConnectRequest:
        return mAllowConnections && length >= MinConnectRequestBytes;
    case ChallengeResponse:
        return length >= MinChallengeResponseBytes && !mPendingConnections.empty();
    case ConnectReject:
        return length >= MinConnectRejectBytes && !mPendingConnections.empty();
    case ConnectAccept:
        return length >= MinConnectAcceptBytes && !mPendingConnections.empty();
    case Disconnect:
        return length >= MinDisconnectBytes && !mConnectionList.empty();
    case Punch:
    case ArrangedConnectRequest:
        return false; // introduced connections: never started here
    case ResetQuery:
        return mAllowConnections && length >= ResetQueryBytes;
    case ResetAnswer:
        return length >= ResetAnswerBytes && !mConnectionList.empty();
    default:
        return true; // information packets: for onInfoPacket to judge
    }
}

void NetInterface::dispatchPacket(const NetAddress& address, BitStream& stream)
{
    if (stream.size() == 0)
        return;
    uint8_t first = stream.data()[0];
    if (first & 0x80) {
        RefPtr<NetConnection> connection = findConnection(address);
        if (connection)
            connection->receivePacket(stream);
        return;
    }
    uint8_t type = stream.readU8();
    switch (type) {
    case ConnectChallengeRequest:
        handleConnectChallengeRequest(address, stream);
        break;
    case ChallengeResponse:
        handleChallengeResponse(address, stream);
        break;
    case ConnectRequest:
        handleConnectRequest(address, stream);
        break;
    case ConnectReject:
        handleConnectReject(address, stream);
        break;
    case ConnectAccept:
        handleConnectAccept(address, stream);
        break;
    case Disconnect:
        handleDisconnect(address, stream);
        break;
    case Punch:
    case ArrangedConnectRequest:
        break; // introduced connections: never started here
    case ResetQuery:
        handleResetQuery(address, stream);
        break;
    case ResetAnswer:
        handleResetAnswer(address, stream);
        break;
    default:
        onInfoPacket(address, type, stream);
        break;
    }
}

void NetInterface::onInfoPacket(const NetAddress&, uint8_t, BitStream&) {}

void NetInterface::serviceConnections()
{
    refreshTime();
    mHandshakeGuard.tick(mCurrentTime);
    if (mSimulator)
        mSimulator->update(mCurrentTime);

    keepQueuesWithinBudget();
    endConnectionsAskedToEnd();

    // A send step may end a connection (through a hook): walk a copy.
    std::vector<RefPtr<NetConnection>> established = mConnectionList;
    for (auto& connection : established)
        if (connection->state() == Connected)
            connection->sendStep(false, mCurrentTime);

    if (!mPendingConnections.empty())
        checkHandshakes();
    askSilentServers();
    if (uint32_t(mCurrentTime - mLastTimeoutCheckTime) > TimeoutCheckIntervalMs) {
        endUnjoinedConnections();
        mLastTimeoutCheckTime = mCurrentTime;
        std::vector<RefPtr<NetConnection>> live = mConnectionList;
        for (auto& connection : live) {
            if (connection->state() == Connected && connection->keepAliveTimedOut(mCurrentTime)) {
                connection->setState(TimedOut);
                connection->onDisconnected(ReasonTimedOut, "Timeout");
                removeConnection(connection);
            }
        }
    }

    for (auto& pending : mPendingConnections) {
        if (pending->state() == SolvingPuzzle) {
            RefPtr<NetConnection> solving = pending;
            continuePuzzleSolution(solving);
            break;
        }
    }
}

void NetInterface::endConnectionsAskedToEnd()
{
    // Ending one connection runs hooks that may post on others and ask them
    // to end in turn: repeat until a pass finds none, each connection ending
    // at most once.
    for (bool found = true; found;) {
        found = false;
        std::vector<RefPtr<NetConnection>> all = mConnectionList;
        all.insert(all.end(), mPendingConnections.begin(), mPendingConnections.end());
        for (auto& connection : all) {
            const char* reason = connection->endReason();
            if (!reason || (findConnection(connection->address()) != connection &&
                            findPendingConnection(connection->address()) != connection))
                continue;
            found = true;
            // A connection ended through no fault of its own (others' relays
            // filled its queue) ends as if by this side's choice: not
            // counted against its host.
            disconnect(connection, connection->endIsOwnFault() ? ReasonError : ReasonSelfDisconnect, reason);
            // A connection in no state that disconnect ends leaves the lists anyway.
            removeConnection(connection);
            removePendingConnection(connection);
        }
    }
}

void NetInterface::disconnect(NetConnection* connection, uint32_t reason, const char* reasonText)
{
    RefPtr<NetConnection> keep = connection;
    switch (connection->state()) {
    case ChallengeSent:
    case SolvingPuzzle:
    case RequestSent:
        if (findPendingConnection(connection->address()) == connection) {
            connection->onConnectFailed(reason, reasonText);
            removePendingConnection(connection);
        }
        break;
    case Connected:
        // Ended for its own fault (its payload, its queue, its silence about
        // joining): counts against its host.
        if (reason == ReasonError && connection->isConnectionToClient())
            mHandshakeGuard.noteAbusiveEnd(connection->address(), mCurrentTime, AbusiveEndsToBar, AbuseWindowMs);
        connection->setState(Disconnected);
        connection->onDisconnected(reason, reasonText);
        sendDisconnectPacket(connection, reasonText);
        removeConnection(connection);
        break;
    default:
        break;
    }
}

} // namespace seafold
