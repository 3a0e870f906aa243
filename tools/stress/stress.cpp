// seafold-stress: a hostile or odd peer, for measuring how a server holds up.
//
//   seafold-stress MODE ADDRESS [--seconds S] [--per-second N|max] [--sources N] [--per-source K]
//                  [--max-size BYTES] [--name NAME] [--model NAME] [--voice-bytes N] [--voice-kind speech|random]
//                  [--deaf-after MS] [--move-every MS] [--rate INTERVAL_MS,BYTES_PER_S] [--unpaced 0|1]
//                  [--seed N]
//
// Flood modes (no connection; datagrams from many loopback source addresses
// 127.a.b.c, each address used for --per-source datagrams, --sources sockets
// at a time):
//   challenge  connect challenge requests with random client nonces
//   connect    connect requests with random nonces, token and solution
//   token      connect requests with a token the server really issued to that
//              source (one challenge per source) and a wrong puzzle solution
//   junk       random bytes, 1 to --max-size bytes long (default 2000, so about
//              a quarter are over 1500)
// Session modes (one joined client, name --name, picks --model):
//   voice      posts a c2sVoice of --voice-bytes bytes (default 1023) at
//              --per-second (default 200): LPC-10 frames of a synthetic voice,
//              or random bytes
//              (--unpaced: send a packet every pass, whatever the negotiated
//              rate, as a client that ignores the pace would; --reconnect:
//              join again at once whenever the server ends the connection)
//   no-ack     joins, reads normally for --deaf-after ms (default 2000), then
//              never reads a datagram again, so it never acknowledges anything;
//              it keeps pinging every second (and moving every --move-every ms
//              if given) so that the server does not time it out
//   replay     one sealed handshake whose connect request is kept back; then
//              that request with its last byte changed, from the same address,
//              at --per-second (default as fast as it goes)
//   ghosts     --sources connections from 127.0.0.2, each
//              joined as ghostN and kept alive (acknowledging and pinging)
//
// Output: JSON lines on standard output, each with "t" (wall clock, ms): a
// "progress" line every second and a "summary" line at the end.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/platform.h"
#include "session/eventlog.h"
#include "session/simpleeventconnection.h"
#include "voice/voicecodec.h"

using namespace seafold;

