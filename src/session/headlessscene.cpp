#include "session/headlessscene.h"

namespace seafold {

void HeadlessScene::attachModel(ClientRecord& record)
{
    Model& model = mModels[&record]; // a new node starts at the origin
    model.entity = record.entityName;
    model.visible = true;
    model.turned = record.turned;
    model.yawDegrees = record.orientation.yawDegrees();
    mByName[record.name] = &record;
}

void HeadlessScene::detachModel(ClientRecord& record)
{
    auto it = mModels.find(&record);
    if (it == mModels.end())
        return;
    it->second.visible = false;
    it->second.entity.clear();
}

void HeadlessScene::translateNode(ClientRecord& record, float dx, float dy, float dz)
{
    auto it = mModels.find(&record);
    if (it == mModels.end())
        return;
    it->second.x += dx;
    it->second.y += dy;
    it->second.z += dz;
}

void HeadlessScene::orientNode(ClientRecord& record)
{
    auto it = mModels.find(&record);
    if (it == mModels.end())
        return;
    it->second.turned = true;
    it->second.yawDegrees = record.orientation.yawDegrees();
}

void HeadlessScene::forgetClient(ClientRecord& record)
{
    mModels.erase(&record);
    auto named = mByName.find(record.name);
    if (named != mByName.end() && named->second == &record)
        mByName.erase(named);
}

void HeadlessScene::afterChange(const ClientRecord& record, bool removed)
{
    auto it = mModels.find(&record);
    const Model* model = removed || it == mModels.end() ? nullptr : &it->second;
    if (mOnChange)
        mOnChange(record.name, model);
    if (hasOnModelChange()) {
        ShownModel shown;
        if (model) {
            shown.entity = model->visible ? model->entity : std::string();
            shown.x = model->x;
            shown.y = model->y;
            shown.z = model->z;
            shown.turned = model->turned;
            shown.yawDegrees = model->yawDegrees;
        }
        tellModelChange(record.name, model ? &shown : nullptr);
    }
}

const HeadlessScene::Model* HeadlessScene::modelOf(const std::string& clientName) const
{
    auto named = mByName.find(clientName);
    if (named == mByName.end())
        return nullptr;
    auto it = mModels.find(named->second);
    return it == mModels.end() ? nullptr : &it->second;
}

} // namespace seafold
