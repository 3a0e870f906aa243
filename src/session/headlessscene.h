// A scene without a renderer: each user's model name and node position as
// numbers. Used by the display-less program and by tests; it behaves as the
// renderer's scene does, so the two can be compared.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>

#include "session/roster.h"

namespace seafold {

class HeadlessScene : public ClientScene {
public:
    struct Model {
        bool visible = false;      // a model is attached and shown
        std::string entity;        // the attached model
        float x = 0, y = 0, z = 0; // the node's position
        bool turned = false;       // an orientation arrived
        double yawDegrees = 0;     // its heading
    };

    void attachModel(ClientRecord& record) override;
    void detachModel(ClientRecord& record) override;
    void translateNode(ClientRecord& record, float dx, float dy, float dz) override;
    void orientNode(ClientRecord& record) override;
    void forgetClient(ClientRecord& record) override;
    void afterChange(const ClientRecord& record, bool removed) override;

    // The model shown for a user, or none.
    const Model* modelOf(const std::string& clientName) const;

    // Called after every change of a user's model, with the user's name and
    // the model (null once the user is gone). May be empty.
    using ChangeObserver = std::function<void(const std::string& clientName, const Model* model)>;
    void setOnChange(ChangeObserver observer) { mOnChange = std::move(observer); }

private:
    ChangeObserver mOnChange;
    std::map<const ClientRecord*, Model> mModels;
    std::map<std::string, const ClientRecord*> mByName;
};

} // namespace seafold
