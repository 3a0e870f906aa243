// Remote procedure calls: a method of a connection class whose call on one
// peer runs the same-named handler on the other. Each call is carried by an
// event of a class made for that one method, which stores the arguments,
// writes and reads them, and calls the handler on the receiving connection.
//
// Declaring a call, in the connection class body (types only):
//
//     class ChatConnection : public EventConnection {
//         ...
//         SF_DECLARE_RPC(c2sSay, StringPtr, int32_t);
//         SF_DECLARE_RPC(s2cPing);
//     };
//
// and once in a .cpp, with the delivery attributes, the parameter names and
// the handler's body (the class name unqualified, inside its namespace):
//
//     SF_IMPLEMENT_RPC(ChatConnection, c2sSay, GuaranteedOrdered, DirClientToServer,
//                      (StringPtr text, int32_t channel))
//     {
//         ... runs on the receiving connection ...
//     }
//
// The class then has:
//   bool c2sSay(StringPtr, int32_t)                    builds the event and posts it on this connection
//   virtual RefPtr<RPCEvent> c2sSay_build(StringPtr, int32_t)   builds it without posting (null when an
//                                                      argument is over its limit)
//   virtual void c2sSay_handler(StringPtr, int32_t)    the body above; derived classes may override it
// The event class "RPC_ChatConnection_c2sSay" is registered with group
// mask 1, type event, version 0 (SF_IMPLEMENT_RPC_EX takes another mask and
// version). SF_DECLARE_RPC leaves the class body's access at public.
//
// Parameter types and their encodings (written back to back):
//   int32_t, uint32_t     32 bits
//   double                64 bits (writeF64)
//   bool                  1 bit
//   StringPtr             writeText(text, 255); a null text goes as the empty text
//   RefPtr<ByteBuffer>    [size] (10 bits) then size bytes; at most 1023 bytes
//   std::vector<int32_t>  [count] (8 bits) then count x 32 bits; at most 255 elements
// The builder refuses arguments over those limits (the call returns false and
// logs on "LogRPC"); a byte buffer that grows past 1023 bytes after the
// event was built is cut to its first 1023 bytes when written, so nothing
// malformed is ever sent. A parameter type written with a comma (a template
// with two arguments) needs an alias.
#pragma once

#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "net/eventconnection.h"

namespace seafold {

// ---- StringPtr ---------------------------------------------------------------

// A counted, immutable text. A null StringPtr reads as the empty text.
class StringPtr {
public:
    StringPtr() = default;
    StringPtr(const char* text); // copies; a null text gives a null StringPtr
    StringPtr(const StringPtr& other);
    StringPtr(StringPtr&& other) noexcept : mRep(other.mRep) { other.mRep = nullptr; }
    StringPtr& operator=(const StringPtr& other);
    StringPtr& operator=(StringPtr&& other) noexcept;
    ~StringPtr();

