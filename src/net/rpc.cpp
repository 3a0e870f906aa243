#include "net/rpc.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace seafold {

// ---- StringPtr ---------------------------------------------------------------

StringPtr::StringPtr(const char* text)
{
    if (!text)
        return;
    size_t length = std::strlen(text);
    void* storage = std::malloc(sizeof(Rep) + length);
    if (!storage)
        throw std::bad_alloc();
    mRep = static_cast<Rep*>(storage);
    mRep->refCount = 1;
    mRep->length = uint32_t(length);
    std::memcpy(mRep->text, text, length + 1);
}

StringPtr::StringPtr(const StringPtr& other) : mRep(other.mRep)
{
    if (mRep)
        ++mRep->refCount;
}

StringPtr& StringPtr::operator=(const StringPtr& other)
{
    if (other.mRep)
        ++other.mRep->refCount;
    release();
    mRep = other.mRep;
    return *this;
}

StringPtr& StringPtr::operator=(StringPtr&& other) noexcept
{
    if (this != &other) {
        release();
        mRep = other.mRep;
        other.mRep = nullptr;
    }
    return *this;
}

StringPtr::~StringPtr()
{
    release();
}

void StringPtr::release()
{
    if (mRep && --mRep->refCount == 0)
        std::free(mRep);
    mRep = nullptr;
}

bool StringPtr::operator==(const char* text) const
{
    return std::strcmp(c_str(), text ? text : "") == 0;
}

// ---- argument encodings --------------------------------------------------------

namespace {

uint32_t bitsLeftToRead(const BitStream& stream)
{
    return stream.bitPosition() < stream.readLimitBits() ? stream.readLimitBits() - stream.bitPosition() : 0;
}

} // namespace

void RPCArg<StringPtr>::write(BitStream& stream, const StringPtr& value)
{
    stream.writeText(value.c_str(), BitStream::MaxTextBytes);
}

void RPCArg<StringPtr>::read(BitStream& stream, StringPtr& value)
{
    char text[BitStream::MaxTextBytes + 1];
    text[0] = 0;
    stream.readText(text);
    value = StringPtr(text);
}

bool RPCArg<RefPtr<ByteBuffer>>::valid(const RefPtr<ByteBuffer>& value)
{
    return !value || value->size() <= MaxBytes;
}

// Wire layout:
//   [size]  (10 bits)  byte count, 0..1023 (a null buffer is sent as 0 bytes)
//   [bytes] (8 * size)
void RPCArg<RefPtr<ByteBuffer>>::write(BitStream& stream, const RefPtr<ByteBuffer>& value)
{
    uint32_t size = value ? value->size() : 0;
    if (size > MaxBytes) {
        // The builder refuses such buffers; this one grew after the event was
        // built. The length field cannot say more, so the rest stays behind.
        SF_LOG("LogRPC", "byte buffer of %u bytes cut to %u bytes", size, uint32_t(MaxBytes));
        size = MaxBytes;
    }
    stream.writeUnsigned(size, SizeBits);
    if (size)
        stream.writeBytes(size, value->data());
}

void RPCArg<RefPtr<ByteBuffer>>::read(BitStream& stream, RefPtr<ByteBuffer>& value)
{
    uint32_t size = stream.readUnsigned(SizeBits);
    if (stream.hasError() || uint64_t(size) * 8 > bitsLeftToRead(stream)) {
        stream.setError();
        value = new ByteBuffer(0);
        return;
    }
    value = new ByteBuffer(size);
    if (size && value->size() == size)
        stream.readBytes(size, value->data());
    else if (value->size() != size)
        stream.setError(); // out of memory
}

bool RPCArg<std::vector<int32_t>>::valid(const std::vector<int32_t>& value)
{
    return value.size() <= MaxCount;
}

// Wire layout:
//   [count]    (8 bits)  0..255
//   [elements] (count x 32 bits)
void RPCArg<std::vector<int32_t>>::write(BitStream& stream, const std::vector<int32_t>& value)
{
    uint32_t count = value.size() <= MaxCount ? uint32_t(value.size()) : uint32_t(MaxCount);
    stream.writeUnsigned(count, CountBits);
    for (uint32_t i = 0; i < count; ++i)
        stream.writeU32(uint32_t(value[i]));
}

void RPCArg<std::vector<int32_t>>::read(BitStream& stream, std::vector<int32_t>& value)
{
    uint32_t count = stream.readUnsigned(CountBits);
    if (stream.hasError() || uint64_t(count) * 32 > bitsLeftToRead(stream)) {
        stream.setError();
        value.clear();
        return;
    }
    value.resize(count);
    for (uint32_t i = 0; i < count; ++i)
        value[i] = int32_t(stream.readU32());
}

// ---- holders and the event -------------------------------------------------------------

Functor::~Functor() = default;

RPCEvent::RPCEvent(int32_t guaranteeType, int32_t direction, Functor* functor)
    : NetEvent(guaranteeType, direction), mFunctor(functor)
{
}

RPCEvent::~RPCEvent() = default;

void RPCEvent::pack(EventConnection*, BitStream& stream)
{
    mFunctor->write(stream);
}

void RPCEvent::unpack(EventConnection*, BitStream& stream)
{
    mFunctor->read(stream);
}

void RPCEvent::process(EventConnection* connection)
{
    if (checkClassType(connection))
        mFunctor->dispatch(connection);
}

void RPCEvent::notifyPosted(EventConnection* connection)
{
    ++mPostCount;
    if (auto* observer = dynamic_cast<RPCPostObserver*>(connection))
        observer->rpcPosted(this);
}

void RPCEvent::notifySent(EventConnection*)
{
    mWritten = true;
}

void RPCEvent::notifyDelivered(EventConnection*, bool delivered)
{
    if (!delivered)
        mGivenUp = true;
}

// ---- reserved classes ----------------------------------------------------------------------
//
// Three calls of a ghosting connection that this system never makes. Their
// event classes are registered all the same: they take the first event class
// ids of the default group, which the ids of every other call there depend
// on. They live in this file so that they are linked into every program that
// uses remote calls (RPCEvent's virtual table is defined here).

namespace {

class GhostConnection : public EventConnection {
public:
    SF_DECLARE_RPC(rpcStartGhosting, uint32_t);
    SF_DECLARE_RPC(rpcReadyForNormalGhosts);
    SF_DECLARE_RPC(rpcEndGhosting);
};

} // namespace

SF_IMPLEMENT_RPC(GhostConnection, rpcStartGhosting, GuaranteedOrdered, DirAny, (uint32_t)) {}
SF_IMPLEMENT_RPC(GhostConnection, rpcReadyForNormalGhosts, GuaranteedOrdered, DirAny, ()) {}
SF_IMPLEMENT_RPC(GhostConnection, rpcEndGhosting, GuaranteedOrdered, DirAny, ()) {}

} // namespace seafold
