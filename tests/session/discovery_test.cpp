// Discovery: the two datagrams against bytes worked out by hand, the readers'
// refusals, name cleaning, the rate limit, and responders and finders talking
// over loopback (127.0.0.x only; every port chosen by the system).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "base/platform.h"
#include "net/socket.h"
#include "session/discovery.h"

using namespace seafold;

namespace {

NetAddress loopback(uint8_t last, uint16_t port)
{
    NetAddress address(IPProtocol, LocalhostAddress, port);
    address.netNum[0] = 0x7F000000u | last;
    return address;
}

std::vector<uint8_t> queryBytes(uint32_t token, uint32_t version = DiscoveryVersion)
{
    std::vector<uint8_t> bytes(DiscoveryQueryBytes);
    writeDiscoveryQuery(token, bytes.data(), version);
    return bytes;
}

// How a finder of version 1 reads an answer: exactly version 1, exactly
// its header and name.
bool readByVersionOneFinder(const std::vector<uint8_t>& bytes)
{
    return bytes.size() >= DiscoveryAnswerHeaderBytes && bytes[4] == 1 &&
           bytes.size() == DiscoveryAnswerHeaderBytes + bytes[21];
}

// Waits (bounded) for one datagram on `socket`; empty when none came.
std::vector<uint8_t> receiveOne(Socket& socket, const std::function<void()>& pump, uint32_t waitMs = 300)
{
    uint8_t buffer[1024];
    uint32_t start = getRealMilliseconds();
    while (getRealMilliseconds() - start < waitMs) {
        pump();
        NetAddress from;
        uint32_t length = 0;
        if (socket.recvfrom(&from, buffer, sizeof buffer, &length) == Success)
            return std::vector<uint8_t>(buffer, buffer + length);
        sleepMilliseconds(1);
    }
    return {};
}

} // namespace

// ---- datagrams ---------------------------------------------------------------

TEST(DiscoveryDatagram, QueryBytesWorkedOutByHand)
{
    std::vector<uint8_t> bytes = queryBytes(0x01020304);
    std::vector<uint8_t> expected = {'S', 'F', 'D', 'Q', 1, 0x01, 0x02, 0x03, 0x04};
    expected.resize(96, 0);
    EXPECT_EQ(bytes, expected);
}

TEST(DiscoveryDatagram, AnswerBytesWorkedOutByHand)
{
    DiscoveryAnswer answer;
    answer.token = 0xA1B2C3D4;
    answer.instance = 0x11223344;
    answer.host = 0x0AD50001; // 10.213.0.1
    answer.port = 28000;
    answer.users = 3;
    answer.name = "boat";
    uint8_t out[DiscoveryAnswerMaxBytes];
    uint32_t size = writeDiscoveryAnswer(answer, out);
    std::vector<uint8_t> expected = {'S',  'F',  'D',  'A',  1,    0xA1, 0xB2, 0xC3, 0xD4, 0x11, 0x22, 0x33, 0x44,
                                     0x0A, 0xD5, 0x00, 0x01, 0x6D, 0x60, 0x00, 0x03, 4,    'b',  'o',  'a',  't'};
    EXPECT_EQ(std::vector<uint8_t>(out, out + size), expected);

    DiscoveryAnswer back;
    ASSERT_TRUE(readDiscoveryAnswer(out, size, &back));
    EXPECT_EQ(back.token, answer.token);
    EXPECT_EQ(back.instance, answer.instance);
    EXPECT_EQ(back.host, answer.host);
    EXPECT_EQ(back.port, 28000);
    EXPECT_EQ(back.users, 3);
    EXPECT_EQ(back.name, "boat");
}

