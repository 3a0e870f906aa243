#include "scene/sliderfold.h"
#include "scene/guitext.h"
#include "scene/windowevents.h"

#include <CEGUI/CEGUI.h>

namespace seafold {

const char* const SliderFold::ButtonName = "MaterialFoldBtn";
const char* const SliderFold::SlidersName = "ShaderControlsWin";

struct SliderFold::Subscription {
    CEGUI::Event::Connection connection;
};

SliderFold::SliderFold(WindowEvents& events) : mEvents(events) {}

SliderFold::~SliderFold()
{
    forget();
}

std::string SliderFold::buttonText(bool open)
{
    // The triangle points the way the sliders are: down into them when open.
    return open ? u8"Material \u25BE" : u8"Material \u25B8";
}

void SliderFold::attach(CEGUI::Window* root)
{
    forget();
    if (!root)
        return;
    CEGUI::Window* button = root->getChildRecursive(ButtonName);
    CEGUI::Window* sliders = root->getChildRecursive(SlidersName);
    if (!button || !sliders)
        return;
    mButton = button;
    mSliders = sliders;
    mSubscription.reset(new Subscription{mButton->subscribeEvent(
        CEGUI::PushButton::EventClicked, CEGUI::Event::Subscriber(&SliderFold::handleClicked, this))});
    show();
}

void SliderFold::forget()
{
    if (mSubscription) {
        mSubscription->connection->disconnect();
        mSubscription.reset();
    }
    mButton = nullptr;
    mSliders = nullptr;
}

void SliderFold::show()
{
    if (!mButton || !mSliders)
        return;
    mSliders->setVisible(mOpen);
    mButton->setText(guiUtf8(buttonText(mOpen)));
}

bool SliderFold::handleClicked(const CEGUI::EventArgs&)
{
    mOpen = !mOpen;
    show();
    mEvents.materialSliders(mOpen);
    if (mTold)
        mTold(mOpen);
    return true;
}

} // namespace seafold
