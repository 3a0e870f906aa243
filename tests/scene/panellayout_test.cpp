// The panel layout and GUI configuration in media/gui, loaded by the real GUI
// library with its display-less renderer: every window the program looks up
// exists with the kind, ID and initial state it needs.
#include "scene/guitext.h"
#include "scene/sliderfold.h"
#include "scene/windowevents.h"

#include <CEGUI/CEGUI.h>
#include <CEGUI/RendererModules/Null/Renderer.h>

#include <CEGUI/falagard/WidgetLookManager.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string CeguiData = "/usr/share/cegui-0.8.7/";

class PanelLayoutTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CEGUI::Exception::setStdErrEnabled(false);
        sRenderer = &CEGUI::NullRenderer::create();
        sProvider = new CEGUI::DefaultResourceProvider;
        // The same resource groups that resources.cfg declares for the program.
        sProvider->setResourceGroupDirectory("CEGUI_Schemes", CeguiData + "schemes/");
        sProvider->setResourceGroupDirectory("CEGUI_Imagesets", CeguiData + "imagesets/");
        sProvider->setResourceGroupDirectory("CEGUI_Fonts", CeguiData + "fonts/");
        sProvider->setResourceGroupDirectory("CEGUI_LookNFeel", CeguiData + "looknfeel/");
        sProvider->setResourceGroupDirectory("General", std::string(SEAFOLD_MEDIA_SOURCE_DIR) + "/gui/");
        sProvider->setDefaultResourceGroup("General");
        CEGUI::System::create(*sRenderer, sProvider, nullptr, nullptr, nullptr, "SeafoldCegui.config",
                              "test_scene_CEGUI.log");
        sRoot = CEGUI::WindowManager::getSingleton().loadLayoutFromFile("Seafold.layout");
    }

    static void TearDownTestSuite()
    {
        CEGUI::System::destroy();
        delete sProvider;
        CEGUI::NullRenderer::destroy(*sRenderer);
    }

    static CEGUI::Window* find(const char* name)
    {
        CEGUI::Window* window = sRoot->getChildRecursive(name);
        EXPECT_NE(window, nullptr) << name;
        return window;
    }

    static CEGUI::NullRenderer* sRenderer;
    static CEGUI::DefaultResourceProvider* sProvider;
    static CEGUI::Window* sRoot;
};

CEGUI::NullRenderer* PanelLayoutTest::sRenderer = nullptr;
CEGUI::DefaultResourceProvider* PanelLayoutTest::sProvider = nullptr;
CEGUI::Window* PanelLayoutTest::sRoot = nullptr;

TEST_F(PanelLayoutTest, ConfigurationLoadsTheSchemeFontAndCursor)
{
    EXPECT_TRUE(CEGUI::SchemeManager::getSingleton().isDefined("TaharezLook"));
    EXPECT_TRUE(CEGUI::FontManager::getSingleton().isDefined("DejaVuSans-10"));
    EXPECT_TRUE(CEGUI::ImageManager::getSingleton().isDefined("TaharezLook/MouseArrow"));
    EXPECT_TRUE(CEGUI::ImageManager::getSingleton().isDefined("TaharezLook/MultiListSelectionBrush"));
}

TEST_F(PanelLayoutTest, RootIsNamedRoot)
{
    ASSERT_NE(sRoot, nullptr);
    EXPECT_EQ(sRoot->getName(), "root");
}

TEST_F(PanelLayoutTest, ControlsHaveTheirKinds)
{
    EXPECT_NE(dynamic_cast<CEGUI::PushButton*>(find("ExitDemoBtn")), nullptr);
    EXPECT_NE(dynamic_cast<CEGUI::Combobox*>(find("ModelCombos")), nullptr);
    EXPECT_NE(dynamic_cast<CEGUI::Combobox*>(find("ShaderCombos")), nullptr);
    EXPECT_NE(dynamic_cast<CEGUI::Scrollbar*>(find("VerticalScroll")), nullptr);
    EXPECT_NE(find("ShaderControlsWin"), nullptr);
    for (const char* name : {"OPAverageFPS", "OPCurrentFPS", "OPBestFPS", "OPWorstFPS", "OPTriCount", "OPDebugMsg"}) {
        CEGUI::Window* text = find(name);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text->getType(), "TaharezLook/StaticText") << name;
    }
}