TEST(DiscoveryDatagram, TheExtendedAnswerAddsLimitLockAndClassesAfterTheName)
{
    DiscoveryAnswer answer;
    answer.version = DiscoveryExtendedVersion;
    answer.token = 0xA1B2C3D4;
    answer.instance = 0x11223344;
    answer.port = 28000;
    answer.users = 3;
    answer.name = "boat";
    answer.details.limit = 8;
    answer.details.needsPassword = true;
    answer.details.eventClasses = 0x001F;
    uint8_t out[DiscoveryAnswerMaxBytes];
    uint32_t size = writeDiscoveryAnswer(answer, out);
    std::vector<uint8_t> expected = {'S',  'F',  'D',  'A',  2,   0xA1, 0xB2, 0xC3, 0xD4, 0x11, 0x22, 0x33, 0x44,
                                     0x00, 0x00, 0x00, 0x00, 0x6D, 0x60, 0x00, 0x03, 4,    'b',  'o',  'a',  't',
                                     0x00, 0x08, 0x01, 0x00, 0x1F};
    EXPECT_EQ(std::vector<uint8_t>(out, out + size), expected);
    DiscoveryAnswer back;
    ASSERT_TRUE(readDiscoveryAnswer(out, size, &back));
    EXPECT_EQ(back.version, 2u);
    EXPECT_EQ(back.name, "boat");
    EXPECT_EQ(back.details.limit, 8);
    EXPECT_TRUE(back.details.needsPassword);
    EXPECT_EQ(back.details.eventClasses, 0x1F);
    // Cut before its extras, or with a byte too many, it is no answer.
    EXPECT_FALSE(readDiscoveryAnswer(out, size - 1, &back));
    out[size] = 0;
    EXPECT_FALSE(readDiscoveryAnswer(out, size + 1, &back));
}

TEST(DiscoveryDatagram, QueryReaderRefusesWhatItMustNotAnswer)
{
    DiscoveryQuery query;
    std::vector<uint8_t> good = queryBytes(7);
    ASSERT_TRUE(readDiscoveryQuery(good.data(), uint32_t(good.size()), &query));
    EXPECT_EQ(query.token, 7u);

    // One byte short: the answer could then be larger than the query.
    EXPECT_FALSE(readDiscoveryQuery(good.data(), DiscoveryQueryBytes - 1, &query));
    EXPECT_FALSE(readDiscoveryQuery(good.data(), 0, &query));
    std::vector<uint8_t> bad = good;
    bad[3] = 'A'; // an answer's magic: responders never answer answers
    EXPECT_FALSE(readDiscoveryQuery(bad.data(), uint32_t(bad.size()), &query));
    bad = good;
    bad[4] = 0; // no version 0
    EXPECT_FALSE(readDiscoveryQuery(bad.data(), uint32_t(bad.size()), &query));

    // A later version, longer and with something in the padding, is answered.
    bad = good;
    bad[4] = 2;
    bad[20] = 0x55;
    bad.resize(200, 0);
    ASSERT_TRUE(readDiscoveryQuery(bad.data(), uint32_t(bad.size()), &query));
    EXPECT_EQ(query.version, 2u);
}

TEST(DiscoveryDatagram, AnswerReaderRefusesMalformedAnswers)
{
    DiscoveryAnswer answer;
    answer.token = 1;
    answer.port = 5000;
    answer.name = "abc";
    uint8_t good[DiscoveryAnswerMaxBytes + 8];
    uint32_t size = writeDiscoveryAnswer(answer, good);
    DiscoveryAnswer out;
    ASSERT_TRUE(readDiscoveryAnswer(good, size, &out));

    struct Case {
        const char* what;
        uint32_t offset;
        uint8_t value;
        int32_t lengthChange;
    };
    const Case cases[] = {
        {"a query's magic", 3, 'Q', 0},
        {"version 2 without its extras", 4, 2, 0},
        {"version 3", 4, 3, 0},
        {"port 0", 17, 0, 0}, // with byte 18 also 0 below
        {"name past the end", 21, 4, 0},
        {"name shorter than the datagram", 21, 2, 0},
        {"name length over the limit", 21, 65, 65 - 3},
        {"one byte short", 0, 'S', -1},
        {"header only, cut", 0, 'S', -int32_t(size) + 21},
    };
    for (const Case& c : cases) {
        uint8_t bytes[sizeof good + 80] = {};
        std::memcpy(bytes, good, size);
        bytes[c.offset] = c.value;
        if (std::string(c.what) == "port 0")
            bytes[18] = 0;
        uint32_t length = uint32_t(int32_t(size) + c.lengthChange);
        EXPECT_FALSE(readDiscoveryAnswer(bytes, length, &out)) << c.what;
    }
}

