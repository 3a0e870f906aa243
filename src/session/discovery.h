// Finding a session on the local network without typing its address.
//
// A server runs a DiscoveryResponder beside its session. It listens on a UDP
// port of its own (28001 by default), so the session's wire is untouched. A
// client's DiscoveryFinder sends one query to the broadcast address of every
// up, non-loopback IPv4 interface, to the loopback network's broadcast address
// and to 127.0.0.1, and collects the answers.
//
// Both datagrams are plain bytes, numbers most significant byte first.
//
// Query, finder to a responder's discovery port, DiscoveryQueryBytes bytes:
//   [0]  magic    (4 bytes)  "SFDQ"
//   [4]  version  (u8)       1
//   [5]  token    (u32)      chosen by the finder, echoed in the answer
//   [9]  padding  (87 bytes) zero
// The padding makes a query as large as the largest answer, so answering can
// never send more bytes than it received. A responder answers any datagram of
// at least DiscoveryQueryBytes bytes with the magic and a version of 1 or
// more (later versions may use the padding), always with a version-1 answer.
//
// Answer, responder to the query's source, DiscoveryAnswerHeaderBytes + name
// bytes, at most DiscoveryAnswerMaxBytes:
//   [0]  magic      (4 bytes) "SFDA"
//   [4]  version    (u8)      1
//   [5]  token      (u32)     the query's
//   [9]  instance   (u32)     random per responder: a server reached along
//                             two paths (loopback and broadcast) is listed once
//   [13] host       (u32)     the session's IPv4 address; 0 = the address the
//                             answer came from (a session bound to any address)
//   [17] port       (u16)     the session's port, never 0
//   [19] users      (u16)     users in the session, 65535 for more
//   [21] nameLength (u8)      0 .. MaxServerNameBytes
//   [22] name       (nameLength bytes) UTF-8, cut only between characters
// The magics differ so that a responder never answers an answer: two
// responders cannot be set talking to each other by one forged datagram.
//
// Version 2 adds what a server list shows beside the name. Only a finder
// that asks with version 2 gets it, so a finder of version 1 (which reads an
// answer of exactly version 1 and exactly its length) always gets the answer
// it knows. A version-2 answer is the version-1 layout with 2 in the
// version byte, followed right after the name by:
//   [22+n] limit      (u16) users the server takes, 0 = no limit told
//   [24+n] flags      (u8)  bit 0: a join needs a password
//   [25+n] classes    (u16) the session's event classes (its wire version:
//                           a finder tells from it whether it can join)
// A responder of version 1 answers a version-2 query with a version-1
// answer, which a version-2 finder reads as before (without the extras).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/address.h"