namespace {

volatile std::sig_atomic_t gStop = 0;

void onSignal(int)
{
    gStop = 1;
}

double nowSeconds()
{
    using namespace std::chrono;
    return duration_cast<duration<double>>(steady_clock::now().time_since_epoch()).count();
}

// xorshift64*: fast enough for a quarter of a million datagrams a second.
struct FastRandom {
    uint64_t state;
    explicit FastRandom(uint64_t seed) : state(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    uint64_t next()
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 2685821657736338717ull;
    }
    void fill(uint8_t* out, size_t n)
    {
        for (size_t i = 0; i < n; i += 8) {
            uint64_t v = next();
            for (size_t k = 0; k < 8 && i + k < n; ++k)
                out[i + k] = uint8_t(v >> (8 * k));
        }
    }
};

struct Options {
    std::string mode;
    NetAddress server;
    double seconds = 30;
    double perSecond = 0; // 0 = as fast as possible
    bool perSecondGiven = false;
    uint32_t sources = 256;
    uint32_t perSource = 64;
    uint32_t maxSize = 2000;
    std::string name = "stress";
    std::string model = "boat.mesh";
    uint32_t voiceBytes = 1023;
    std::string voiceKind = "speech";
    uint32_t deafAfterMs = 2000;
    uint32_t moveEveryMs = 0;
    bool rateGiven = false;
    NetConnection::RateInfo rate;
    uint64_t seed = 1;
    bool unpaced = false;
    bool reconnect = false; // session modes: join again at once whenever ended
    bool perSourceGiven = false;
};

const char* const Usage =
    "usage: seafold-stress (challenge|connect|token|junk|voice|no-ack|replay|ghosts) ADDRESS [--seconds S] "
    "[--per-second N|max] "
    "[--sources N] [--per-source K] [--max-size BYTES] [--name NAME] [--model NAME] [--voice-bytes N] "
    "[--voice-kind speech|random] [--deaf-after MS] [--move-every MS] [--rate INTERVAL_MS,BYTES_PER_S] [--unpaced 0|1] "
    "[--reconnect 0|1] [--seed N]";

bool parseOptions(int argc, char** argv, Options* o, std::string* error)
{
    if (argc < 3) {
        *error = "MODE and ADDRESS are required";
        return false;
    }
    o->mode = argv[1];
    static const char* modes[] = {"challenge", "connect", "token", "junk", "voice", "no-ack", "replay", "ghosts"};
    if (std::none_of(std::begin(modes), std::end(modes), [&](const char* m) { return o->mode == m; })) {
        *error = "unknown mode " + o->mode;
        return false;
    }
    if (!o->server.parse(argv[2])) {
        *error = std::string("cannot read the address ") + argv[2];
        return false;
    }
    for (int i = 3; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) {
            *error = "option " + arg + " needs a value";
            return false;
        }
        std::string value = argv[++i];
        char* end = nullptr;
        double number = std::strtod(value.c_str(), &end);
        bool numeric = !value.empty() && end && *end == 0 && std::isfinite(number) && number >= 0;
        auto needNumber = [&](double low, double high) {
            if (!numeric || number < low || number > high) {
                *error = arg + " takes a number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not \"" + value + "\"";
                return false;
            }
            return true;
        };
        if (arg == "--seconds") {
            if (!needNumber(0.1, 86400))
                return false;
            o->seconds = number;
        } else if (arg == "--per-second") {
            o->perSecondGiven = true;
            if (value == "max") {
                o->perSecond = 0;
            } else {
                if (!needNumber(0.01, 1e8))
                    return false;
                o->perSecond = number;
            }
        } else if (arg == "--sources") {
            if (!needNumber(1, 4096))
                return false;
            o->sources = uint32_t(number);
        } else if (arg == "--per-source") {
            if (!needNumber(1, 1e9))
                return false;
            o->perSource = uint32_t(number);
            o->perSourceGiven = true;
        } else if (arg == "--max-size") {
            if (!needNumber(1, 65000))
                return false;
            o->maxSize = uint32_t(number);
        } else if (arg == "--name") {
            o->name = value;
        } else if (arg == "--model") {
            o->model = value;
        } else if (arg == "--voice-bytes") {
            if (!needNumber(1, 1023))
                return false;
            o->voiceBytes = uint32_t(number);
        } else if (arg == "--voice-kind") {
            if (value != "speech" && value != "random") {
                *error = "--voice-kind takes speech or random";
                return false;
            }
            o->voiceKind = value;
        } else if (arg == "--deaf-after") {
            if (!needNumber(0, 3600000))
                return false;
            o->deafAfterMs = uint32_t(number);
        } else if (arg == "--move-every") {
            if (!needNumber(1, 3600000))
                return false;
            o->moveEveryMs = uint32_t(number);
        } else if (arg == "--rate") {
            unsigned interval = 0, bandwidth = 0;
            char tail = 0;
            if (std::sscanf(value.c_str(), "%u,%u%c", &interval, &bandwidth, &tail) != 2 || interval < 1 ||
                interval > 2047 || bandwidth > 65535) {
                *error = "--rate takes INTERVAL_MS,BYTES_PER_S (1..2047, 0..65535), not \"" + value + "\"";
                return false;
            }
            o->rateGiven = true;
            o->rate.minPacketSendPeriod = o->rate.minPacketRecvPeriod = interval;
            o->rate.maxSendBandwidth = o->rate.maxRecvBandwidth = bandwidth;
        } else if (arg == "--unpaced") {
            if (!needNumber(0, 1))
                return false;
            o->unpaced = number != 0;
        } else if (arg == "--reconnect") {
            if (!needNumber(0, 1))
                return false;
            o->reconnect = number != 0;
        } else if (arg == "--seed") {
            if (!needNumber(0, 1e18))
                return false;
            o->seed = uint64_t(number);
        } else {
            *error = "unknown option " + arg;
            return false;
        }
    }
    if (o->mode == "voice" && !o->perSecondGiven)
        o->perSecond = 200;
    // A token is worth replaying: asking for one costs a round trip.
    if (o->mode == "token" && !o->perSourceGiven)
        o->perSource = 4096;
    return true;
}