TEST(DiscoveryDatagram, ReadNamesAreCleanedOfWhatCouldDriveATerminal)
{
    DiscoveryAnswer answer;
    answer.port = 1;
    uint8_t bytes[DiscoveryAnswerMaxBytes];
    // Written by hand, so nothing was cleaned on the sending side.
    uint32_t size = writeDiscoveryAnswer(answer, bytes);
    const char raw[] = "a\x1b[2Jb\xff";
    bytes[21] = sizeof raw - 1;
    std::memcpy(bytes + size, raw, sizeof raw - 1);
    DiscoveryAnswer out;
    ASSERT_TRUE(readDiscoveryAnswer(bytes, size + sizeof raw - 1, &out));
    EXPECT_EQ(out.name, "a\xEF\xBF\xBD[2Jb\xEF\xBF\xBD");
}

// ---- names ---------------------------------------------------------------------

TEST(DiscoveryName, CutOnlyBetweenCharacters)
{
    std::string ascii63(63, 'x');
    // A two-byte character that would end at byte 65 is left out whole.
    EXPECT_EQ(cleanServerName(ascii63 + "\xC3\xA9" + "z"), ascii63);
    std::string ascii62(62, 'x');
    EXPECT_EQ(cleanServerName(ascii62 + "\xC3\xA9" + "z"), ascii62 + "\xC3\xA9");
    // Four-byte characters: 16 fill 64 bytes exactly, the 17th is dropped.
    std::string wave;
    for (int i = 0; i < 17; ++i)
        wave += "\xF0\x9F\x8C\x8A";
    std::string cut = cleanServerName(wave);
    EXPECT_EQ(cut.size(), 64u);
    EXPECT_EQ(cut, wave.substr(0, 64));
    // 21 three-byte characters fill 63 bytes; the 22nd does not fit.
    std::string kana;
    for (int i = 0; i < 22; ++i)
        kana += "\xE3\x81\x82";
    EXPECT_EQ(cleanServerName(kana), kana.substr(0, 63));
    EXPECT_EQ(cleanServerName(""), "");
    EXPECT_EQ(cleanServerName("Hafen Süd"), "Hafen Süd");
}

TEST(DiscoveryName, MalformedAndUnsafeSequencesBecomeReplacementCharacters)
{
    const std::string r = "\xEF\xBF\xBD";
    struct Case {
        std::string in, out;
    } cases[] = {
        {"a\nb", "a" + r + "b"},
        {std::string("a\0b", 3), "a" + r + "b"},
        {"\x7f", r},
        {"\xC2\x85", r}, // C1 control (next line)
        {"\xE2\x80\xAE"
         "evil",
         r + "evil"},                        // right-to-left override
        {"\xC0\xAF", r + r},                 // overlong slash
        {"\xE0\x80\xAF", r + r + r},         // overlong, three bytes
        {"\xED\xA0\x80", r + r + r},         // a surrogate
        {"\xF4\x90\x80\x80", r + r + r + r}, // past U+10FFFF
        {"\xE2\x82", r + r},                 // cut short at the end
        {"\x80x", r + "x"},                  // stray continuation byte
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cleanServerName(c.in), c.out) << testing::PrintToString(c.in);
        EXPECT_EQ(cleanServerName(cleanServerName(c.in)), cleanServerName(c.in));
    }
    // Replacement characters count against the limit like any other.
    EXPECT_EQ(cleanServerName(std::string(30, '\x01')).size(), 63u);
}

// ---- rate limit --------------------------------------------------------------

TEST(DiscoveryRateLimit, PerSourceBurstThenRefill)
{
    DiscoveryRateLimit limit; // 8 per source at once, 4 a second after
    uint32_t now = 1000;
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(limit.allow(0x0A000001, now)) << i;
    EXPECT_FALSE(limit.allow(0x0A000001, now));
    EXPECT_TRUE(limit.allow(0x0A000002, now)) << "another host has its own bucket";
    EXPECT_FALSE(limit.allow(0x0A000001, now + 249));
    EXPECT_TRUE(limit.allow(0x0A000001, now + 250)) << "a token a quarter second";
    EXPECT_FALSE(limit.allow(0x0A000001, now + 250));
    // Across a wrap of the millisecond clock.
    DiscoveryRateLimit wrapping;
    uint32_t late = 0xFFFFFF00u;
    for (int i = 0; i < 8; ++i)
        wrapping.allow(5, late);
    EXPECT_FALSE(wrapping.allow(5, late));
    EXPECT_TRUE(wrapping.allow(5, late + 0x100 + 250));
}