    const char* c_str() const { return mRep ? mRep->text : ""; } // never null
    uint32_t length() const { return mRep ? mRep->length : 0; }
    bool isNull() const { return mRep == nullptr; }
    bool operator==(const char* text) const;
    bool operator!=(const char* text) const { return !(*this == text); }

private:
    struct Rep {
        uint32_t refCount;
        uint32_t length;
        char text[1]; // length + 1 characters are allocated
    };
    void release();
    Rep* mRep = nullptr;
};

// ---- argument encodings --------------------------------------------------------

// RPCArg<T> reads, writes and checks one parameter type. Reads never trust
// the stream: a count that the rest of the packet cannot hold sets the
// stream's error flag before anything is allocated.
template <class T> struct RPCArg {
    static_assert(sizeof(T) == 0, "this type cannot be an RPC parameter (see net/rpc.h for the list)");
};

template <> struct RPCArg<int32_t> {
    static bool valid(int32_t) { return true; }
    static void write(BitStream& stream, int32_t value) { stream.writeU32(uint32_t(value)); }
    static void read(BitStream& stream, int32_t& value) { value = int32_t(stream.readU32()); }
};

template <> struct RPCArg<uint32_t> {
    static bool valid(uint32_t) { return true; }
    static void write(BitStream& stream, uint32_t value) { stream.writeU32(value); }
    static void read(BitStream& stream, uint32_t& value) { value = stream.readU32(); }
};

template <> struct RPCArg<double> {
    static bool valid(double) { return true; }
    static void write(BitStream& stream, double value) { stream.writeF64(value); }
    static void read(BitStream& stream, double& value) { value = stream.readF64(); }
};

template <> struct RPCArg<bool> {
    static bool valid(bool) { return true; }
    static void write(BitStream& stream, bool value) { stream.writeFlag(value); }
    static void read(BitStream& stream, bool& value) { value = stream.readFlag(); }
};

template <> struct RPCArg<StringPtr> {
    static bool valid(const StringPtr&) { return true; } // writeText cuts at 255 characters
    static void write(BitStream& stream, const StringPtr& value);
    static void read(BitStream& stream, StringPtr& value);
};

template <> struct RPCArg<RefPtr<ByteBuffer>> {
    enum : uint32_t { MaxBytes = 1023, SizeBits = 10 };
    static bool valid(const RefPtr<ByteBuffer>& value);
    static void write(BitStream& stream, const RefPtr<ByteBuffer>& value);
    static void read(BitStream& stream, RefPtr<ByteBuffer>& value); // always a new owned buffer
};

template <> struct RPCArg<std::vector<int32_t>> {
    enum : uint32_t { MaxCount = 255, CountBits = 8 };
    static bool valid(const std::vector<int32_t>& value);
    static void write(BitStream& stream, const std::vector<int32_t>& value);
    static void read(BitStream& stream, std::vector<int32_t>& value);
};

// ---- argument holders -------------------------------------------------------------

class Functor {
public:
    virtual ~Functor();
    virtual void read(BitStream& stream) = 0;
    virtual void write(BitStream& stream) = 0;
    virtual void dispatch(Object* object) = 0;
};

// The stored arguments of one parameter list, in declaration order.
template <class... Args> class FunctorArgs : public Functor {
public:
    using Values = std::tuple<std::decay_t<Args>...>;

    // Stores the caller's arguments; false (logged) when one is over its limit.
    bool set(const std::decay_t<Args>&... values)
    {
        mValues = Values(values...);
        bool ok = (true && ... && RPCArg<std::decay_t<Args>>::valid(values));
        if (!ok)
            logRefusedArguments();
        return ok;
    }
    const Values& values() const { return mValues; }
    // Changing stored arguments changes what is written next: only for
    // events nobody else holds (see RPCEvent::isAmendable).
    Values& values() { return mValues; }

    void read(BitStream& stream) override { readAll(stream, std::index_sequence_for<Args...>()); }
    void write(BitStream& stream) override { writeAll(stream, std::index_sequence_for<Args...>()); }

protected:
    template <size_t... I> void readAll(BitStream& stream, std::index_sequence<I...>)
    {
        (RPCArg<std::decay_t<Args>>::read(stream, std::get<I>(mValues)), ...);
        (void)stream;
    }
    template <size_t... I> void writeAll(BitStream& stream, std::index_sequence<I...>)
    {
        (RPCArg<std::decay_t<Args>>::write(stream, std::get<I>(mValues)), ...);
        (void)stream;
    }
    static void logRefusedArguments();

    Values mValues;
};

template <class... Args> void FunctorArgs<Args...>::logRefusedArguments()
{
    SF_LOG("LogRPC", "RPC arguments over their limits (1023 bytes, 255 list elements): call refused");
}

template <class Method> class FunctorDecl;

// The arguments of a handler `void C::method(Args...)` and the method itself,
// called through the class's virtual table so overrides take effect.
template <class C, class... Args> class FunctorDecl<void (C::*)(Args...)> : public FunctorArgs<Args...> {
public:
    using Method = void (C::*)(Args...);
    explicit FunctorDecl(Method method) : mMethod(method) {}

    // `object` must be a C (RPCEvent checks with checkClassType first).
    void dispatch(Object* object) override { callWith(static_cast<C*>(object), std::index_sequence_for<Args...>()); }

private:
    template <size_t... I> void callWith(C* object, std::index_sequence<I...>)
    {
        (object->*mMethod)(std::get<I>(this->mValues)...);
    }
    Method mMethod;
};

// ---- RPCEvent --------------------------------------------------------------------

class RPCEvent : public NetEvent {
public:
    // `functor` is the concrete class's FunctorDecl (a member constructed
    // after this base: only its address is kept here).
    RPCEvent(int32_t guaranteeType, int32_t direction, Functor* functor);
    ~RPCEvent() override;