namespace seafold {

class Socket;

enum : uint16_t { DefaultDiscoveryPort = 28001 };

enum : uint32_t {
    DiscoveryVersion = 1,
    DiscoveryExtendedVersion = 2,
    DiscoveryExtensionBytes = 5,
    // Long enough for any host name (64 bytes on this platform) and short
    // enough for one line of a server list.
    MaxServerNameBytes = 64,
    DiscoveryAnswerHeaderBytes = 22,
    DiscoveryAnswerMaxBytes = DiscoveryAnswerHeaderBytes + MaxServerNameBytes + DiscoveryExtensionBytes,
    // Rounded up from the largest answer; see the layout above.
    DiscoveryQueryBytes = 96,
};
static_assert(DiscoveryAnswerMaxBytes <= DiscoveryQueryBytes, "an answer must never outgrow its query");

// ---- datagrams ---------------------------------------------------------------

struct DiscoveryQuery {
    uint32_t version = DiscoveryVersion;
    uint32_t token = 0;
};

// What a version-2 answer adds.
struct DiscoveryDetails {
    uint16_t limit = 0; // 0: not told
    bool needsPassword = false;
    uint16_t eventClasses = 0;
};

struct DiscoveryAnswer {
    uint32_t version = DiscoveryVersion; // DiscoveryExtendedVersion: `details` is set
    DiscoveryDetails details;
    uint32_t token = 0;
    uint32_t instance = 0;
    uint32_t host = 0; // 0 = the answer's source address
    uint16_t port = 0;
    uint16_t users = 0;
    std::string name; // read: cleaned UTF-8 of at most MaxServerNameBytes
};

// Writes a query into `out` (DiscoveryQueryBytes bytes); returns its size.
uint32_t writeDiscoveryQuery(uint32_t token, uint8_t* out, uint32_t version = DiscoveryExtendedVersion);
// False for anything that is not a query this responder may answer.
bool readDiscoveryQuery(const uint8_t* data, uint32_t length, DiscoveryQuery* query);

// Writes an answer into `out` (room for DiscoveryAnswerMaxBytes bytes); the
// name goes through cleanServerName. Returns its size.
uint32_t writeDiscoveryAnswer(const DiscoveryAnswer& answer, uint8_t* out);
// False for a datagram that is not exactly one answer of version 1 or 2:
// short, long, wrong magic or version, port 0, or a name length past the end
// or the limit.
// The name it returns is cleaned (see cleanServerName).
bool readDiscoveryAnswer(const uint8_t* data, uint32_t length, DiscoveryAnswer* answer);

// Makes a name safe to send and to print: every byte sequence that is not
// valid UTF-8, and every control character (which could drive a terminal),
// becomes U+FFFD; the result is cut to at most MaxServerNameBytes bytes, at
// a character boundary.
std::string cleanServerName(const std::string& text);

// ---- rate limit --------------------------------------------------------------

// Token buckets: one for all answers and one per source host (the port is not
// part of the key, so changing it gains nothing). Time is passed in.
class DiscoveryRateLimit {
public:
    struct Settings {
        // A finder sends about two queries per interface and half second; a
        // burst of 8 lets a few finders share one host.
        uint32_t sourceBurst = 8;
        uint32_t sourcePerSecond = 4;
        // A guard against a flood of forged sources, high enough that one
        // host's flood (held to its own 4 a second) cannot use it up for
        // everyone else. Answers are smaller than queries, so whatever the
        // sources, the server never sends more than it is sent: at most
        // 1,000 answers of 86 bytes a second, under 90 KB/s.
        uint32_t overallBurst = 1000;
        uint32_t overallPerSecond = 1000;
        // Past this many remembered sources, a new source is refused until an
        // old one's bucket has filled up again (a full bucket is forgotten).
        uint32_t maxSources = 4096;
    };

    DiscoveryRateLimit() : DiscoveryRateLimit(Settings()) {}
    explicit DiscoveryRateLimit(const Settings& settings);
    // True, and one token taken from both buckets, when both have one.
    bool allow(uint32_t sourceHost, uint32_t now);
    uint32_t sourceCount() const { return uint32_t(mSources.size()); }

private:
    // Levels in thousandths of a token, so a refill of N tokens a second is
    // N per millisecond and needs no fractions.
    struct Bucket {
        uint32_t level;
        uint32_t last;
    };
    static void refill(Bucket& bucket, uint32_t burst, uint32_t perSecond, uint32_t now);
    void forgetFullSources(uint32_t now);

    Settings mSettings;
    Bucket mOverall;
    bool mStarted = false;
    std::unordered_map<uint32_t, Bucket> mSources;
};

// ---- responder -----------------------------------------------------------------

// Answers discovery queries for one session. Main thread only.
//
// Where it listens follows the session's bind address: a session bound to a
// loopback address is answered for on that address and on the loopback
// network's broadcast address only, so no other host can hear of it (it could
// not reach it); any other session is answered for on every interface, since
// broadcasts only reach a socket bound to any. The port is shared with the
// other servers of its user on this host, so that every one of them receives
// each broadcast query.
class DiscoveryResponder {
public:
    struct Counters {
        uint32_t answered = 0;
        uint32_t malformed = 0; // not a query, or from an address never answered
        uint32_t limited = 0;   // refused by the rate limit
    };

    DiscoveryResponder(const NetAddress& sessionAddress, const std::string& name, std::function<uint32_t()> userCount,
                       uint16_t discoveryPort = DefaultDiscoveryPort);
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    // Binds the discovery port. Other responders of the same user on this
    // host may bind it too: broadcast queries reach all of them, a query to
    // one address (127.0.0.1, say) only one. False when it cannot (another
    // user's program holds the port, or it is not allowed), and for a
    // session address without a port: give it the address the session's
    // socket is bound to.
    bool open();
    bool isOpen() const;
    // Why open() failed last: the platform's error number (0 when it did
    // not, or when there was no port to offer).
    int openError() const { return mOpenError; }
    NetAddress listenAddress() const { return mListenAddress; }
    // Where the socket is bound (the port chosen when 0 was asked for).
    NetAddress boundAddress() const;