TEST(DiscoveryRateLimit, OverallLimitHoldsAcrossManySources)
{
    DiscoveryRateLimit::Settings settings;
    settings.overallBurst = 64;
    settings.overallPerSecond = 32;
    DiscoveryRateLimit limit(settings);
    uint32_t now = 5000;
    int allowed = 0;
    for (uint32_t source = 1; source <= 200; ++source)
        allowed += limit.allow(source, now);
    EXPECT_EQ(allowed, 64);
    // One second later: 32 more, whoever asks.
    allowed = 0;
    for (uint32_t source = 1000; source < 1100; ++source)
        allowed += limit.allow(source, now + 1000);
    EXPECT_EQ(allowed, 32);
}

TEST(DiscoveryRateLimit, SourceTableIsBoundedAndForgetsIdleSources)
{
    DiscoveryRateLimit::Settings settings;
    settings.maxSources = 4;
    settings.overallBurst = 1000;
    DiscoveryRateLimit limit(settings);
    for (uint32_t source = 1; source <= 4; ++source)
        EXPECT_TRUE(limit.allow(source, 0));
    EXPECT_FALSE(limit.allow(99, 0)) << "table full of sources still owed tokens";
    EXPECT_EQ(limit.sourceCount(), 4u);
    // Once their buckets are full again they are forgotten, making room.
    EXPECT_TRUE(limit.allow(99, 250));
    EXPECT_EQ(limit.sourceCount(), 1u);
}

// ---- responder -----------------------------------------------------------------

struct DiscoveryResponderTest : testing::Test {
    uint32_t clockMs = 700000;
    uint32_t users = 2;
    NetAddress session = loopback(1, 40123);
    DiscoveryResponder responder{session, "Hafen", [this] { return users; }, 0};
    Socket asker{loopback(1, 0)};

    void SetUp() override
    {
        responder.setTimeSource([this] { return clockMs; });
        ASSERT_TRUE(responder.open());
        ASSERT_TRUE(asker.isValid());
    }
    std::vector<uint8_t> ask(const std::vector<uint8_t>& query)
    {
        asker.sendto(responder.boundAddress(), query.data(), uint32_t(query.size()));
        return receiveOne(asker, [this] { responder.service(); });
    }
};

TEST_F(DiscoveryResponderTest, AnswersAQueryWithTheSession)
{
    EXPECT_EQ(responder.listenAddress().netNum[0], 0x7F000001u) << "a loopback session is offered on loopback only";
    std::vector<uint8_t> bytes = ask(queryBytes(0xCAFE0001));
    DiscoveryAnswer answer;
    ASSERT_TRUE(readDiscoveryAnswer(bytes.data(), uint32_t(bytes.size()), &answer));
    EXPECT_EQ(answer.token, 0xCAFE0001u);
    EXPECT_EQ(answer.host, 0x7F000001u);
    EXPECT_EQ(answer.port, 40123);
    EXPECT_EQ(answer.users, 2);
    EXPECT_EQ(answer.name, "Hafen");
    EXPECT_EQ(answer.instance, responder.instance());
    users = 70000;
    bytes = ask(queryBytes(2));
    ASSERT_TRUE(readDiscoveryAnswer(bytes.data(), uint32_t(bytes.size()), &answer));
    EXPECT_EQ(answer.users, 0xFFFF) << "capped, not wrapped";
    EXPECT_EQ(responder.counters().answered, 2u);
}

// Today's finders ask with version 1 and read only an answer of exactly
// version 1: they must keep getting one, while a finder of version 2 gets
// the lock, the limit and the wire version.
TEST_F(DiscoveryResponderTest, AVersionOneFinderGetsTheAnswerItKnowsAndAVersionTwoFinderTheExtras)
{
    DiscoveryDetails details;
    details.limit = 12;
    details.needsPassword = true;
    details.eventClasses = 30;
    responder.setDetails(details);
    std::vector<uint8_t> old = ask(queryBytes(5, DiscoveryVersion));
    EXPECT_TRUE(readByVersionOneFinder(old)) << old.size();
    std::vector<uint8_t> extended = ask(queryBytes(6, DiscoveryExtendedVersion));
    EXPECT_FALSE(readByVersionOneFinder(extended));
    DiscoveryAnswer answer;
    ASSERT_TRUE(readDiscoveryAnswer(extended.data(), uint32_t(extended.size()), &answer));
    EXPECT_EQ(answer.version, 2u);
    EXPECT_EQ(answer.name, "Hafen");
    EXPECT_EQ(answer.details.limit, 12);
    EXPECT_TRUE(answer.details.needsPassword);
    EXPECT_EQ(answer.details.eventClasses, 30);
}