    void pack(EventConnection* connection, BitStream& stream) override;
    void unpack(EventConnection* connection, BitStream& stream) override;
    // Calls the handler when the connection is of the declaring class;
    // ignores the event otherwise.
    void process(EventConnection* connection) override;
    virtual bool checkClassType(Object* object) const = 0;

    Functor* functor() const { return mFunctor; }

    // ---- where the event is (for senders that amend what still waits) ----
    // Counts the queues the event was posted on and tells an observing
    // connection (see RPCPostObserver).
    void notifyPosted(EventConnection* connection) override;
    // Written into a packet: from now on a copy may be on its way.
    void notifySent(EventConnection* connection) override;
    // Given up unsent (not delivered) also ends every chance of amending it.
    void notifyDelivered(EventConnection* connection, bool delivered) override;
    uint32_t postCount() const { return mPostCount; }
    bool wasWritten() const { return mWritten; }
    // True while changing the arguments in place changes what one receiver
    // will read and nothing else: posted on exactly one connection, never
    // written into a packet, never given up.
    bool isAmendable() const { return mPostCount == 1 && !mWritten && !mGivenUp; }

    // The stored arguments, for the call's own parameter types; null when
    // the types are not the event's.
    template <class... Args> typename FunctorArgs<Args...>::Values* arguments()
    {
        auto* args = dynamic_cast<FunctorArgs<Args...>*>(mFunctor);
        return args ? &args->values() : nullptr;
    }

private:
    Functor* mFunctor;
    uint32_t mPostCount = 0;
    bool mWritten = false;
    bool mGivenUp = false;
};

// A connection class that wants to hear of every remote call posted on it
// derives from this as well: rpcPosted runs inside postEvent, before the
// event is queued.
class RPCPostObserver {
public:
    virtual void rpcPosted(RPCEvent* event) = 0;

protected:
    ~RPCPostObserver() = default;
};

} // namespace seafold

// ---- declaration macros ----------------------------------------------------------

#define SF_RPC_CAT_(a, b) a##b
#define SF_RPC_CAT(a, b) SF_RPC_CAT_(a, b)
#define SF_RPC_COUNT_(_1, _2, _3, _4, _5, _6, _7, _8, n, ...) n
#define SF_RPC_COUNT(...) SF_RPC_COUNT_(__VA_ARGS__ __VA_OPT__(, ) 8, 7, 6, 5, 4, 3, 2, 1, 0)

#define SF_RPC_PARAMS_0()
#define SF_RPC_PARAMS_1(t1) t1 sfArg1
#define SF_RPC_PARAMS_2(t1, t2) t1 sfArg1, t2 sfArg2
#define SF_RPC_PARAMS_3(t1, t2, t3) t1 sfArg1, t2 sfArg2, t3 sfArg3
#define SF_RPC_PARAMS_4(t1, t2, t3, t4) t1 sfArg1, t2 sfArg2, t3 sfArg3, t4 sfArg4
#define SF_RPC_PARAMS_5(t1, t2, t3, t4, t5) t1 sfArg1, t2 sfArg2, t3 sfArg3, t4 sfArg4, t5 sfArg5
#define SF_RPC_PARAMS_6(t1, t2, t3, t4, t5, t6) t1 sfArg1, t2 sfArg2, t3 sfArg3, t4 sfArg4, t5 sfArg5, t6 sfArg6
#define SF_RPC_PARAMS_7(t1, t2, t3, t4, t5, t6, t7) \
    t1 sfArg1, t2 sfArg2, t3 sfArg3, t4 sfArg4, t5 sfArg5, t6 sfArg6, t7 sfArg7
#define SF_RPC_PARAMS_8(t1, t2, t3, t4, t5, t6, t7, t8) \
    t1 sfArg1, t2 sfArg2, t3 sfArg3, t4 sfArg4, t5 sfArg5, t6 sfArg6, t7 sfArg7, t8 sfArg8
#define SF_RPC_PARAMS(...) SF_RPC_CAT(SF_RPC_PARAMS_, SF_RPC_COUNT(__VA_ARGS__))(__VA_ARGS__)

