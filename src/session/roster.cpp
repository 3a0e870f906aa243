#include "session/roster.h"

#include "session/names.h"
#include "session/simpleeventconnection.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace seafold {

bool isUsableMovement(double dx, double dy, double dz)
{
    const double limit = std::numeric_limits<float>::max();
    // Written so that a NaN fails every comparison.
    return std::fabs(dx) <= limit && std::fabs(dy) <= limit && std::fabs(dz) <= limit;
}

bool isUsableOrientation(double w, double x, double y, double z)
{
    const double lengthSquared = w * w + x * x + y * y + z * z;
    // Written so that a NaN fails; an infinity makes the length infinite.
    return lengthSquared >= MinOrientationLengthSquared && lengthSquared <= MaxOrientationLengthSquared;
}

Orientation unitOrientation(double w, double x, double y, double z)
{
    const double length = std::sqrt(w * w + x * x + y * y + z * z);
    return {w / length, x / length, y / length, z / length};
}

ClientScene::~ClientScene() = default;
void ClientScene::orientNode(ClientRecord&) {}
void ClientScene::afterChange(const ClientRecord&, bool) {}

Roster::~Roster()
{
    clear();
}

void Roster::clear()
{
    while (!mEntries.empty())
        removeEntry(mEntries.back().get(), true);
}

void Roster::clearQuietly()
{
    while (!mEntries.empty())
        removeEntry(mEntries.back().get(), false);
}

ClientRecord& Roster::append(const std::string& name, SimpleEventConnection* connection)
{
    auto record = std::make_unique<ClientRecord>();
    record->name = name;
    record->connection = connection;
    record->id = mNextId++;
    mEntries.push_back(std::move(record));
    if (mOnChange)
        mOnChange(Change::Joined, *mEntries.back());
    return *mEntries.back();
}

ClientRecord* Roster::find(const std::string& name) const
{
    for (auto& entry : mEntries)
        if (entry->name == name)
            return entry.get();
    return nullptr;
}

ClientRecord* Roster::findByConnection(const SimpleEventConnection* connection) const
{
    if (!connection)
        return nullptr;
    for (auto& entry : mEntries)
        if (entry->connection == connection)
            return entry.get();
    return nullptr;
}

ClientRecord* Roster::findLookAlike(const std::string& name) const
{
    const NameLooks looks = nameLooks(name);
    for (auto& entry : mEntries)
        if (namesLookAlike(looks, nameLooks(entry->name)))
            return entry.get();
    return nullptr;
}

std::string Roster::uniqueName(const std::string& name) const
{
    std::string whole = fitUtf8(name, MaxNameBytes);
    if (!findLookAlike(whole))
        return whole;
    for (unsigned n = 2;; ++n) {
        std::string suffix = " (" + std::to_string(n) + ")";
        std::string candidate = fitUtf8(name, MaxNameBytes - suffix.size()) + suffix;
        if (!findLookAlike(candidate))
            return candidate;
    }
}

void Roster::setClientEntity(const std::string& entityName, float x, float y, float z, const std::string& clientName)
{
    if (ClientRecord* record = find(clientName)) {
        setEntity(*record, entityName, x, y, z);
        if (ClientScene* scene = sceneOf(*record))
            scene->afterChange(*record, false);
    }
}

void Roster::setEntity(ClientRecord& record, const std::string& entityName, float x, float y, float z)
{
    ClientScene* scene = sceneOf(record);
    if (record.hasEntity && scene)
        scene->detachModel(record); // still under its old name
    record.entityName = entityName;
    record.hasNode = true;
    record.hasEntity = true;
    if (scene)
        scene->attachModel(record);
    move(record, x, y, z);
    if (mOnChange)
        mOnChange(Change::Picked, record);
}

void Roster::moveClient(float dx, float dy, float dz, const std::string& clientName)
{
    if (ClientRecord* record = find(clientName)) {
        move(*record, dx, dy, dz);
        if (ClientScene* scene = sceneOf(*record))
            scene->afterChange(*record, false);
    }
}

void Roster::move(ClientRecord& record, float dx, float dy, float dz)
{
    // Not-a-number or infinity from the wire would poison the offset for
    // good, and every newcomer would learn it.
    if (!std::isfinite(dx) || !std::isfinite(dy) || !std::isfinite(dz))
        return;
    record.offsetX += dx;
    record.offsetY += dy;
    record.offsetZ += dz;
    // A user without a model only accumulates the offset.
    if (record.hasNode && sceneOf(record))
        mScene->translateNode(record, dx, dy, dz);
}

void Roster::turnClient(const Orientation& orientation, const std::string& clientName)
{
    ClientRecord* record = find(clientName);
    if (!record)
        return;
    record->orientation = orientation;
    record->turned = true;
    if (ClientScene* scene = sceneOf(*record)) {
        scene->orientNode(*record);
        scene->afterChange(*record, false);
    }
}

void Roster::removeClient(const std::string& clientName)
{
    if (ClientRecord* record = find(clientName))
        removeRecord(record);
}

void Roster::removeRecord(ClientRecord* record)
{
    removeEntry(record, true);
}

void Roster::removeEntry(ClientRecord* record, bool tell)
{
    auto at = std::find_if(mEntries.begin(), mEntries.end(), [&](auto& e) { return e.get() == record; });
    if (at == mEntries.end())
        return;
    if (tell && mOnChange)
        mOnChange(Change::Left, *record);
    if (ClientScene* scene = sceneOf(*record)) {
        if (record->hasEntity)
            scene->detachModel(*record);
        record->hasEntity = false;
        scene->forgetClient(*record);
        scene->afterChange(*record, true);
    }
    mEntries.erase(at); // later entries move down; the record is freed
}

} // namespace seafold