TEST_F(DiscoveryResponderTest, AnswerIsNeverLargerThanItsQuery)
{
    DiscoveryResponder longName(session, std::string(200, 'n'), nullptr, 0);
    longName.setTimeSource([this] { return clockMs; });
    ASSERT_TRUE(longName.open());
    for (uint32_t size : {0u, 1u, 9u, 22u, 85u, 86u, 95u, 96u, 97u, 400u}) {
        // Asking for the extras: the largest answer there is.
        std::vector<uint8_t> query = queryBytes(size, DiscoveryExtendedVersion);
        query.resize(size, 0);
        asker.sendto(longName.boundAddress(), query.data(), size);
        std::vector<uint8_t> answer = receiveOne(
            asker, [&] { longName.service(); }, size < 96 ? 50 : 300);
        if (size < DiscoveryQueryBytes) {
            EXPECT_TRUE(answer.empty()) << size;
        } else {
            EXPECT_EQ(answer.size(), DiscoveryAnswerMaxBytes) << size;
            EXPECT_LE(answer.size(), size);
        }
    }
    EXPECT_EQ(longName.counters().malformed, 7u);
    EXPECT_EQ(longName.counters().answered, 3u);
}

TEST_F(DiscoveryResponderTest, ShortOrWrongMagicQueriesGetNothing)
{
    std::vector<uint8_t> wrongMagic = queryBytes(1);
    wrongMagic[0] = 'X';
    std::vector<uint8_t> anAnswer(DiscoveryQueryBytes, 0);
    DiscoveryAnswer answer;
    answer.port = 9;
    writeDiscoveryAnswer(answer, anAnswer.data());
    std::vector<uint8_t> shortQuery = queryBytes(1);
    shortQuery.resize(40);
    for (const auto& query : {wrongMagic, anAnswer, shortQuery}) {
        asker.sendto(responder.boundAddress(), query.data(), uint32_t(query.size()));
        EXPECT_TRUE(receiveOne(
                        asker, [this] { responder.service(); }, 100)
                        .empty());
    }
    EXPECT_EQ(responder.counters().malformed, 3u);
    EXPECT_EQ(responder.counters().answered, 0u);
    // Still answering after all that.
    EXPECT_FALSE(ask(queryBytes(1)).empty());
}

// One host floods: it is answered at its own rate, and another host's query
// in the middle of the flood is still answered.
TEST_F(DiscoveryResponderTest, AFloodingSourceGetsItsShareAndAnotherSourceIsStillAnswered)
{
    Socket other{loopback(2, 0)};
    ASSERT_TRUE(other.isValid());
    std::vector<uint8_t> query = queryBytes(4);
    const int flood = 200;
    for (int i = 0; i < flood; ++i) {
        asker.sendto(responder.boundAddress(), query.data(), uint32_t(query.size()));
        if (i == flood / 2)
            other.sendto(responder.boundAddress(), query.data(), uint32_t(query.size()));
    }
    EXPECT_FALSE(receiveOne(other, [this] { responder.service(); }).empty());
    int answers = 0;
    while (answers < flood && !receiveOne(
                                   asker, [this] { responder.service(); }, 100)
                                   .empty())
        ++answers;
    EXPECT_EQ(answers, 8); // the source's burst
    EXPECT_EQ(responder.counters().answered, 9u);
}

TEST_F(DiscoveryResponderTest, RateLimitHoldsOnTheWire)
{
    // Twenty queries at one instant: the source's burst of eight is answered.
    std::vector<uint8_t> query = queryBytes(3);
    for (int i = 0; i < 20; ++i)
        asker.sendto(responder.boundAddress(), query.data(), uint32_t(query.size()));
    int answers = 0;
    while (!receiveOne(
                asker, [this] { responder.service(); }, 100)
                .empty())
        ++answers;
    EXPECT_EQ(answers, 8);
    EXPECT_EQ(responder.counters().limited, 12u);
    // A second later, four more.
    clockMs += 1000;
    for (int i = 0; i < 20; ++i)
        asker.sendto(responder.boundAddress(), query.data(), uint32_t(query.size()));
    answers = 0;
    while (!receiveOne(
                asker, [this] { responder.service(); }, 100)
                .empty())
        ++answers;
    EXPECT_EQ(answers, 4);
}

