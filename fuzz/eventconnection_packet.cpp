// Arbitrary bytes as the event section of a data packet on an established
// connection that declares a few remote calls. Nothing may crash, the
// received-ordered list stays within the window, and every event note is
// gone once the connection is.
//
// Input: [options] (1 byte) then the event section.
//   bit 0: debug checks (marker and end positions) on
//   bit 1: the receiver is the client's side (marked "to the server"),
//          otherwise the server's side (marked "to a client")
//   bit 2: the section arrives twice (a duplicated datagram)
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "net/rpc.h"
#include "net/socket.h"

using namespace seafold;

namespace {

constexpr uint32_t FuzzGroup = 1;
constexpr uint32_t FuzzMask = 1u << FuzzGroup;

class FuzzConnection : public EventConnection {
public:
    uint32_t classGroup() const override { return FuzzGroup; }

    SF_DECLARE_RPC(fzChat, int32_t, StringPtr);
    SF_DECLARE_RPC(fzMove, double, double, double);
    SF_DECLARE_RPC(fzVoice, bool, RefPtr<ByteBuffer>, StringPtr);
    SF_DECLARE_RPC(fzList, std::vector<int32_t>, StringPtr);
    SF_DECLARE_RPC(fzPing);
    SF_DECLARE_RPC(fzToClient, uint32_t);
    SF_DECLARE_RPC(fzToServer, StringPtr);

    uint32_t calls = 0;
};

SF_IMPLEMENT_RPC_EX(FuzzConnection, fzChat, FuzzMask, 0, GuaranteedOrdered, DirAny, (int32_t, StringPtr text))
{
    ++calls;
    (void)text.length();
}
SF_IMPLEMENT_RPC_EX(FuzzConnection, fzMove, FuzzMask, 0, Unguaranteed, DirAny, (double, double, double))
{
    ++calls;
}
SF_IMPLEMENT_RPC_EX(FuzzConnection, fzVoice, FuzzMask, 0, GuaranteedOrdered, DirAny,
                    (bool, RefPtr<ByteBuffer> data, StringPtr))
{
    ++calls;
    if (data && data->size())
        calls += data->data()[data->size() - 1] & 1;
}
SF_IMPLEMENT_RPC_EX(FuzzConnection, fzList, FuzzMask, 0, Guaranteed, DirAny, (std::vector<int32_t> values, StringPtr))
{
    calls += uint32_t(values.size());
}
// Answers on the same connection, as the echo calls of the session do.
SF_IMPLEMENT_RPC_EX(FuzzConnection, fzPing, FuzzMask, 0, Unguaranteed, DirAny, ())
{
    ++calls;
    fzMove(1.0, 2.0, 3.0);
}
SF_IMPLEMENT_RPC_EX(FuzzConnection, fzToClient, FuzzMask, 0, GuaranteedOrdered, DirServerToClient, (uint32_t))
{
    ++calls;
}
SF_IMPLEMENT_RPC_EX(FuzzConnection, fzToServer, FuzzMask, 0, Guaranteed, DirClientToServer, (StringPtr))
{
    ++calls;
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void establish(FuzzConnection& local, bool debug, bool clientSide)
{
    FuzzConnection peer;
    PacketStream request;
    peer.writeConnectRequest(request);
    BitStream in(request.data(), request.bytePosition());
    const char* error = nullptr;
    check(local.readConnectRequest(in, &error));
    local.connectParams().debugObjectSizes = debug;
    local.setRoleFlag(clientSide ? NetConnection::ConnectionToServer : NetConnection::ConnectionToClient);
    local.setState(Connected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool initialized = (NetClassRep::initialize(), true);
    (void)initialized;
    if (size < 1 || size > PacketStream::MaxPacketBytes + 1)
        return 0;
    const uint8_t options = data[0];
    std::vector<uint8_t> payload(data + 1, data + size);
    payload.push_back(0); // keeps data() valid for an empty payload; not part of the stream

    const uint32_t notesBefore = EventConnection::liveNoteCount();
    {
        RefPtr<FuzzConnection> connection = new FuzzConnection;
        establish(*connection, options & 1, options & 2);
        const int rounds = (options & 4) ? 2 : 1;
        for (int i = 0; i < rounds && !connection->errorText(); ++i) {
            std::vector<uint8_t> copy = payload;
            BitStream in(copy.data(), uint32_t(size - 1));
            connection->readPacket(in);
            check(connection->queueDepths().receivedWaiting < EventConnection::OrderedWindow);
        }
        // Whatever the handlers posted goes out, and its packet is lost.
        PacketStream out;
        std::unique_ptr<NetConnection::PacketNotify> notify(connection->allocNotify());
        connection->writePacket(out, notify.get());
        check(!out.hasError());
        connection->packetDropped(notify.get());
    }
    check(EventConnection::liveNoteCount() == notesBefore);
    return 0;
}