// ---- floods -------------------------------------------------------------------

// Loopback source address number i: 127.a.b.c with c in 1..254, never
// 127.0.0.x (where real peers live).
NetAddress sourceAddress(uint32_t i)
{
    NetAddress address;
    uint32_t c = 1 + i % 254;
    uint32_t b = (i / 254) % 256;
    uint32_t a = 1 + (i / (254 * 256)) % 254;
    address.netNum[0] = (127u << 24) | (a << 16) | (b << 8) | c;
    address.port = 0;
    return address;
}

struct Source {
    std::unique_ptr<Socket> socket;
    uint32_t used = 0;
    // token mode: what the server issued to this address
    bool hasToken = false;
    Nonce clientNonce, serverNonce;
    uint32_t token = 0, difficulty = 0;
};

class Flood {
public:
    explicit Flood(const Options& options) : mOptions(options), mRandom(options.seed)
    {
        // The class registry gives the connect requests their real checksum
        // and event class count.
        NetClassRep::initialize();
        mPrototype = new SimpleEventConnection;
    }

    int run()
    {
        mSources.resize(mOptions.sources);
        double start = nowSeconds(), lastReport = start;
        uint64_t sent = 0, failed = 0;
        uint32_t next = 0;
        while (!gStop) {
            double now = nowSeconds();
            double elapsed = now - start;
            if (elapsed >= mOptions.seconds)
                break;
            if (now - lastReport >= 1.0) {
                lastReport = now;
                std::printf("{\"progress\": \"%s\", \"sent\": %llu, \"failed\": %llu, \"sources_used\": %u, "
                            "\"t\": %lld}\n",
                            mOptions.mode.c_str(), (unsigned long long)sent, (unsigned long long)failed, mAddressesUsed,
                            (long long)wallClockMs());
                std::fflush(stdout);
            }
            uint64_t due = mOptions.perSecond > 0 ? uint64_t(elapsed * mOptions.perSecond) : sent + 256;
            if (due <= sent) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            // At most a few milliseconds' worth at once, so the pace stays even.
            uint64_t burst = std::min<uint64_t>(due - sent, 512);
            for (uint64_t k = 0; k < burst; ++k) {
                Source& source = mSources[next];
                next = (next + 1) % mOptions.sources;
                if (!ready(source))
                    continue;
                if (sendOne(source) == Success)
                    ++sent;
                else
                    ++failed, ++sent; // counted as an attempt: the pace must not chase failures
                ++source.used;
            }
        }
        double seconds = nowSeconds() - start;
        std::printf("{\"summary\": \"%s\", \"seconds\": %.2f, \"attempted\": %llu, \"failed\": %llu, "
                    "\"per_second\": %.0f, \"sources_used\": %u, \"tokens_obtained\": %u, \"t\": %lld}\n",
                    mOptions.mode.c_str(), seconds, (unsigned long long)sent, (unsigned long long)failed,
                    double(sent - failed) / std::max(seconds, 1e-9), mAddressesUsed, mTokens, (long long)wallClockMs());
        return 0;
    }

private:
    // Gives the slot a socket on a fresh address when it has none or its
    // address has sent its share; in token mode also asks for a challenge.
    bool ready(Source& source)
    {
        if (source.socket && source.used < mOptions.perSource)
            return source.socket->isValid() && (mOptions.mode != "token" || source.hasToken);
        source = Source();
        // Small buffers: replies to the flood are never read.
        source.socket = std::make_unique<Socket>(sourceAddress(mNextAddress++), 65536, 4096);
        ++mAddressesUsed;
        if (!source.socket->isValid())
            return false;
        if (mOptions.mode == "token")
            askToken(source);
        return mOptions.mode != "token" || source.hasToken;
    }