TEST(DiscoveryResponderBinding, ASessionOnAnyAddressIsOfferedOnEveryInterface)
{
    DiscoveryResponder responder(NetAddress(IPProtocol, AnyAddress, 28000), "x", nullptr, 28001);
    EXPECT_EQ(responder.listenAddress().netNum[0], 0u);
    EXPECT_EQ(responder.listenAddress().port, 28001);
    NetAddress lan;
    ASSERT_TRUE(lan.parse("10.213.0.1:28000"));
    DiscoveryResponder onLan(lan, "x", nullptr, 28001);
    EXPECT_EQ(onLan.listenAddress().netNum[0], 0u) << "broadcasts only reach a socket bound to any";
    // A session whose port is still to be chosen has nothing to offer yet.
    DiscoveryResponder unbound(loopback(1, 0), "x", nullptr, 0);
    EXPECT_FALSE(unbound.open());
}

TEST(DiscoveryResponderBinding, ServersOfOneHostShareThePortAndEachHearsTheBroadcast)
{
    // A free port: a responder only shares a port it was given.
    uint16_t port;
    {
        Socket probe(loopback(1, 0));
        port = probe.boundAddress().port;
    }
    DiscoveryResponder first(
        loopback(1, 44000), "first", [] { return 1u; }, port);
    ASSERT_TRUE(first.open());
    DiscoveryResponder second(
        loopback(1, 44001), "second", [] { return 2u; }, port);
    ASSERT_TRUE(second.open()) << "the second server of this host is offered too";
    EXPECT_EQ(second.boundAddress().port, port);
    // A socket that does not share the port is still kept out.
    Socket intruder(NetAddress(IPProtocol, AnyAddress, port));
    EXPECT_FALSE(intruder.isValid());

    // The loopback network's broadcast reaches both; a datagram to 127.0.0.1
    // reaches only one of them.
    std::vector<NetAddress> targets = defaultDiscoveryTargets(port);
    ASSERT_GE(targets.size(), 2u);
    DiscoveryFinder finder(port);
    finder.setTargets({targets[targets.size() - 2]});
    ASSERT_TRUE(finder.start(getRealMilliseconds()));
    for (int i = 0; i < 500 && finder.servers().size() < 2; ++i) {
        first.service();
        second.service();
        sleepMilliseconds(1);
        finder.poll(getRealMilliseconds());
    }
    std::map<std::string, FoundServer> byName;
    for (const FoundServer& s : finder.servers())
        byName[s.name] = s;
    ASSERT_EQ(byName.size(), 2u);
    EXPECT_EQ(byName["first"].address, loopback(1, 44000));
    EXPECT_EQ(byName["second"].address, loopback(1, 44001));
    EXPECT_EQ(byName["second"].users, 2u);
}

// ---- finder --------------------------------------------------------------------

TEST(DiscoveryFinder, CollectsTwoRespondersOnDifferentAddressesAndPorts)
{
    uint32_t clockMs = 100;
    uint32_t usersA = 1, usersB = 4;
    DiscoveryResponder a(
        loopback(2, 41000), "alpha", [&] { return usersA; }, 0);
    DiscoveryResponder b(
        loopback(3, 42000), "b\xC3\xA9ta", [&] { return usersB; }, 0);
    for (DiscoveryResponder* r : {&a, &b}) {
        r->setTimeSource([&] { return clockMs; });
        ASSERT_TRUE(r->open());
    }
    ASSERT_NE(a.boundAddress().port, b.boundAddress().port);

    DiscoveryFinder finder;
    // b is asked twice, as a host on two paths would be: it is listed once.
    finder.setTargets({a.boundAddress(), b.boundAddress(), b.boundAddress()});
    uint32_t now = getRealMilliseconds();
    ASSERT_TRUE(finder.start(now));
    for (int i = 0; i < 500 && finder.servers().size() < 2; ++i) {
        a.service();
        b.service();
        sleepMilliseconds(1);
        finder.poll(getRealMilliseconds());
    }
    // Give a duplicate the chance to show up.
    for (int i = 0; i < 20; ++i) {
        a.service();
        b.service();
        sleepMilliseconds(1);
        finder.poll(getRealMilliseconds());
    }
    ASSERT_EQ(finder.servers().size(), 2u);
    std::map<std::string, FoundServer> byName;
    for (const FoundServer& s : finder.servers())
        byName[s.name] = s;
    EXPECT_EQ(byName["alpha"].address, loopback(2, 41000));
    EXPECT_EQ(byName["alpha"].users, 1u);
    EXPECT_EQ(byName["b\xC3\xA9ta"].address, loopback(3, 42000));
    EXPECT_EQ(byName["b\xC3\xA9ta"].users, 4u);
    EXPECT_GE(finder.firstAnswerMs(), 0);
    EXPECT_EQ(b.counters().answered, 2u);
}

