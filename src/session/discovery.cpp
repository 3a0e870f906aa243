// Discovery datagrams, the responder a server runs and the finder a client
// runs. The layouts are in discovery.h.
#include "session/discovery.h"

#include <algorithm>
#include <cstring>

#include "base/platform.h"
#include "base/utf8.h"
#include "net/random.h"
#include "net/socket.h"

namespace seafold {

namespace {

const uint8_t QueryMagic[4] = {'S', 'F', 'D', 'Q'};
const uint8_t AnswerMagic[4] = {'S', 'F', 'D', 'A'};

// Datagrams larger than this are neither queries nor answers we would take;
// the socket drops them unread.
const uint32_t ReceiveCapacityBytes = 512;
// Bounds one poll of the finder, like MaxQueriesPerPass for the responder.
const uint32_t MaxAnswersPerPoll = 256;
// A search longer than an hour is a mistake of the caller.
const double MaxFindSeconds = 3600.0;

void putU16(uint8_t* out, uint16_t value)
{
    out[0] = uint8_t(value >> 8);
    out[1] = uint8_t(value);
}

void putU32(uint8_t* out, uint32_t value)
{
    out[0] = uint8_t(value >> 24);
    out[1] = uint8_t(value >> 16);
    out[2] = uint8_t(value >> 8);
    out[3] = uint8_t(value);
}

uint16_t getU16(const uint8_t* in)
{
    return uint16_t(in[0] << 8 | in[1]);
}

uint32_t getU32(const uint8_t* in)
{
    return uint32_t(in[0]) << 24 | uint32_t(in[1]) << 16 | uint32_t(in[2]) << 8 | uint32_t(in[3]);
}

const uint32_t LoopbackBroadcast = 0x7FFFFFFFu; // 127.255.255.255

bool isLoopbackHost(uint32_t host)
{
    return host >> 24 == 127;
}

// 0.0.0.0, multicast, the reserved class above it and the limited broadcast
// address name no single peer.
bool isUnicastHost(uint32_t host)
{
    return host != 0 && host < 0xE0000000u;
}

NetAddress ipAddress(uint32_t host, uint16_t port)
{
    NetAddress address;
    address.transport = IPProtocol;
    address.netNum[0] = host;
    address.port = port;
    return address;
}

// Characters that would let a name change how a line of text looks: C0 and
// C1 controls, DEL, line and paragraph separators, and the bidirectional
// overrides and isolates that reorder the rest of a line.
bool isUnsafeCharacter(uint32_t c)
{
    return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029 || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

// ---- datagrams ---------------------------------------------------------------

std::string cleanServerName(const std::string& text)
{
    static const char Replacement[] = "\xEF\xBF\xBD"; // U+FFFD
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        uint32_t c = 0;
        size_t length = decodeUtf8(text, i, &c);
        const char* piece;
        size_t pieceLength;
        if (length == 0 || isUnsafeCharacter(c)) {
            piece = Replacement;
            pieceLength = 3;
            i += length ? length : 1;
        } else {
            piece = text.data() + i;
            pieceLength = length;
            i += length;
        }
        // Whole characters only: the first that does not fit ends the name.
        if (out.size() + pieceLength > MaxServerNameBytes)
            break;
        out.append(piece, pieceLength);
    }
    return out;
}

uint32_t writeDiscoveryQuery(uint32_t token, uint8_t* out, uint32_t version)
{
    std::memset(out, 0, DiscoveryQueryBytes);
    std::memcpy(out, QueryMagic, 4);
    out[4] = uint8_t(version);
    putU32(out + 5, token);
    return DiscoveryQueryBytes;
}

bool readDiscoveryQuery(const uint8_t* data, uint32_t length, DiscoveryQuery* query)
{
    // The length check comes first: it is what keeps an answer from ever
    // being larger than the datagram that asked for it.
    if (length < DiscoveryQueryBytes || std::memcmp(data, QueryMagic, 4) != 0 || data[4] < DiscoveryVersion)
        return false;
    query->version = data[4];
    query->token = getU32(data + 5);
    return true;
}

uint32_t writeDiscoveryAnswer(const DiscoveryAnswer& answer, uint8_t* out)
{
    std::string name = cleanServerName(answer.name);
    const bool extended = answer.version >= DiscoveryExtendedVersion;
    std::memcpy(out, AnswerMagic, 4);
    out[4] = uint8_t(extended ? DiscoveryExtendedVersion : DiscoveryVersion);
    putU32(out + 5, answer.token);
    putU32(out + 9, answer.instance);
    putU32(out + 13, answer.host);
    putU16(out + 17, answer.port);
    putU16(out + 19, answer.users);
    out[21] = uint8_t(name.size());
    std::memcpy(out + DiscoveryAnswerHeaderBytes, name.data(), name.size());
    uint32_t size = DiscoveryAnswerHeaderBytes + uint32_t(name.size());
    if (!extended)
        return size;
    putU16(out + size, answer.details.limit);
    out[size + 2] = answer.details.needsPassword ? 1 : 0;
    putU16(out + size + 3, answer.details.eventClasses);
    return size + DiscoveryExtensionBytes;
}

bool readDiscoveryAnswer(const uint8_t* data, uint32_t length, DiscoveryAnswer* answer)
{
    if (length < DiscoveryAnswerHeaderBytes || length > DiscoveryAnswerMaxBytes)
        return false;
    if (std::memcmp(data, AnswerMagic, 4) != 0 ||
        (data[4] != DiscoveryVersion && data[4] != DiscoveryExtendedVersion))
        return false;
    const bool extended = data[4] == DiscoveryExtendedVersion;
    uint32_t nameLength = data[21];
    const uint32_t end = DiscoveryAnswerHeaderBytes + nameLength;
    if (nameLength > MaxServerNameBytes || end + (extended ? uint32_t(DiscoveryExtensionBytes) : 0u) != length)
        return false;
    uint16_t port = getU16(data + 17);
    if (port == 0)
        return false;
    answer->token = getU32(data + 5);
    answer->instance = getU32(data + 9);
    answer->host = getU32(data + 13);
    answer->port = port;
    answer->users = getU16(data + 19);
    answer->name =
        cleanServerName(std::string(reinterpret_cast<const char*>(data + DiscoveryAnswerHeaderBytes), nameLength));
    answer->version = data[4];
    answer->details = DiscoveryDetails();
    if (extended) {
        answer->details.limit = getU16(data + end);
        answer->details.needsPassword = (data[end + 2] & 1) != 0;
        answer->details.eventClasses = getU16(data + end + 3);
    }
    return true;
}

// ---- rate limit --------------------------------------------------------------

DiscoveryRateLimit::DiscoveryRateLimit(const Settings& settings) : mSettings(settings), mOverall{0, 0} {}

void DiscoveryRateLimit::refill(Bucket& bucket, uint32_t burst, uint32_t perSecond, uint32_t now)
{
    const uint64_t full = uint64_t(burst) * 1000;
    uint64_t level = bucket.level + uint64_t(now - bucket.last) * perSecond;
    bucket.level = uint32_t(std::min(level, full));
    bucket.last = now;
}

void DiscoveryRateLimit::forgetFullSources(uint32_t now)
{
    for (auto it = mSources.begin(); it != mSources.end();) {
        refill(it->second, mSettings.sourceBurst, mSettings.sourcePerSecond, now);
        if (it->second.level >= mSettings.sourceBurst * 1000)
            it = mSources.erase(it);
        else
            ++it;
    }
}

bool DiscoveryRateLimit::allow(uint32_t sourceHost, uint32_t now)
{
    const uint32_t cost = 1000;
    if (!mStarted) {
        mOverall = {mSettings.overallBurst * 1000, now};
        mStarted = true;
    }
    refill(mOverall, mSettings.overallBurst, mSettings.overallPerSecond, now);

    auto it = mSources.find(sourceHost);
    if (it == mSources.end()) {
        if (mSources.size() >= mSettings.maxSources)
            forgetFullSources(now);
        if (mSources.size() >= mSettings.maxSources)
            return false;
        it = mSources.emplace(sourceHost, Bucket{mSettings.sourceBurst * 1000, now}).first;
    } else {
        refill(it->second, mSettings.sourceBurst, mSettings.sourcePerSecond, now);
    }
    if (mOverall.level < cost || it->second.level < cost)
        return false;
    mOverall.level -= cost;
    it->second.level -= cost;
    return true;
}

// ---- responder -----------------------------------------------------------------

DiscoveryResponder::DiscoveryResponder(const NetAddress& sessionAddress, const std::string& name,
                                       std::function<uint32_t()> userCount, uint16_t discoveryPort)
    : mSessionAddress(sessionAddress), mName(cleanServerName(name)), mUserCount(std::move(userCount)),
      mTimeSource(getRealMilliseconds), mInstance(Random::randomU32()),
      mLoopbackOnly(isLoopbackHost(sessionAddress.netNum[0]))
{
    mListenAddress = ipAddress(mLoopbackOnly ? sessionAddress.netNum[0] : 0, discoveryPort);
}

DiscoveryResponder::~DiscoveryResponder() = default;

bool DiscoveryResponder::open()
{
    // Port 0 is no session anyone could join; finders drop such answers.
    if (mSessionAddress.port == 0)
        return false;
    // Never allowed to send to a broadcast address: a query forged to come
    // from one would otherwise have its answer delivered to a whole network.
    // The port is shared, so that several servers of one user on one host
    // are all offered: each receives every broadcast query. Not a port left
    // to the system to choose: it may hand out one that others share.
    const bool share = mListenAddress.port != 0;
    auto listen = [this, share](const NetAddress& address) {
        auto socket =
            std::make_unique<Socket>(address, Socket::DefaultBufferBytes, ReceiveBufferBytes, false, true, share);
        if (!socket->isValid()) {
            SF_LOG("LogDiscovery", "cannot listen for discovery queries on %s", address.toText());
            mOpenError = socket->setUpError();
            socket.reset();
        }
        return socket;
    };
    mOpenError = 0;
    mSocket = listen(mListenAddress);
    if (!mSocket)
        return false;
    SF_LOG("LogDiscovery", "answering discovery queries on %s", mSocket->boundAddress().toText());
    // Bound to a loopback address, the socket hears no broadcast: the
    // loopback network's broadcast address is bound on its own (a host
    // without that route does without; 127.0.0.1 still reaches one server).
    if (mLoopbackOnly)
        mLoopbackBroadcastSocket = listen(ipAddress(LoopbackBroadcast, mSocket->boundAddress().port));
    mOpenError = 0;
    return true;
}

bool DiscoveryResponder::isOpen() const
{
    return mSocket != nullptr;
}

NetAddress DiscoveryResponder::boundAddress() const
{
    return mSocket ? mSocket->boundAddress() : NetAddress(IPProtocol, AnyAddress, 0);
}

bool DiscoveryResponder::isAnswerable(const NetAddress& source) const
{
    uint32_t host = source.netNum[0];
    if (source.port == 0 || !isUnicastHost(host))
        return false;
    // A session on a loopback address is no use to another host.
    return !mLoopbackOnly || isLoopbackHost(host);
}

void DiscoveryResponder::service()
{
    if (!mSocket)
        return;
    const uint32_t now = mTimeSource();
    uint32_t budget = MaxQueriesPerPass;
    if (mLoopbackBroadcastSocket)
        answerWaiting(*mLoopbackBroadcastSocket, now, &budget);
    answerWaiting(*mSocket, now, &budget);
}

void DiscoveryResponder::answerWaiting(Socket& socket, uint32_t now, uint32_t* budget)
{
    uint8_t buffer[ReceiveCapacityBytes];
    for (; *budget > 0; --*budget) {
        NetAddress source;
        uint32_t length = 0;
        if (socket.recvfrom(&source, buffer, sizeof buffer, &length) != Success)
            break;
        DiscoveryQuery query;
        if (!readDiscoveryQuery(buffer, length, &query) || !isAnswerable(source)) {
            ++mCounters.malformed;
            SF_LOG("LogDiscovery", "ignored a %u-byte datagram from %s", length, source.toText());
            continue;
        }
        if (!mRateLimit.allow(source.netNum[0], now)) {
            ++mCounters.limited;
            continue;
        }
        DiscoveryAnswer answer;
        // The extras only to a finder that asked for them.
        answer.version = std::min<uint32_t>(query.version, DiscoveryExtendedVersion);
        answer.details = mDetails;
        answer.token = query.token;
        answer.instance = mInstance;
        answer.host = mSessionAddress.netNum[0]; // 0 for a session bound to any address
        answer.port = mSessionAddress.port;
        answer.users = uint16_t(std::min<uint32_t>(mUserCount ? mUserCount() : 0, 0xFFFF));
        answer.name = mName;
        uint8_t out[DiscoveryAnswerMaxBytes];
        uint32_t size = writeDiscoveryAnswer(answer, out);
        SF_ASSERT(size <= length, "discovery answer larger than its query");
        if (mSocket->sendto(source, out, size) == Success)
            ++mCounters.answered;
    }
}

// ---- finder --------------------------------------------------------------------

std::vector<NetAddress> defaultDiscoveryTargets(uint16_t discoveryPort)
{
    std::vector<NetAddress> targets;
    for (const BroadcastInterface& found : listBroadcastInterfaces()) {
        NetAddress target = found.broadcast;
        target.port = discoveryPort;
        if (std::find(targets.begin(), targets.end(), target) == targets.end())
            targets.push_back(target);
    }
    // The loopback network's broadcast reaches every server of this host,
    // where a datagram to one address reaches only one of those sharing the
    // port; 127.0.0.1 is asked as well, for a host without that route.
    targets.push_back(ipAddress(LoopbackBroadcast, discoveryPort));
    targets.push_back(NetAddress(IPProtocol, LocalhostAddress, discoveryPort));
    return targets;
}

DiscoveryFinder::DiscoveryFinder(uint16_t discoveryPort) : mDiscoveryPort(discoveryPort) {}

DiscoveryFinder::~DiscoveryFinder() = default;

bool DiscoveryFinder::start(uint32_t now)
{
    if (mTargets.empty())
        mTargets = defaultDiscoveryTargets(mDiscoveryPort);
    mSocket = std::make_unique<Socket>(NetAddress(IPProtocol, AnyAddress, 0), Socket::DefaultBufferBytes,
                                       Socket::DefaultBufferBytes, true, true);
    if (!mSocket->isValid()) {
        mSocket.reset();
        return false;
    }
    mToken = Random::randomU32();
    mStart = now;
    mFirstAnswerMs = -1;
    mServers.clear();
    sendQueries(now);
    return true;
}

NetAddress DiscoveryFinder::boundAddress() const
{
    return mSocket ? mSocket->boundAddress() : NetAddress(IPProtocol, AnyAddress, 0);
}

void DiscoveryFinder::sendQueries(uint32_t now)
{
    uint8_t query[DiscoveryQueryBytes];
    uint32_t size = writeDiscoveryQuery(mToken, query);
    for (const NetAddress& target : mTargets) {
        // A network that is down or unreachable is not worth stopping for.
        if (mSocket->sendto(target, query, size) != Success)
            SF_LOG("LogDiscovery", "could not send a query to %s", target.toText());
    }
    mLastSend = now;
}

void DiscoveryFinder::poll(uint32_t now)
{
    if (!mSocket)
        return;
    readAnswers(now);
    if (now - mLastSend >= ResendMs)
        sendQueries(now);
}

void DiscoveryFinder::readAnswers(uint32_t now)
{
    uint8_t buffer[ReceiveCapacityBytes];
    for (uint32_t i = 0; i < MaxAnswersPerPoll; ++i) {
        NetAddress source;
        uint32_t length = 0;
        if (mSocket->recvfrom(&source, buffer, sizeof buffer, &length) != Success)
            break;
        DiscoveryAnswer answer;
        if (readDiscoveryAnswer(buffer, length, &answer))
            accept(source, answer, now);
    }
}

void DiscoveryFinder::accept(const NetAddress& source, const DiscoveryAnswer& answer, uint32_t now)
{
    if (answer.token != mToken)
        return; // an answer to someone else's query, or to an earlier search
    const uint32_t from = source.netNum[0];
    const uint32_t host = answer.host ? answer.host : from;
    // A loopback address is only meaningful when it came from this host.
    if (!isUnicastHost(host) || (isLoopbackHost(host) && !isLoopbackHost(from)))
        return;
    const NetAddress address = ipAddress(host, answer.port);

    for (FoundServer& known : mServers) {
        if (known.instance == answer.instance) {
            // Reached both ways: keep the address other hosts know it by.
            if (isLoopbackHost(known.address.netNum[0]) && !isLoopbackHost(host))
                known.address = address;
            return;
        }
        if (known.address == address)
            return;
    }
    if (mServers.size() >= MaxServers)
        return;
    FoundServer found;
    found.address = address;
    found.name = answer.name;
    found.users = answer.users;
    found.instance = answer.instance;
    found.detailed = answer.version >= DiscoveryExtendedVersion;
    found.details = answer.details;
    found.roundTripMs = now - mLastSend;
    mServers.push_back(found);
    if (mFirstAnswerMs < 0)
        mFirstAnswerMs = int64_t(now - mStart);
    // toText shares one buffer between calls.
    const std::string sourceText = source.toText();
    SF_LOG("LogDiscovery", "%s answered from %s after %u ms", address.toText(), sourceText.c_str(), now - mStart);
}

std::vector<FoundServer> DiscoveryFinder::find(double seconds)
{
    seconds = std::max(0.0, std::min(seconds, MaxFindSeconds));
    const uint32_t span = uint32_t(seconds * 1000.0);
    uint32_t now = getRealMilliseconds();
    if (!start(now))
        return {};
    const uint32_t begin = now;
    while (now - begin < span) {
        poll(now);
        // Short enough that the first answer is seen within a millisecond or
        // two of its arrival.
        sleepMilliseconds(1);
        now = getRealMilliseconds();
    }
    readAnswers(now);
    return mServers;
}

} // namespace seafold
