// Objects with intrusive reference counts, counted and weak references, and
// the registry of classes that can be created from the network by id.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/platform.h"

namespace seafold {

class NetClassRep;
class WeakRefBase;

enum NetClassType : int32_t {
    NetClassTypeNone = -1, // never gets an id
    NetClassTypeObject = 0,
    NetClassTypeData = 1,
    NetClassTypeEvent = 2,
    NetClassTypeCount = 3,
};

enum : uint32_t {
    NetClassGroupCount = 4,
    NetClassGroupDefault = 0,
    NetClassGroupDefaultMask = 1u << NetClassGroupDefault,
};

// Base of every counted object. Objects created on the stack or owned
// directly keep a count of 0 and are never deleted through it.
class Object {
public:
    Object() = default;
    Object(const Object&) : Object() {} // a copy is a new object: no refs, no weak refs
    Object& operator=(const Object&) { return *this; }
    virtual ~Object();

    // The registry record of the object's class, or none for classes that
    // cannot be created from the network.
    virtual NetClassRep* classRep() const { return nullptr; }
    // Destroys and frees the object.
    virtual void deleteSelf() { delete this; }
    // True for connection classes (see createConnectionByName).
    virtual bool isNetConnection() const { return false; }

    void incRef() { ++mRefCount; }
    void decRef()
    {
        if (--mRefCount == 0)
            deleteSelf();
    }
    uint32_t refCount() const { return mRefCount; }

    // The id of this object's class within a class group.
    uint32_t classIdFor(uint32_t group) const;

private:
    friend class WeakRefBase;
    WeakRefBase* mFirstWeakRef = nullptr;
    uint32_t mRefCount = 0;
};

// A counted reference: holding a pointer is one unit of the object's count.
template <class T> class RefPtr {
public:
    RefPtr() = default;
    RefPtr(T* object) : mObject(object)
    {
        if (mObject)
            mObject->incRef();
    }
    RefPtr(const RefPtr& other) : RefPtr(other.mObject) {}
    template <class U> RefPtr(const RefPtr<U>& other) : RefPtr(other.get()) {}
    RefPtr(RefPtr&& other) noexcept : mObject(other.mObject) { other.mObject = nullptr; }
    ~RefPtr()
    {
        if (mObject)
            mObject->decRef();
    }

    RefPtr& operator=(T* object)
    {
        // Increment first, so assigning an object to itself keeps it alive.
        if (object)
            object->incRef();
        T* old = mObject;
        mObject = object;
        if (old)
            old->decRef();
        return *this;
    }
    RefPtr& operator=(const RefPtr& other) { return *this = other.mObject; }
    RefPtr& operator=(RefPtr&& other) noexcept
    {
        if (this != &other) {
            T* old = mObject;
            mObject = other.mObject;
            other.mObject = nullptr;
            if (old)
                old->decRef();
        }
        return *this;
    }

    T* get() const { return mObject; }
    T* operator->() const { return mObject; }
    T& operator*() const { return *mObject; }
    operator T*() const { return mObject; }
    bool isNull() const { return mObject == nullptr; }
    bool isValid() const { return mObject != nullptr; }

private:
    T* mObject = nullptr;
};

// A reference that the object clears when it is destroyed.
class WeakRefBase {
public:
    WeakRefBase() = default;
    explicit WeakRefBase(Object* object) { set(object); }
    WeakRefBase(const WeakRefBase& other) { set(other.mObject); }
    WeakRefBase& operator=(const WeakRefBase& other)
    {
        set(other.mObject);
        return *this;
    }
    ~WeakRefBase() { set(nullptr); }

