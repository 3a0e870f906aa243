// Arbitrary sequences of joins, selections, movements, voice and leaves from
// several clients, and their calls of version 1 (chat, orientation, Opus
// frames, password answers), some of them hostile (raw movements that are
// no numbers, second joins, empty and overlong names, chat lines with
// control characters, calls only a server may make),
// over a network that may lose and reorder. At rest every roster agrees,
// every position is the sum of the deltas sent, every queue is empty, and
// nothing outlives the interfaces; anything else aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "session/sessionworld.h"

using namespace seafold;
using namespace seafold::test;

namespace {

constexpr size_t Clients = 3;
constexpr uint32_t StepMs = 50;
// A lost goodbye ends in the keep-alive time-out.
constexpr uint32_t SettleLimitMs = 180000;
// Inputs longer than this are cut: each operation is a few bytes, and a
// run must stay short.
constexpr size_t MaxOperations = 400;

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool more() const { return at < size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    double raw()
    {
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i)
            bits |= uint64_t(byte()) << (8 * i);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
};

RefPtr<ByteBuffer> bytesFrom(Reader& in, uint32_t length)
{
    RefPtr<ByteBuffer> buffer = new ByteBuffer(length);
    for (uint32_t b = 0; b < length; ++b)
        buffer->data()[b] = in.byte();
    return buffer;
}

// A call of version 1 as a hostile client may make it: an orientation of
// any numbers, voice frames that may not split, a password answer to a
// server that asked for none, or the server's own words.
void versionOneCall(SimpleEventConnection& connection, Reader& in)
{
    switch (in.byte() % 4) {
    case 0: {
        double w = in.raw(), x = in.raw(), y = in.raw(), z = in.raw();
        connection.c2sOrientation(w, x, y, z);
        break;
    }
    case 1: {
        const uint32_t codec = in.byte() % 3, sequence = in.byte();
        const bool endsSpurt = in.byte() & 1;
        connection.c2sVoiceFrames(codec, sequence, endsSpurt, bytesFrom(in, in.byte() % 48));
        break;
    }
    case 2: {
        RefPtr<ByteBuffer> share = bytesFrom(in, in.byte() % 40);
        connection.c2sPasswordAnswer(share, bytesFrom(in, in.byte() % 40));
        break;
    }
    default:
        // Only the server may speak for itself: the server ends the sender.
        connection.s2cServerNotice(bytesFrom(in, in.byte() % 8));
        break;
    }
}

void fail(const std::string& what)
{
    std::fprintf(stderr, "session invariant broken: %s\n", what.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    NetworkSimulator::Settings network;
    const uint8_t shape = in.byte();
    network.dropPercent = (shape & 3) * 10; // 0..30 %
    network.duplicatePercent = (shape >> 2 & 1) * 10;
    network.maxDelayMs = (shape >> 3 & 1) * 60;
    SessionWorld world(Clients, network, shape);
    const char* models[] = {"boat.mesh", "fish.mesh", "buoy.mesh", "raft.mesh"};

    for (size_t n = 0; n < MaxOperations && in.more(); ++n) {
        const uint8_t op = in.byte();
        const size_t i = (op >> 4) % Clients;
        SimpleEventConnection* connection = world.toServer(i);
        switch (op & 15) {
        case 0:
        case 1:
            world.join(i);
            break;
        case 2:
        case 3: {
            // Eighths: exact whatever the grouping.
            double dx = int8_t(in.byte()) / 8.0, dy = int8_t(in.byte()) / 8.0, dz = int8_t(in.byte()) / 8.0;
            world.move(i, dx, dy, dz);
            break;
        }
        case 4:
            world.select(i, models[in.byte() % 4]);
            break;
        case 5: {
            uint8_t voice[64];
            uint32_t length = in.byte() % sizeof voice;
            for (uint32_t b = 0; b < length; ++b)
                voice[b] = in.byte();
            world.speak(i, voice, length);
            break;
        }
        case 6:
            world.leave(i);
            break;
        case 7:
            world.vanish(i);
            break;
        case 8:
        case 9:
        case 10:
            world.step(StepMs * (1 + in.byte() % 8));
            break;
        case 11: {
            // Values that a well-behaved client never sends: no numbers, or
            // too large for the scene. Usable ones would be deltas sent.
            double x = in.raw(), y = in.raw(), z = in.raw();
            if (connection && !isUsableMovement(x, y, z))
                connection->c2smakeMovement(x, y, z);
            break;
        }
        case 12:
            // A second join, under a name of any length (none, too long).
            if (connection)
                connection->c2sAddNewClient(StringPtr(std::string(in.byte() * 2, char('a' + op % 3)).c_str()));
            break;
        case 13:
            // A call only the server may make: the server ends the sender.
            if (connection)
                connection->s2cmakeMovement(1, 0, 0, StringPtr("user0"));
            break;
        case 14: {
            // A chat line of any bytes: controls and broken UTF-8 included.
            if (!connection)
                break;
            RefPtr<ByteBuffer> line = bytesFrom(in, in.byte() % 24);
            connection->c2sChat(line);
            break;
        }
        default:
            if (connection)
                versionOneCall(*connection, in);
            break;
        }
    }
    if (!world.settle(StepMs, SettleLimitMs))
        fail("no rest");
    std::string broken = world.check();
    if (!broken.empty())
        fail(broken);
    broken = world.tearDown();
    if (!broken.empty())
        fail(broken);
    return 0;
}
