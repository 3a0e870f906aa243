#include "scene/voiceplacement.h"
#include "scene/clientmodels.h"
#include "scene/seafold.h"
#include "session/roster.h"

#include <OgreCamera.h>
#include <OgreSceneNode.h>

namespace seafold {

void placeVoicesAtModels(Seafold& app)
{
    if (!app.camera())
        return;
    // The camera looks down its -z with y up and x to the right, as the
    // audio listener does: a place in the camera's frame is the place the
    // listener hears a voice from.
    const Ogre::Vector3 eye = app.camera()->getDerivedPosition();
    const Ogre::Quaternion toCamera = app.camera()->getDerivedOrientation().Inverse();
    app.sessionPort().placeVoices([&](const ClientRecord& record, float place[3]) {
        const RendererScene::Shown* shown = gRendererScene.shownFor(record);
        Ogre::SceneNode* node = gRendererScene.nodeOf(record);
        if (!node || !shown || shown->entity.empty())
            return false;
        Ogre::Vector3 p = toCamera * (node->_getDerivedPosition() - eye);
        place[0] = p.x;
        place[1] = p.y;
        place[2] = p.z;
        return true;
    });
}

} // namespace seafold