TEST_F(PanelLayoutTest, PeoplePanelHasItsListTalkLineAndMeter)
{
    CEGUI::Window* panel = find("PeoplePanel");
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->getText(), "People");
    auto* list = dynamic_cast<CEGUI::Listbox*>(find("PeopleList"));
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(list->isAncestor(panel));
    CEGUI::Window* talk = find("TalkStatus");
    ASSERT_NE(talk, nullptr);
    EXPECT_EQ(talk->getType(), "TaharezLook/StaticText");
    EXPECT_NE(dynamic_cast<CEGUI::ProgressBar*>(find("TalkLevel")), nullptr);
    // The panel sits below the choices and covers neither them nor the
    // statistics; at 1024x768 its list shows at least ten lines, and the
    // controls below it keep their height.
    sRoot->setSize(CEGUI::USize(CEGUI::UDim(0, 1024), CEGUI::UDim(0, 768)));
    CEGUI::Rectf people = panel->getUnclippedOuterRect().get();
    CEGUI::Rectf choices = find("ChoicePanel")->getUnclippedOuterRect().get();
    CEGUI::Rectf stats = find("StatsPanel")->getUnclippedOuterRect().get();
    EXPECT_GE(people.top(), choices.bottom());
    EXPECT_TRUE(people.right() <= stats.left() || people.left() >= stats.right() || people.bottom() <= stats.top() ||
                people.top() >= stats.bottom());
    EXPECT_GE(list->getUnclippedOuterRect().get().getHeight(), 10 * 17.0f);
    EXPECT_GE(find("HoldToTalkRBtn")->getUnclippedOuterRect().get().getHeight(), 18.0f);
}

TEST_F(PanelLayoutTest, NameLabelsLieBehindEveryPanelAndLetClicksThrough)
{
    CEGUI::Window* labels = find("NameLabels");
    ASSERT_NE(labels, nullptr);
    EXPECT_EQ(labels->getParent(), sRoot);
    EXPECT_TRUE(labels->isMousePassThroughEnabled());
    // Drawn first: every later child of root covers it.
    EXPECT_EQ(sRoot->getChildAtIdx(0), labels);
    // A click where a label would be reaches root (camera and model drags).
    sRoot->setSize(CEGUI::USize(CEGUI::UDim(0, 1024), CEGUI::UDim(0, 768)));
    EXPECT_EQ(sRoot->getTargetChildAtPosition(CEGUI::Vector2f(400, 200)), nullptr);
}

TEST_F(PanelLayoutTest, DropDownListsAreOpaque)
{
    // They used to fade with their panel, so the widgets below showed through.
    for (const char* name : {"ModelCombos", "ShaderCombos"}) {
        CEGUI::Window* combo = find(name);
        ASSERT_NE(combo, nullptr);
        EXPECT_FALSE(combo->inheritsAlpha()) << name;
        EXPECT_FLOAT_EQ(combo->getEffectiveAlpha(), 1.0f) << name;
        CEGUI::Window* list = static_cast<CEGUI::Combobox*>(combo)->getDropList();
        ASSERT_NE(list, nullptr);
        EXPECT_FLOAT_EQ(list->getEffectiveAlpha(), 1.0f) << name;
    }
}

TEST_F(PanelLayoutTest, CheckBoxesUseOurLookThatTellsTheStatesApart)
{
    for (const char* name : {"ModelSpinCB", "LightSpinCB", "FollowModelCB"}) {
        CEGUI::Window* box = find(name);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->getType(), "Seafold/Checkbox") << name;
        EXPECT_EQ(box->getLookNFeel(), "Seafold/Checkbox") << name;
    }
    const CEGUI::WidgetLookFeel& look = CEGUI::WidgetLookManager::getSingleton().getWidgetLook("Seafold/Checkbox");
    for (const char* state : {"Normal", "Hover", "Disabled", "SelectedNormal", "SelectedHover", "SelectedDisabled"})
        EXPECT_TRUE(look.isStateImageryPresent(state)) << state;
    // On and off differ in the box and in the text's colour.
    CEGUI::Window* box = find("ModelSpinCB");
    ASSERT_NE(box, nullptr);
    EXPECT_NE(box->getProperty("OnTextColour"), box->getProperty("OffTextColour"));
    EXPECT_NO_THROW(look.getImagerySection("inside_on"));
    EXPECT_NO_THROW(look.getImagerySection("inside_off"));
}