    // Challenge request from this source, then a bounded wait for the reply.
    void askToken(Source& source)
    {
        source.clientNonce.getRandom();
        for (int attempt = 0; attempt < 3 && !source.hasToken && !gStop; ++attempt) {
            PacketStream out;
            out.writeU8(NetInterface::ConnectChallengeRequest);
            source.clientNonce.write(out);
            out.writeFlag(false);
            out.writeFlag(false);
            out.sendTo(*source.socket, mOptions.server);
            double until = nowSeconds() + 0.2;
            while (nowSeconds() < until && !source.hasToken) {
                PacketStream in;
                NetAddress from;
                if (in.receiveFrom(*source.socket, &from) != Success) {
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                    continue;
                }
                Nonce echoed;
                if (in.readU8() != NetInterface::ChallengeResponse || !echoed.read(in) || echoed != source.clientNonce)
                    continue;
                source.token = in.readU32();
                source.serverNonce.read(in);
                source.difficulty = in.readU32();
                source.hasToken = !in.hasError();
            }
        }
        mTokens += source.hasToken;
    }

    NetResult sendOne(Source& source)
    {
        if (mOptions.mode == "junk") {
            uint32_t size = 1 + uint32_t(mRandom.next() % mOptions.maxSize);
            mJunk.resize(size);
            mRandom.fill(mJunk.data(), size);
            return source.socket->sendto(mOptions.server, mJunk.data(), size);
        }
        PacketStream out;
        Nonce nonce;
        mRandom.fill(nonce.data, Nonce::SizeBytes);
        if (mOptions.mode == "challenge") {
            out.writeU8(NetInterface::ConnectChallengeRequest);
            nonce.write(out);
            out.writeFlag(false);
            out.writeFlag(false);
            return out.sendTo(*source.socket, mOptions.server);
        }
        // A connect request as a client writes it, for a connection class
        // the server knows.
        out.writeU8(NetInterface::ConnectRequest);
        if (mOptions.mode == "token") {
            source.clientNonce.write(out);
            source.serverNonce.write(out);
            out.writeU32(source.token);
            out.writeU32(source.difficulty);
        } else {
            nonce.write(out);
            mRandom.fill(nonce.data, Nonce::SizeBytes);
            nonce.write(out);
            out.writeU32(uint32_t(mRandom.next()));
            out.writeU32(uint32_t(mRandom.next() % 27));
        }
        out.writeU32(uint32_t(mRandom.next())); // solution: almost surely wrong
        out.writeFlag(false);                   // no crypto
        out.writeFlag(false);                   // no debug sizes
        out.writeU32(uint32_t(mRandom.next())); // initial sequence
        out.writeText("SimpleEventConnection");
        mPrototype->writeConnectRequest(out);
        return out.sendTo(*source.socket, mOptions.server);
    }

    const Options& mOptions;
    FastRandom mRandom;
    std::vector<Source> mSources;
    std::vector<uint8_t> mJunk;
    RefPtr<SimpleEventConnection> mPrototype; // writes the connection's part of a connect request
    uint32_t mNextAddress = 0;
    uint32_t mAddressesUsed = 0;
    uint32_t mTokens = 0;
};

// ---- session peers -------------------------------------------------------------

class NullScene : public ClientScene {
public:
    void attachModel(ClientRecord&) override {}
    void detachModel(ClientRecord&) override {}
    void translateNode(ClientRecord&, float, float, float) override {}
    void forgetClient(ClientRecord&) override {}
};