    // One main-loop pass: reads the waiting queries (at most
    // MaxQueriesPerPass in all, so a flood cannot stall the loop) and answers
    // those the limits allow.
    void service();

    // Default: the real millisecond clock.
    void setTimeSource(std::function<uint32_t()> source) { mTimeSource = std::move(source); }
    void setRateLimit(const DiscoveryRateLimit::Settings& settings) { mRateLimit = DiscoveryRateLimit(settings); }
    // What a finder of version 2 is told beside the name (default: nothing).
    void setDetails(const DiscoveryDetails& details) { mDetails = details; }
    const Counters& counters() const { return mCounters; }
    const std::string& name() const { return mName; }
    uint32_t instance() const { return mInstance; }

    // A pass reads this many at most: at a main-loop pass every few
    // milliseconds, some 200,000 a second, so a flood from one host does not
    // fill the socket's buffer and crowd out another host's query. Refusing
    // a query costs a table lookup.
    enum : uint32_t { MaxQueriesPerPass = 1024, ReceiveBufferBytes = 1 << 20 };

private:
    bool isAnswerable(const NetAddress& source) const;
    // Reads and answers the queries waiting on `socket`, at most `budget`.
    void answerWaiting(Socket& socket, uint32_t now, uint32_t* budget);

    NetAddress mSessionAddress;
    NetAddress mListenAddress;
    std::string mName;
    std::function<uint32_t()> mUserCount;
    std::function<uint32_t()> mTimeSource;
    uint32_t mInstance;
    bool mLoopbackOnly;
    std::unique_ptr<Socket> mSocket;                  // answers go out here
    std::unique_ptr<Socket> mLoopbackBroadcastSocket; // a loopback session's broadcasts
    int mOpenError = 0;
    DiscoveryRateLimit mRateLimit;
    Counters mCounters;
    DiscoveryDetails mDetails;
};

// ---- finder --------------------------------------------------------------------

struct FoundServer {
    NetAddress address; // the session's address and port
    std::string name;   // cleaned UTF-8
    uint32_t users = 0;
    uint32_t instance = 0;
    bool detailed = false; // a version-2 answer: `details` is set
    DiscoveryDetails details;
    uint32_t roundTripMs = 0; // from the last query sent to the answer
};

// The broadcast address of every up, non-loopback IPv4 interface, then
// 127.255.255.255 and 127.0.0.1, all on the given port.
std::vector<NetAddress> defaultDiscoveryTargets(uint16_t discoveryPort = DefaultDiscoveryPort);

// Sends queries and collects the distinct answers. Main thread only.
class DiscoveryFinder {
public:
    enum : uint32_t {
        // A lost query is sent again after this long while the search runs.
        ResendMs = 500,
        // Forged answers cannot grow the list past this.
        MaxServers = 64,
    };

    explicit DiscoveryFinder(uint16_t discoveryPort = DefaultDiscoveryPort);
    ~DiscoveryFinder();
    DiscoveryFinder(const DiscoveryFinder&) = delete;
    DiscoveryFinder& operator=(const DiscoveryFinder&) = delete;

    // Where queries go; defaultDiscoveryTargets when none are set by start.
    void setTargets(std::vector<NetAddress> targets) { mTargets = std::move(targets); }
    const std::vector<NetAddress>& targets() const { return mTargets; }

    // Non-blocking use: start opens the socket and sends the first queries
    // (false when no socket could be opened); poll reads the answers that
    // arrived and resends the queries when due.
    bool start(uint32_t now);
    void poll(uint32_t now);
    const std::vector<FoundServer>& servers() const { return mServers; }
    // Where answers come back to (after start).
    NetAddress boundAddress() const;
    // Milliseconds from start to the first answer kept; negative before one.
    int64_t firstAnswerMs() const { return mFirstAnswerMs; }

    // Blocking use: searches for `seconds` and returns what answered, in the
    // order the answers arrived.
    std::vector<FoundServer> find(double seconds);

private:
    void sendQueries(uint32_t now);
    void readAnswers(uint32_t now);
    void accept(const NetAddress& source, const DiscoveryAnswer& answer, uint32_t now);

    uint16_t mDiscoveryPort;
    std::vector<NetAddress> mTargets;
    std::unique_ptr<Socket> mSocket;
    uint32_t mToken = 0;
    uint32_t mStart = 0;
    uint32_t mLastSend = 0;
    int64_t mFirstAnswerMs = -1;
    std::vector<FoundServer> mServers;
};

} // namespace seafold
