#include "session/roster.h"

#include <algorithm>

namespace seafold {

ClientScene::~ClientScene() = default;
void ClientScene::afterChange(const ClientRecord&, bool) {}

Roster::~Roster()
{
    clear();
}

void Roster::clear()
{
    while (!mEntries.empty())
        removeRecord(mEntries.back().get());
}

ClientRecord& Roster::append(const std::string& name, SimpleEventConnection* connection)
{
    auto record = std::make_unique<ClientRecord>();
    record->name = name;
    record->connection = connection;
    mEntries.push_back(std::move(record));
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

std::string Roster::uniqueName(const std::string& name) const
{
    if (!find(name))
        return name;
    for (unsigned n = 2;; ++n) {
        std::string candidate = name + " (" + std::to_string(n) + ")";
        if (!find(candidate))
            return candidate;
    }
}

void Roster::setClientEntity(const std::string& entityName, float x, float y, float z, const std::string& clientName)
{
    if (ClientRecord* record = find(clientName)) {
        setEntity(*record, entityName, x, y, z);
        if (mScene)
            mScene->afterChange(*record, false);
    }
}

void Roster::setEntity(ClientRecord& record, const std::string& entityName, float x, float y, float z)
{
    if (record.hasEntity && mScene)
        mScene->detachModel(record); // still under its old name
    record.entityName = entityName;
    record.hasNode = true;
    record.hasEntity = true;
    if (mScene)
        mScene->attachModel(record);
    move(record, x, y, z);
}

void Roster::moveClient(float dx, float dy, float dz, const std::string& clientName)
{
    if (ClientRecord* record = find(clientName)) {
        move(*record, dx, dy, dz);
        if (mScene)
            mScene->afterChange(*record, false);
    }
}

void Roster::move(ClientRecord& record, float dx, float dy, float dz)
{
    record.offsetX += dx;
    record.offsetY += dy;
    record.offsetZ += dz;
    // A user without a model only accumulates the offset.
    if (record.hasNode && mScene)
        mScene->translateNode(record, dx, dy, dz);
}

void Roster::removeClient(const std::string& clientName)
{
    if (ClientRecord* record = find(clientName))
        removeRecord(record);
}

void Roster::removeRecord(ClientRecord* record)
{
    auto at = std::find_if(mEntries.begin(), mEntries.end(), [&](auto& e) { return e.get() == record; });
    if (at == mEntries.end())
        return;
    if (mScene) {
        if (record->hasEntity)
            mScene->detachModel(*record);
        record->hasEntity = false;
        mScene->forgetClient(*record);
        mScene->afterChange(*record, true);
    }
    mEntries.erase(at); // later entries move down; the record is freed
}

} // namespace seafold