const double Pi = 3.14159265358979323846;

// LPC-10 frames of a buzzy vowel, cut to `bytes`: what a talking client sends.
RefPtr<ByteBuffer> voicePayload(const Options& o, FastRandom& random)
{
    RefPtr<ByteBuffer> out = new ByteBuffer(o.voiceBytes);
    if (o.voiceKind == "random") {
        random.fill(out->data(), o.voiceBytes);
        return out;
    }
    RefPtr<LPC10VoiceEncoder> encoder = new LPC10VoiceEncoder;
    std::vector<uint8_t> frames;
    const uint32_t chunk = encoder->frameSampleCount() * 20;
    double phase = 0;
    while (frames.size() < o.voiceBytes) {
        RefPtr<ByteBuffer> samples = new ByteBuffer(chunk * 2);
        int16_t* s = reinterpret_cast<int16_t*>(samples->data());
        for (uint32_t i = 0; i < chunk; ++i) {
            phase += 2 * Pi * 140.0 / 8000.0;
            s[i] = int16_t(6000 * std::sin(phase) + 3000 * std::sin(5.3 * phase) + 1500 * std::sin(11.7 * phase));
        }
        RefPtr<ByteBuffer> encoded = encoder->encodeBuffer(samples);
        if (!encoded)
            break;
        frames.insert(frames.end(), encoded->data(), encoded->data() + encoded->size());
    }
    frames.resize(o.voiceBytes);
    std::copy(frames.begin(), frames.end(), out->data());
    return out;
}

int runSessionPeer(const Options& o)
{
    NullScene scene;
    Roster roster(&scene);
    Session session(roster, false);
    std::string ending;
    SessionListener listener;
    listener.onConnectionState = [&](const char* state, const char* reason) {
        std::printf("{\"state\": \"%s\", \"reason\": %s, \"t\": %lld}\n", state, jsonString(reason ? reason : "").c_str(),
                    (long long)wallClockMs());
        std::fflush(stdout);
        if (std::string(state) != "connected")
            ending = std::string(state) + ": " + reason;
    };
    session.subscribe(std::move(listener));
    RefPtr<SessionInterface> netInterface = new SessionInterface(NetAddress(IPProtocol, AnyAddress, 0), session);
    auto join = [&] {
        SimpleEventConnection* connection = new SimpleEventConnection;
        if (o.rateGiven)
            connection->setLocalRate(o.rate);
        session.setServerConnection(connection);
        connection->connect(netInterface, o.server);
        connection->c2sAddNewClient(StringPtr(o.name.c_str()));
    };
    join();
    uint64_t joins = 1, postedAtJoin = 0;

    FastRandom random(o.seed);
    RefPtr<ByteBuffer> payload = o.mode == "voice" ? voicePayload(o, random) : RefPtr<ByteBuffer>();
    uint64_t posted = 0, moves = 0;
    bool picked = false, deaf = false;
    double start = nowSeconds(), established = 0, lastReport = start, lastMove = 0;
    while (!gStop && nowSeconds() - start < o.seconds) {
        double now = nowSeconds();
        if (!deaf)
            netInterface->receivePackets();
        netInterface->serviceConnections();
        if (o.reconnect && !session.serverConnection()) {
            join();
            ++joins;
            picked = false;
        }
        SimpleEventConnection* c = session.serverConnection();
        if (o.unpaced && c && c->isEstablished())
            c->sendStep(true, netInterface->currentTime());
        if (c && c->isEstablished()) {
            if (!picked) {
                picked = true;
                established = lastMove = now;
                postedAtJoin = posted;
                c->c2sEntitySelection(StringPtr(o.model.c_str()));
            }
            if (o.mode == "voice" && o.perSecond > 0) {
                uint64_t due = postedAtJoin + uint64_t((now - established) * o.perSecond);
                for (; posted < due; ++posted)
                    c->c2sVoice(false, payload, StringPtr(o.name.c_str()));
            }
            if (o.mode == "no-ack" && !deaf && (now - established) * 1000 >= o.deafAfterMs) {
                deaf = true;
                // Ping every second and never give up: the server hears from
                // us all the time, yet nothing it sends is ever acknowledged.
                c->setPingTimeouts(1000, 0xFFFFFFFFu);
                std::printf("{\"deaf\": true, \"t\": %lld}\n", (long long)wallClockMs());
                std::fflush(stdout);
            }
            while (o.moveEveryMs && (now - lastMove) * 1000 >= o.moveEveryMs) {
                lastMove += o.moveEveryMs / 1000.0;
                c->c2smakeMovement(1, 0, 0);
                ++moves;
            }
        }
        if (now - lastReport >= 1.0) {
            lastReport = now;
            EventConnection::QueueDepths q = c ? c->queueDepths() : EventConnection::QueueDepths();
            std::printf("{\"progress\": \"%s\", \"connected\": %s, \"posted\": %llu, \"moves\": %llu, "
                        "\"queued\": %u, \"in_flight\": %u, \"t\": %lld}\n",
                        o.mode.c_str(), c && c->isEstablished() ? "true" : "false", (unsigned long long)posted,
                        (unsigned long long)moves, q.orderedSend + q.unorderedSend, q.awaitingDelivery, (long long)wallClockMs());
            std::fflush(stdout);
        }
        sleepMilliseconds(1);
    }
    std::printf("{\"summary\": \"%s\", \"seconds\": %.2f, \"established\": %s, \"posted\": %llu, \"moves\": %llu, "
                "\"joins\": %llu, \"ending\": %s, \"t\": %lld}\n",
                o.mode.c_str(), nowSeconds() - start, established > 0 ? "true" : "false", (unsigned long long)posted,
                (unsigned long long)moves, (unsigned long long)joins, ending.empty() ? "null" : jsonString(ending).c_str(),
                (long long)wallClockMs());
    std::fflush(stdout);
    roster.clear();
    return 0;
}

