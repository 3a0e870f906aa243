// Name labels: each other user's model carries the user's name just above
// it. A label is a GUI text placed, every frame, where the top of the model
// projects on the window, so it always faces the camera and stays readable
// at any distance; it hides while its model is behind the camera or out of
// the window. While the user's voice plays, the label carries the speaker
// mark before the name, as the People panel does.
#pragma once

#include "scene/controllogic.h"
#include "session/json.h"

#include <OgrePrerequisites.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace CEGUI {
class Window;
}

namespace seafold {

class RendererScene;

class NameLabels {
public:
    // The labels' colours: bright text on a dark, half-clear box (the tests
    // look for the text colour in screenshots).
    static const char* const TextColour;       // "FFFFE040"
    static const char* const BackgroundColour; // "A0101C30"

    // Labels are created inside `container` (a window covering the view,
    // behind the panels); null: no labels.
    void attach(CEGUI::Window* container) { mContainer = container; }

    // Places one label per shown model of `scene` for `camera` over a view
    // of `viewWidth` x `viewHeight` pixels; labels of users who left go.
    // `speaking` tells whether a user's voice plays now (may be empty).
    void update(const RendererScene& scene, const Ogre::Camera& camera, float viewWidth, float viewHeight,
                const std::function<bool(const std::string& name)>& speaking = nullptr);

    // The labels on screen: name, box [x, y, width, height], the model's
    // top [x, y] in window pixels, and "speaking": true while marked.
    Json describe() const;

    // Destroys every label (before the GUI goes).
    void clear();

private:
    struct Label {
        CEGUI::Window* window = nullptr;
        std::string name;
        ScreenBox box;
        float anchorX = 0, anchorY = 0;
        bool shown = false;
        bool seen = false;     // its model is still in the scene (this update)
        bool speaking = false; // the speaker mark is shown
    };
    Label& labelFor(uint64_t serial, const std::string& name);
    // Shows the name, with the speaker mark when `speaking`, and sizes the box.
    void setText(Label& label, bool speaking);
    void place(Label& label, bool visible, const ScreenBox& box);

    CEGUI::Window* mContainer = nullptr;
    std::map<uint64_t, Label> mLabels;
};

} // namespace seafold