// An enabled box that is off must not look disabled: its text is as strong
// as when on, and the disabled states draw their own dull rim.
TEST_F(PanelLayoutTest, AnEnabledBoxThatIsOffIsNotDrawnAsDisabled)
{
    CEGUI::Window* box = find("LightSpinCB");
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->isDisabled());
    auto off = CEGUI::PropertyHelper<CEGUI::ColourRect>::fromString(box->getProperty("OffTextColour"));
    auto disabled = CEGUI::PropertyHelper<CEGUI::ColourRect>::fromString(box->getProperty("DisabledTextColour"));
    auto brightness = [](const CEGUI::Colour& c) { return c.getRed() + c.getGreen() + c.getBlue(); };
    EXPECT_GT(brightness(off.d_top_left), 2.7f);
    EXPECT_GT(brightness(off.d_top_left), brightness(disabled.d_top_left) + 1.0f);
    const CEGUI::WidgetLookFeel& look = CEGUI::WidgetLookManager::getSingleton().getWidgetLook("Seafold/Checkbox");
    EXPECT_NO_THROW(look.getImagerySection("rim_disabled"));
}

TEST_F(PanelLayoutTest, RadioButtonsUseOurLookThatMarksTheChosenOne)
{
    for (const char* name : {"CameraRBtn", "ModelRBtn", "HoldToTalkRBtn", "SpeakToTalkRBtn"}) {
        CEGUI::Window* button = find(name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->getType(), "Seafold/RadioButton") << name;
        EXPECT_NE(dynamic_cast<CEGUI::RadioButton*>(button), nullptr) << name;
    }
    const CEGUI::WidgetLookFeel& look = CEGUI::WidgetLookManager::getSingleton().getWidgetLook("Seafold/RadioButton");
    for (const char* state : {"Normal", "Hover", "Disabled", "SelectedNormal", "SelectedHover", "SelectedDisabled"})
        EXPECT_TRUE(look.isStateImageryPresent(state)) << state;
    EXPECT_NO_THROW(look.getImagerySection("dot"));
    EXPECT_NO_THROW(look.getImagerySection("band"));
}

TEST_F(PanelLayoutTest, SpinSwitchesStartAsTheFrameListenerExpects)
{
    auto* model = dynamic_cast<CEGUI::ToggleButton*>(find("ModelSpinCB"));
    auto* light = dynamic_cast<CEGUI::ToggleButton*>(find("LightSpinCB"));
    ASSERT_NE(model, nullptr);
    ASSERT_NE(light, nullptr);
    // The spin is this user's view alone: off until asked for.
    EXPECT_FALSE(model->isSelected());
    EXPECT_FALSE(light->isSelected());
    auto* follow = dynamic_cast<CEGUI::ToggleButton*>(find("FollowModelCB"));
    ASSERT_NE(follow, nullptr);
    EXPECT_TRUE(follow->isSelected());
}

TEST_F(PanelLayoutTest, MouseModeButtonsFormOneGroupWithCameraAsIdZero)
{
    auto* camera = dynamic_cast<CEGUI::RadioButton*>(find("CameraRBtn"));
    auto* model = dynamic_cast<CEGUI::RadioButton*>(find("ModelRBtn"));
    ASSERT_NE(camera, nullptr);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(camera->getID(), 0u);
    EXPECT_NE(model->getID(), 0u);
    EXPECT_EQ(camera->getGroupID(), model->getGroupID());
    EXPECT_EQ(camera->getParent(), model->getParent());
    // Selecting one deselects the other.
    model->setSelected(true);
    EXPECT_FALSE(camera->isSelected());
    EXPECT_EQ(camera->getSelectedButtonInGroup(), model);
    camera->setSelected(true);
    EXPECT_FALSE(model->isSelected());
}

