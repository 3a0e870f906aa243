// The panel layout and GUI configuration in media/gui, loaded by the real GUI
// library with its display-less renderer: every window the program looks up
// exists with the kind, ID and initial state it needs.
#include <CEGUI/CEGUI.h>
#include <CEGUI/RendererModules/Null/Renderer.h>

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kCeguiData = "/usr/share/cegui-0.8.7/";

class PanelLayoutTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CEGUI::Exception::setStdErrEnabled(false);
        sRenderer = &CEGUI::NullRenderer::create();
        sProvider = new CEGUI::DefaultResourceProvider;
        // The same resource groups that resources.cfg declares for the program.
        sProvider->setResourceGroupDirectory("CEGUI_Schemes", kCeguiData + "schemes/");
        sProvider->setResourceGroupDirectory("CEGUI_Imagesets", kCeguiData + "imagesets/");
        sProvider->setResourceGroupDirectory("CEGUI_Fonts", kCeguiData + "fonts/");
        sProvider->setResourceGroupDirectory("CEGUI_LookNFeel", kCeguiData + "looknfeel/");
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

TEST_F(PanelLayoutTest, SpinSwitchesStartAsTheFrameListenerExpects)
{
    auto* model = dynamic_cast<CEGUI::ToggleButton*>(find("ModelSpinCB"));
    auto* light = dynamic_cast<CEGUI::ToggleButton*>(find("LightSpinCB"));
    ASSERT_NE(model, nullptr);
    ASSERT_NE(light, nullptr);
    EXPECT_TRUE(model->isSelected());
    EXPECT_FALSE(light->isSelected());
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

} // namespace