// Keeps back the first connect request a client sends; passes on the rest.
class RequestCatcher : public PacketFilter {
public:
    std::vector<uint8_t> request;
    NetResult filterSend(Socket& socket, const NetAddress& destination, const uint8_t* data, uint32_t length) override
    {
        if (length > 0 && data[0] == NetInterface::ConnectRequest) {
            if (request.empty())
                request.assign(data, data + length);
            return Success;
        }
        return socket.sendRaw(destination, data, length);
    }
};

int runReplay(const Options& o)
{
    NullScene scene;
    Roster roster(&scene);
    Session session(roster, false);
    RefPtr<SessionInterface> netInterface = new SessionInterface(NetAddress(IPProtocol, AnyAddress, 0), session);
    netInterface->setAsksForKeyExchange(true);
    RequestCatcher catcher;
    netInterface->socket().setPacketFilter(&catcher);
    RefPtr<SimpleEventConnection> connection = new SimpleEventConnection;
    connection->connect(netInterface, o.server);
    const double start = nowSeconds();
    while (!gStop && catcher.request.empty() && nowSeconds() - start < 10) {
        netInterface->receivePackets();
        netInterface->serviceConnections();
        sleepMilliseconds(1);
    }
    netInterface->socket().setPacketFilter(nullptr);
    std::vector<uint8_t> forged = catcher.request;
    if (forged.empty()) {
        std::printf("{\"summary\": \"replay\", \"error\": \"no connect request\", \"t\": %lld}\n", (long long)wallClockMs());
        return 1;
    }
    forged.back() ^= 0x01; // the seal no longer checks out
    // From here the interface is not run: only its socket, its address.
    Socket& socket = netInterface->socket();
    uint64_t sent = 0;
    const double begin = nowSeconds();
    double lastReport = begin;
    while (!gStop && nowSeconds() - begin < o.seconds) {
        const double now = nowSeconds();
        const uint64_t due = o.perSecond > 0 ? uint64_t((now - begin) * o.perSecond) : sent + 64;
        for (; sent < due; ++sent)
            socket.sendRaw(o.server, forged.data(), uint32_t(forged.size()));
        uint8_t drop[1500];
        uint32_t length;
        NetAddress from;
        while (socket.recvfrom(&from, drop, sizeof drop, &length) == Success) {
        }
        if (now - lastReport >= 1.0) {
            lastReport = now;
            std::printf("{\"progress\": \"replay\", \"sent\": %llu, \"t\": %lld}\n", (unsigned long long)sent,
                        (long long)wallClockMs());
            std::fflush(stdout);
        }
        if (o.perSecond > 0)
            sleepMilliseconds(1);
    }
    std::printf("{\"summary\": \"replay\", \"seconds\": %.2f, \"sent\": %llu, \"bytes\": %zu, \"t\": %lld}\n",
                nowSeconds() - begin, (unsigned long long)sent, forged.size(), (long long)wallClockMs());
    std::fflush(stdout);
    return 0;
}