TEST_F(PanelLayoutTest, PeoplePanelHasTheTalkChoiceAndAVoiceRowOfItsOwn)
{
    CEGUI::Window* panel = find("PeoplePanel");
    auto* hold = dynamic_cast<CEGUI::RadioButton*>(find("HoldToTalkRBtn"));
    auto* speak = dynamic_cast<CEGUI::RadioButton*>(find("SpeakToTalkRBtn"));
    ASSERT_NE(hold, nullptr);
    ASSERT_NE(speak, nullptr);
    EXPECT_EQ(find("TalkLabel")->getText() + " " + hold->getText() + " / " + speak->getText(),
              "Talk: hold R / when I speak");
    EXPECT_TRUE(hold->isSelected());
    EXPECT_EQ(hold->getID(), 0u);
    EXPECT_EQ(speak->getID(), 1u);
    // A group of its own: choosing how to talk leaves the mouse mode alone.
    EXPECT_EQ(hold->getGroupID(), speak->getGroupID());
    EXPECT_NE(hold->getGroupID(), dynamic_cast<CEGUI::RadioButton*>(find("CameraRBtn"))->getGroupID());
    auto* mute = dynamic_cast<CEGUI::ToggleButton*>(find("VoiceMuteCB"));
    auto* volume = dynamic_cast<CEGUI::Scrollbar*>(find("VoiceVolume"));
    ASSERT_NE(mute, nullptr);
    ASSERT_NE(volume, nullptr);
    // Nobody is picked at first; full volume is the middle of the range.
    EXPECT_TRUE(mute->isDisabled());
    EXPECT_TRUE(volume->isDisabled());
    EXPECT_FLOAT_EQ(volume->getScrollPosition(), 1.0f);
    EXPECT_FLOAT_EQ(volume->getDocumentSize() - volume->getPageSize(), 2.0f);
    for (CEGUI::Window* w : {static_cast<CEGUI::Window*>(hold), static_cast<CEGUI::Window*>(speak),
                             static_cast<CEGUI::Window*>(mute), static_cast<CEGUI::Window*>(volume)})
        EXPECT_TRUE(w->isAncestor(panel)) << w->getName();
}

TEST_F(PanelLayoutTest, TheMaterialButtonFoldsAndOpensTheSliders)
{
    CEGUI::Window* button = find(seafold::SliderFold::ButtonName);
    CEGUI::Window* sliders = find(seafold::SliderFold::SlidersName);
    ASSERT_NE(button, nullptr);
    ASSERT_NE(sliders, nullptr);
    EXPECT_NE(dynamic_cast<CEGUI::PushButton*>(button), nullptr);
    // The button stays outside the window it folds, above it.
    EXPECT_EQ(button->getParent(), sRoot);
    sRoot->setSize(CEGUI::USize(CEGUI::UDim(0, 1024), CEGUI::UDim(0, 768)));
    EXPECT_LE(button->getUnclippedOuterRect().get().bottom(), sliders->getUnclippedOuterRect().get().top());

    EXPECT_NE(seafold::SliderFold::buttonText(true), seafold::SliderFold::buttonText(false));

    auto click = [button] {
        CEGUI::WindowEventArgs args(button);
        button->fireEvent(CEGUI::PushButton::EventClicked, args, CEGUI::PushButton::EventNamespace);
    };
    struct Case {
        bool openAtStart;
        bool openAfterClick;
    };
    for (const Case c : {Case{false, true}, Case{true, false}}) {
        seafold::WindowEvents events;
        seafold::SliderFold fold(events);
        std::vector<bool> told;
        fold.setOpenAtStart(c.openAtStart);
        fold.setOnFolded([&told](bool open) { told.push_back(open); });
        fold.attach(sRoot);
        EXPECT_EQ(sliders->isVisible(), c.openAtStart);
        EXPECT_EQ(button->getText(), seafold::guiUtf8(seafold::SliderFold::buttonText(c.openAtStart)));
        click();
        EXPECT_EQ(sliders->isVisible(), c.openAfterClick);
        EXPECT_EQ(button->getText(), seafold::guiUtf8(seafold::SliderFold::buttonText(c.openAfterClick)));
        click();
        EXPECT_EQ(sliders->isVisible(), c.openAtStart);
        EXPECT_EQ(told, (std::vector<bool>{c.openAfterClick, c.openAtStart}));
        fold.forget();
        // Let go of: a click changes nothing any more.
        click();
        EXPECT_EQ(sliders->isVisible(), c.openAtStart);
        EXPECT_EQ(told.size(), 2u);
    }
    sliders->setVisible(true);
}

} // namespace