#define SF_RPC_NAMES_0
#define SF_RPC_NAMES_1 sfArg1
#define SF_RPC_NAMES_2 sfArg1, sfArg2
#define SF_RPC_NAMES_3 sfArg1, sfArg2, sfArg3
#define SF_RPC_NAMES_4 sfArg1, sfArg2, sfArg3, sfArg4
#define SF_RPC_NAMES_5 sfArg1, sfArg2, sfArg3, sfArg4, sfArg5
#define SF_RPC_NAMES_6 sfArg1, sfArg2, sfArg3, sfArg4, sfArg5, sfArg6
#define SF_RPC_NAMES_7 sfArg1, sfArg2, sfArg3, sfArg4, sfArg5, sfArg6, sfArg7
#define SF_RPC_NAMES_8 sfArg1, sfArg2, sfArg3, sfArg4, sfArg5, sfArg6, sfArg7, sfArg8
#define SF_RPC_NAMES(...) SF_RPC_CAT(SF_RPC_NAMES_, SF_RPC_COUNT(__VA_ARGS__))

// In the body of a class derived from EventConnection: the caller, the
// builder and the handler of one call, for the given parameter types.
#define SF_DECLARE_RPC(name, ...)                                                                                   \
public:                                                                                                             \
    virtual void name##_handler(SF_RPC_PARAMS(__VA_ARGS__));                                                        \
    virtual ::seafold::RefPtr<::seafold::RPCEvent> name##_build(SF_RPC_PARAMS(__VA_ARGS__))                         \
    {                                                                                                               \
        ::seafold::RefPtr<::seafold::RPCEvent> sfEvent = name##_newEvent();                                         \
        if (!static_cast<::seafold::FunctorArgs<__VA_ARGS__>*>(sfEvent->functor())->set(SF_RPC_NAMES(__VA_ARGS__))) \
            return nullptr;                                                                                         \
        return sfEvent;                                                                                             \
    }                                                                                                               \
    bool name(SF_RPC_PARAMS(__VA_ARGS__))                                                                           \
    {                                                                                                               \
        return postEvent(name##_build(SF_RPC_NAMES(__VA_ARGS__)));                                                  \
    }                                                                                                               \
    static ::seafold::RPCEvent* name##_newEvent()

// In a .cpp, followed by the handler's body: the event class of one call,
// its registration, and the head of the handler's definition. `params` is
// the parenthesised parameter list with names; `guarantee` and `direction`
// are NetEvent enumerators without the class prefix.
#define SF_IMPLEMENT_RPC_EX(cls, name, groupMask, version, guarantee, direction, params)                          \
    namespace {                                                                                                   \
    class RPC_##cls##_##name final : public ::seafold::RPCEvent {                                                 \
    public:                                                                                                       \
        RPC_##cls##_##name()                                                                                      \
            : ::seafold::RPCEvent(::seafold::NetEvent::guarantee, ::seafold::NetEvent::direction, &mDecl),        \
              mDecl(&cls::name##_handler)                                                                         \
        {                                                                                                         \
        }                                                                                                         \
        bool checkClassType(::seafold::Object* object) const override                                             \
        {                                                                                                         \
            return dynamic_cast<cls*>(object) != nullptr;                                                         \
        }                                                                                                         \
        ::seafold::NetClassRep* classRep() const override { return &dynClassRep; }                                \
        static ::seafold::NetClassRepInstance<RPC_##cls##_##name> dynClassRep;                                    \
                                                                                                                  \
    private:                                                                                                      \
        ::seafold::FunctorDecl<decltype(&cls::name##_handler)> mDecl;                                             \
    };                                                                                                            \
    ::seafold::NetClassRepInstance<RPC_##cls##_##name>                                                            \
        RPC_##cls##_##name::dynClassRep("RPC_" #cls "_" #name, groupMask, ::seafold::NetClassTypeEvent, version); \
    }                                                                                                             \
    ::seafold::RPCEvent* cls::name##_newEvent()                                                                   \
    {                                                                                                             \
        return new RPC_##cls##_##name;                                                                            \
    }                                                                                                             \
    void cls::name##_handler params

#define SF_IMPLEMENT_RPC(cls, name, guarantee, direction, params) \
    SF_IMPLEMENT_RPC_EX(cls, name, ::seafold::NetClassGroupDefaultMask, 0, guarantee, direction, params)
