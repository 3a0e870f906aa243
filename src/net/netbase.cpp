#include "net/netbase.h"

#include <algorithm>
#include <cstring>

namespace seafold {

// ---- class registry --------------------------------------------------------

namespace {

// Plain pointers with constant initialisers: ready before any static record
// registers itself.
NetClassRep* gClassList = nullptr;
ConnectionClassEntry* gConnectionClassList = nullptr;
bool gInitialized = false;

struct ClassTables {
    std::vector<NetClassRep*> table[NetClassGroupCount][NetClassTypeCount];
    uint32_t bitCount[NetClassGroupCount][NetClassTypeCount] = {};
};

ClassTables& tables()
{
    static ClassTables t;
    return t;
}

// log2 of the smallest power of two that is at least count + 1.
uint32_t bitsForIds(uint32_t count)
{
    uint32_t bits = 0;
    while ((uint64_t(1) << bits) < uint64_t(count) + 1)
        ++bits;
    return bits;
}

} // namespace

NetClassRep::NetClassRep(const char* className, uint32_t groupMask, int32_t classType, int32_t classVersion)
    : mGroupMask(groupMask), mClassVersion(classVersion), mClassType(classType), mClassName(className),
      mNext(gClassList)
{
    gClassList = this;
}

NetClassRep::~NetClassRep()
{
    for (NetClassRep** link = &gClassList; *link; link = &(*link)->mNext) {
        if (*link == this) {
            *link = mNext;
            break;
        }
    }
}

void NetClassRep::initialize()
{
    if (gInitialized)
        return;
    ClassTables& t = tables();
    for (uint32_t group = 0; group < NetClassGroupCount; ++group) {
        for (int32_t type = 0; type < NetClassTypeCount; ++type) {
            std::vector<NetClassRep*> list;
            for (NetClassRep* rep = gClassList; rep; rep = rep->mNext)
                if (rep->mClassType == type && (rep->mGroupMask & (1u << group)))
                    list.push_back(rep);
            if (list.empty())
                continue;
            std::stable_sort(list.begin(), list.end(), [](const NetClassRep* a, const NetClassRep* b) {
                if (a->mClassVersion != b->mClassVersion)
                    return a->mClassVersion < b->mClassVersion;
                return std::strcmp(a->className(), b->className()) < 0;
            });
            SF_LOG("LogNetBase", "Class Group: %u  Class Type: %d  count: %u", group, type, uint32_t(list.size()));
            for (uint32_t i = 0; i < list.size(); ++i) {
                SF_LOG("LogNetBase", "%s", list[i]->className());
                list[i]->mClassId[group] = i;
            }
            t.bitCount[group][type] = bitsForIds(uint32_t(list.size()));
            t.table[group][type] = std::move(list);
        }
    }
    gInitialized = true;
}

bool NetClassRep::isInitialized()
{
    return gInitialized;
}

Object* NetClassRep::createByClassId(uint32_t group, uint32_t type, uint32_t classId)
{
    if (!gInitialized) {
        assertFailed(__FILE__, __LINE__, "creating an object before NetClassRep::initialize.");
        return nullptr;
    }
    if (group >= NetClassGroupCount || type >= NetClassTypeCount || classId >= classCount(group, type)) {
        assertFailed(__FILE__, __LINE__, "Class id out of range.");
        return nullptr;
    }
    NetClassRep* rep = tables().table[group][type][classId];
    if (!rep) {
        assertFailed(__FILE__, __LINE__, "No class with declared id type.");
        return nullptr;
    }
    return rep->create();
}

uint32_t NetClassRep::classCount(uint32_t group, uint32_t type)
{
    if (group >= NetClassGroupCount || type >= NetClassTypeCount)
        return 0;
    return uint32_t(tables().table[group][type].size());
}

uint32_t NetClassRep::classIdBitCount(uint32_t group, uint32_t type)
{
    if (group >= NetClassGroupCount || type >= NetClassTypeCount)
        return 0;
    return tables().bitCount[group][type];
}

uint32_t NetClassRep::classGroupChecksum(uint32_t group)
{
    return group == 0 ? 0xFFFFFFFFu : 0u;
}

bool NetClassRep::isVersionBorderCount(uint32_t group, uint32_t type, uint32_t count)
{
    uint32_t total = classCount(group, type);
    if (count == total)
        return true;
    if (count == 0 || count > total)
        return false;
    const std::vector<NetClassRep*>& table = tables().table[group][type];
    return table[count - 1]->mClassVersion != table[count]->mClassVersion;
}

uint32_t NetClassRep::classCountUpToVersion(uint32_t group, uint32_t type, int32_t version)
{
    if (group >= NetClassGroupCount || type >= NetClassTypeCount)
        return 0;
    uint32_t count = 0;
    for (const NetClassRep* rep : tables().table[group][type])
        if (rep->mClassVersion <= version)
            ++count;
    return count;
}

NetClassRep* NetClassRep::findByName(const char* name)
{
    for (NetClassRep* rep = gClassList; rep; rep = rep->mNext)
        if (std::strcmp(rep->className(), name) == 0)
            return rep;
    return nullptr;
}

uint32_t classIdOf(const Object& object, uint32_t group)
{
    NetClassRep* rep = object.classRep();
    if (!rep) {
        assertFailed(__FILE__, __LINE__, "Cannot get class id from non-declared dynamic class");
        return 0;
    }
    return rep->classId(group);
}

ConnectionClassEntry::ConnectionClassEntry(NetClassRep* rep_, bool remoteCreatable_)
    : next(gConnectionClassList), rep(rep_), remoteCreatable(remoteCreatable_)
{
    gConnectionClassList = this;
}

Object* createConnectionByName(const char* className)
{
    for (ConnectionClassEntry* entry = gConnectionClassList; entry; entry = entry->next) {
        if (!entry->remoteCreatable || std::strcmp(entry->rep->className(), className) != 0)
            continue;
        Object* object = entry->rep->create();
        if (!object->isNetConnection()) {
            assertFailed(__FILE__, __LINE__, "Invalid network connection class");
            object->deleteSelf();
            return nullptr;
        }
        return object;
    }
    return nullptr;
}

} // namespace seafold