TEST(DiscoveryFinder, IgnoresForgedAndStaleAnswers)
{
    DiscoveryFinder finder;
    Socket nobody(loopback(1, 0));
    finder.setTargets({nobody.boundAddress()}); // a socket that never answers
    ASSERT_TRUE(finder.start(1000));
    // Learn the token from the query itself.
    std::vector<uint8_t> query = receiveOne(nobody, [] {});
    DiscoveryQuery q;
    ASSERT_TRUE(readDiscoveryQuery(query.data(), uint32_t(query.size()), &q));

    auto send = [&](uint32_t token, uint32_t host, uint32_t instance) {
        DiscoveryAnswer answer;
        answer.token = token;
        answer.host = host;
        answer.instance = instance;
        answer.port = 5000;
        uint8_t bytes[DiscoveryAnswerMaxBytes];
        uint32_t size = writeDiscoveryAnswer(answer, bytes);
        nobody.sendto(finder.boundAddress(), bytes, size);
    };
    send(q.token + 1, 0, 1);       // an earlier search's token
    send(q.token, 0xFFFFFFFFu, 2); // a broadcast address
    send(q.token, 0xE0000001u, 3); // multicast
    send(q.token, 0x0A000001u, 4); // kept
    send(q.token, 0x0A000001u, 5); // same address again
    for (int i = 0; i < 50; ++i) {
        sleepMilliseconds(1);
        finder.poll(1001);
    }
    ASSERT_EQ(finder.servers().size(), 1u);
    EXPECT_EQ(finder.servers()[0].instance, 4u);
    EXPECT_EQ(finder.firstAnswerMs(), 1);
}

TEST(DiscoveryFinder, BlockingFindCollectsUntilItsDeadline)
{
    // The second responder only starts answering after the first has: find
    // must not stop at the first answer.
    DiscoveryResponder early(
        loopback(4, 43000), "early", [] { return 0u; }, 0);
    DiscoveryResponder late(
        loopback(5, 43001), "late", [] { return 0u; }, 0);
    ASSERT_TRUE(early.open());
    ASSERT_TRUE(late.open());
    std::atomic<bool> stop{false};
    std::thread serving([&] {
        auto begin = std::chrono::steady_clock::now();
        for (int i = 0; i < 5000 && !stop; ++i) {
            early.service();
            if (std::chrono::steady_clock::now() - begin > std::chrono::milliseconds(100))
                late.service();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    DiscoveryFinder finder;
    finder.setTargets({early.boundAddress(), late.boundAddress()});
    std::vector<FoundServer> found = finder.find(0.6);
    stop = true;
    serving.join();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name, "early");
    EXPECT_EQ(found[0].address, loopback(4, 43000));
    EXPECT_EQ(found[1].name, "late");
}

TEST(DiscoveryFinder, DefaultTargetsEndWithLoopbackBroadcastAndLocalhost)
{
    std::vector<NetAddress> targets = defaultDiscoveryTargets(28001);
    ASSERT_GE(targets.size(), 2u);
    NetAddress loopbackBroadcast(IPProtocol, LocalhostAddress, 28001);
    loopbackBroadcast.netNum[0] = 0x7FFFFFFFu;
    EXPECT_EQ(targets[targets.size() - 2], loopbackBroadcast);
    EXPECT_EQ(targets.back(), NetAddress(IPProtocol, LocalhostAddress, 28001));
    for (size_t i = 0; i < targets.size(); ++i) {
        EXPECT_EQ(targets[i].port, 28001);
        if (i + 2 < targets.size()) {
            EXPECT_NE(targets[i].netNum[0] >> 24, 127u) << "loopback is asked last";
        }
    }
}
