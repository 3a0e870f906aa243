// The ocean material's sliders fold away behind one button: open, their
// window covers a good part of the view, so they start folded unless the
// user left them open last time. The button's text says which way it goes.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace CEGUI {
class EventArgs;
class Window;
} // namespace CEGUI

namespace seafold {

class WindowEvents;

class SliderFold {
public:
    // The panel's names for the button and for the window it folds.
    static const char* const ButtonName;  // "MaterialFoldBtn"
    static const char* const SlidersName; // "ShaderControlsWin"

    explicit SliderFold(WindowEvents& events);
    ~SliderFold();
    SliderFold(const SliderFold&) = delete;
    SliderFold& operator=(const SliderFold&) = delete;

    // Whether the sliders are open once attached (folded by default).
    void setOpenAtStart(bool open) { mOpen = open; }
    // Told each time the user opens or folds them with the button.
    void setOnFolded(std::function<void(bool open)> told) { mTold = std::move(told); }

    // Finds the button and the sliders' window under `root`, shows the
    // state and answers the button. A layout without either leaves the
    // sliders as the layout has them.
    void attach(CEGUI::Window* root);
    // Lets go of the windows before the GUI destroys them.
    void forget();

    bool open() const { return mOpen; }
    // The button's text for a state.
    static std::string buttonText(bool open);

private:
    bool handleClicked(const CEGUI::EventArgs& args);
    void show();

    WindowEvents& mEvents;
    std::function<void(bool)> mTold;
    bool mOpen = false;
    CEGUI::Window* mButton = nullptr;
    CEGUI::Window* mSliders = nullptr;
    // The button's subscription, cut when the windows are let go.
    struct Subscription;
    std::unique_ptr<Subscription> mSubscription;
};

} // namespace seafold