int runGhosts(const Options& o)
{
    NullScene scene;
    Roster roster(&scene);
    Session session(roster, false);
    std::map<std::string, int> endings;
    SessionListener listener;
    listener.onConnectionState = [&](const char* state, const char* reason) {
        if (std::string(state) != "connected")
            ++endings[std::string(state) + ": " + (reason ? reason : "")];
    };
    session.subscribe(std::move(listener));
    NetAddress bind;
    bind.parse("127.0.0.2");
    std::vector<RefPtr<SessionInterface>> interfaces;
    std::vector<RefPtr<SimpleEventConnection>> connections;
    for (uint32_t i = 0; i < o.sources; ++i) {
        RefPtr<SessionInterface> netInterface = new SessionInterface(bind, session);
        netInterface->setAsksForKeyExchange(true);
        RefPtr<SimpleEventConnection> connection = new SimpleEventConnection;
        connection->connect(netInterface, o.server);
        connection->c2sAddNewClient(StringPtr(("ghost" + std::to_string(i)).c_str()));
        interfaces.push_back(netInterface);
        connections.push_back(connection);
    }
    const double start = nowSeconds();
    double lastReport = start;
    uint32_t most = 0;
    while (!gStop && nowSeconds() - start < o.seconds) {
        for (auto& netInterface : interfaces) {
            netInterface->receivePackets();
            netInterface->serviceConnections();
        }
        uint32_t established = 0;
        for (auto& connection : connections)
            established += connection->isEstablished();
        most = std::max(most, established);
        if (nowSeconds() - lastReport >= 1.0) {
            lastReport = nowSeconds();
            std::printf("{\"progress\": \"ghosts\", \"established\": %u, \"t\": %lld}\n", established, (long long)wallClockMs());
            std::fflush(stdout);
        }
        sleepMilliseconds(2);
    }
    std::string ended;
    for (auto& [what, count] : endings)
        ended += (ended.empty() ? "" : ", ") + jsonString(what) + ": " + std::to_string(count);
    std::printf("{\"summary\": \"ghosts\", \"seconds\": %.2f, \"most_established\": %u, \"endings\": {%s}, "
                "\"t\": %lld}\n",
                nowSeconds() - start, most, ended.c_str(), (long long)wallClockMs());
    std::fflush(stdout);
    connections.clear();
    interfaces.clear();
    roster.clear();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "seafold-stress: %s\n%s\n", error.c_str(), Usage);
        return 2;
    }
    setDebugOutput([](const char*) {});
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    if (options.mode == "voice" || options.mode == "no-ack")
        return runSessionPeer(options);
    if (options.mode == "replay")
        return runReplay(options);
    if (options.mode == "ghosts")
        return runGhosts(options);
    return Flood(options).run();
}
