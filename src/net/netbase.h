// The registry of classes that can be created from the network by id, and
// their records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/object.h"
#include "base/platform.h"

namespace seafold {

class NetClassRep;

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
    // The classes of the table up to and including `version`: a version
    // border, since the table is ordered by version first.
    static uint32_t classCountUpToVersion(uint32_t group, uint32_t type, int32_t version);
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

// The id of an object's class within a class group. Asking for a class
// without a record is a programming error.
uint32_t classIdOf(const Object& object, uint32_t group);

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