    void set(Object* object);
    Object* object() const { return mObject; }

private:
    friend class Object;
    Object* mObject = nullptr;
    WeakRefBase* mPrevious = nullptr;
    WeakRefBase* mNext = nullptr;
};

template <class T> class WeakRef : public WeakRefBase {
public:
    WeakRef() = default;
    WeakRef(T* object) : WeakRefBase(object) {}
    WeakRef& operator=(T* object)
    {
        set(object);
        return *this;
    }
    T* get() const { return static_cast<T*>(object()); }
    T* operator->() const { return get(); }
    operator T*() const { return get(); }
};

// ---- class registry --------------------------------------------------------

// A static record describing a class that can be created by id or by name.
class NetClassRep {
public:
    NetClassRep(const char* className, uint32_t groupMask, int32_t classType, int32_t classVersion);
    virtual ~NetClassRep();
    NetClassRep(const NetClassRep&) = delete;
    NetClassRep& operator=(const NetClassRep&) = delete;

    virtual Object* create() const = 0;

    const char* className() const { return mClassName.c_str(); }
    uint32_t groupMask() const { return mGroupMask; }
    int32_t classType() const { return mClassType; }
    int32_t classVersion() const { return mClassVersion; }
    uint32_t classId(uint32_t group) const { return mClassId[group]; }

    // Builds the per-group, per-type id tables; later calls do nothing.
    static void initialize();
    static bool isInitialized();

    // A new object of the class with this id. Ids from the network must be
    // checked against classCount first: an id out of range is a programming
    // error here.
    static Object* createByClassId(uint32_t group, uint32_t type, uint32_t classId);
    static uint32_t classCount(uint32_t group, uint32_t type);
    static uint32_t classIdBitCount(uint32_t group, uint32_t type);
    static uint32_t classGroupChecksum(uint32_t group);
    // True when the first `count` classes of the table can be used on their
    // own: count is the whole table, or the classes at positions count - 1
    // and count have different versions. 0 only for an empty table.
    static bool isVersionBorderCount(uint32_t group, uint32_t type, uint32_t count);
    static NetClassRep* findByName(const char* name);

private:
    uint32_t mGroupMask;
    int32_t mClassVersion;
    int32_t mClassType;
    uint32_t mClassId[NetClassGroupCount] = {0, 0, 0, 0};
    std::string mClassName;
    NetClassRep* mNext;
};

template <class T> class NetClassRepInstance : public NetClassRep {
public:
    NetClassRepInstance(const char* className, uint32_t groupMask, int32_t classType, int32_t classVersion)
        : NetClassRep(className, groupMask, classType, classVersion)
    {
    }
    Object* create() const override { return new T; }
};

// The list of connection classes a remote peer may ask for by name.
struct ConnectionClassEntry {
    ConnectionClassEntry(NetClassRep* rep, bool remoteCreatable);
    ConnectionClassEntry* next;
    NetClassRep* rep;
    bool remoteCreatable;
};

// A new connection object of the remote-creatable class with this name, or
// none. The caller takes the object (count 0) and should hold it in a RefPtr.
Object* createConnectionByName(const char* className);

} // namespace seafold

// Declares the registry record of a class; use inside the class body.
#define SF_DECLARE_CLASS(className)                               \
public:                                                           \
    static ::seafold::NetClassRepInstance<className> dynClassRep; \
    ::seafold::NetClassRep* classRep() const override             \
    {                                                             \
        return &dynClassRep;                                      \
    }                                                             \
                                                                  \
private:

// Defines the record of an event class (group 0, type event, version 0).
#define SF_IMPLEMENT_NETEVENT(className)                                                                              \
    ::seafold::NetClassRepInstance<className> className::dynClassRep(#className, ::seafold::NetClassGroupDefaultMask, \
                                                                     ::seafold::NetClassTypeEvent, 0)

// Defines the record of a connection class and enters it in the connection
// class list as remote creatable.
#define SF_IMPLEMENT_NETCONNECTION(className)                                                                        \
    ::seafold::NetClassRepInstance<className> className::dynClassRep(#className, 0, ::seafold::NetClassTypeNone, 0); \
    static ::seafold::ConnectionClassEntry className##ConnectionEntry(&className::dynClassRep, true)
