#include "scene/namelabels.h"
#include "scene/clientmodels.h"
#include "scene/guitext.h"
#include "scene/peopleview.h"

#include <OgreAxisAlignedBox.h>
#include <OgreCamera.h>
#include <OgreEntity.h>
#include <OgreMatrix4.h>
#include <OgreSceneNode.h>

#include <CEGUI/CEGUI.h>

#include <nlohmann/json.hpp>

#include <cmath>

namespace seafold {

const char* const NameLabels::TextColour = "FFFFE040";
const char* const NameLabels::BackgroundColour = "A0101C30";

namespace {

// Room around the name inside its box, in pixels.
constexpr float PaddingX = 6.0f;
constexpr float PaddingY = 2.0f;

std::string colourRect(const char* colour)
{
    std::string c(colour);
    return "tl:" + c + " tr:" + c + " bl:" + c + " br:" + c;
}

} // namespace

NameLabels::Label& NameLabels::labelFor(uint64_t serial, const std::string& name)
{
    Label& label = mLabels[serial];
    if (label.window)
        return label;
    label.name = name;
    CEGUI::Window* window = CEGUI::WindowManager::getSingleton().createWindow("TaharezLook/StaticText",
                                                                              "NameLabel" + std::to_string(serial));
    // A name is the user's own text: no markup in it is obeyed.
    window->setTextParsingEnabled(false);
    window->setProperty("FrameEnabled", "false");
    window->setProperty("BackgroundEnabled", "true");
    window->setProperty("BackgroundColours", colourRect(BackgroundColour));
    window->setProperty("TextColours", colourRect(TextColour));
    window->setProperty("HorzFormatting", "CentreAligned");
    window->setProperty("VertFormatting", "CentreAligned");
    // Clicks go through to the view below (camera and model drags).
    window->setMousePassThroughEnabled(true);
    window->setInheritsAlpha(false);
    window->hide();
    mContainer->addChild(window);
    label.window = window;
    setText(label, false);
    return label;
}

void NameLabels::setText(Label& label, bool speaking)
{
    label.speaking = speaking;
    CEGUI::Window* window = label.window;
    window->setText(guiUtf8((speaking ? SpeakerMark : "") + displayText(label.name)));
    const CEGUI::Font* font = window->getFont();
    const float width = font ? font->getTextExtent(window->getText()) + 2 * PaddingX : 100.0f;
    // Placed anew for its width at the next update.
    label.box.width = width;
    label.box.height = font ? font->getLineSpacing() + 2 * PaddingY : 20.0f;
    window->setSize(CEGUI::USize(CEGUI::UDim(0, label.box.width), CEGUI::UDim(0, label.box.height)));
}

void NameLabels::place(Label& label, bool visible, const ScreenBox& box)
{
    if (!visible) {
        if (label.shown)
            label.window->hide();
        label.shown = false;
        return;
    }
    // Moved only when it lands on another pixel: the GUI redraws what moves.
    if (!label.shown || box.x != label.box.x || box.y != label.box.y) {
        label.window->setPosition(CEGUI::UVector2(CEGUI::UDim(0, box.x), CEGUI::UDim(0, box.y)));
        label.box.x = box.x;
        label.box.y = box.y;
    }
    if (!label.shown)
        label.window->show();
    label.shown = true;
}

void NameLabels::update(const RendererScene& scene, const Ogre::Camera& camera, float viewWidth, float viewHeight,
                        const std::function<bool(const std::string& name)>& speaking)
{
    if (!mContainer)
        return;
    for (auto& entry : mLabels)
        entry.second.seen = false;
    const Ogre::Matrix4 viewProjection = camera.getProjectionMatrix() * camera.getViewMatrix();
    scene.forEachShownModel([&](uint64_t serial, const std::string& name, Ogre::Entity& entity) {
        Label& label = labelFor(serial, name);
        label.seen = true;
        const bool marked = speaking && speaking(name);
        if (marked != label.speaking)
            setText(label, marked);
        // Above the node, at the height of the model's top: the node keeps
        // the label still while the model spins.
        Ogre::Vector3 top = entity.getParentSceneNode()->_getDerivedPosition();
        const Ogre::AxisAlignedBox& bounds = entity.getWorldBoundingBox(true);
        if (bounds.isFinite())
            top.y = bounds.getMaximum().y;
        Ogre::Vector4 clip = viewProjection * Ogre::Vector4(top.x, top.y, top.z, 1.0f);
        ScreenBox box;
        bool visible =
            labelBoxAbove(clip.x, clip.y, clip.w, viewWidth, viewHeight, label.box.width, label.box.height, &box);
        if (visible) {
            label.anchorX = (clip.x / clip.w * 0.5f + 0.5f) * viewWidth;
            label.anchorY = (0.5f - clip.y / clip.w * 0.5f) * viewHeight;
        }
        place(label, visible, box);
    });
    // The labels of users who left, or whose model went.
    for (auto it = mLabels.begin(); it != mLabels.end();) {
        if (it->second.seen) {
            ++it;
            continue;
        }
        CEGUI::WindowManager::getSingleton().destroyWindow(it->second.window);
        it = mLabels.erase(it);
    }
}

Json NameLabels::describe() const
{
    Json labels = Json::array();
    for (const auto& entry : mLabels) {
        const Label& label = entry.second;
        if (!label.shown)
            continue;
        Json one;
        one["name"] = jsonText(label.name);
        one["box"] = Json::array({label.box.x, label.box.y, label.box.width, label.box.height});
        one["anchor"] = Json::array({std::round(label.anchorX), std::round(label.anchorY)});
        if (label.speaking)
            one["speaking"] = true;
        labels.push_back(one);
    }
    return labels;
}

void NameLabels::clear()
{
    if (CEGUI::WindowManager::getSingletonPtr())
        for (auto& entry : mLabels)
            CEGUI::WindowManager::getSingleton().destroyWindow(entry.second.window);
    mLabels.clear();
}

} // namespace seafold
