// Material controls files: the reader on texts and on files that the tests
// write, with the log lines it produces.
#include "base/platform.h"
#include "scene/materialcontrols.h"

#include <OgreLog.h>
#include <OgreLogManager.h>
#include <OgreResourceGroupManager.h>
#include <OgreRoot.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace seafold {
namespace {

// The renderer's log and resource system without a window: a root with no
// plug-ins, created once for the whole test program.
class RendererEnvironment : public ::testing::Environment, public Ogre::LogListener {
public:
    void SetUp() override
    {
        mLogManager = new Ogre::LogManager;
        Ogre::Log* log = mLogManager->createLog("test_scene.log", true, false, true);
        log->addListener(this);
        mRoot = new Ogre::Root("", "", "");
    }
    void TearDown() override
    {
        delete mRoot;
        delete mLogManager;
    }
    void messageLogged(const Ogre::String& message, Ogre::LogMessageLevel, bool, const Ogre::String&, bool&) override
    {
        messages.push_back(message);
    }

    static std::vector<std::string> messages;

private:
    Ogre::LogManager* mLogManager = nullptr;
    Ogre::Root* mRoot = nullptr;
};

std::vector<std::string> RendererEnvironment::messages;
const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new RendererEnvironment);

const char* const BadCount =
    "Incorrect number of parameters passed in params string for MaterialControls::addControl()";

int countMessages(const std::string& part)
{
    int n = 0;
    for (const std::string& m : RendererEnvironment::messages)
        n += m.find(part) != std::string::npos;
    return n;
}

class MaterialControlsTest : public ::testing::Test {
protected:
    void SetUp() override { RendererEnvironment::messages.clear(); }
};

TEST_F(MaterialControlsTest, ReadsAnEntryWithItsControls)
{
    MaterialControlsList list;
    parseMaterialControlsText("[Calm]\n"
                              "material = CalmWater\n"
                              "control = Amplitude, amplitude, GPU_VERTEX, 0, 25, 0\n"
                              "control =  Deep blue ,deepColour,  GPU_FRAGMENT  ,0.5,1.5,2\n",
                              list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].getDisplayName(), "Calm");
    EXPECT_EQ(list[0].getMaterialName(), "CalmWater");
    ASSERT_EQ(list[0].getShaderControlCount(), 2u);
    const ShaderParameterControl& a = list[0].getShaderControl(0);
    EXPECT_EQ(a.mName, "Amplitude");
    EXPECT_EQ(a.mParameterName, "amplitude");
    EXPECT_EQ(a.mType, VertexProgramConstant);
    EXPECT_FLOAT_EQ(a.mMin, 0.0f);
    EXPECT_FLOAT_EQ(a.mMax, 25.0f);
    EXPECT_EQ(a.mElementIndex, 0);
    const ShaderParameterControl& b = list[0].getShaderControl(1);
    EXPECT_EQ(b.mName, "Deep blue");
    EXPECT_EQ(b.mParameterName, "deepColour");
    EXPECT_EQ(b.mType, FragmentProgramConstant);
    EXPECT_FLOAT_EQ(b.mMin, 0.5f);
    EXPECT_FLOAT_EQ(b.mMax, 1.5f);
    EXPECT_EQ(b.mElementIndex, 2);
}

TEST_F(MaterialControlsTest, WrongFieldCountsAreRejectedAndTheRestKept)
{
    MaterialControlsList list;
    parseMaterialControlsText("[Sea]\n"
                              "material = Sea\n"
                              "control = Seven, a, GPU_VERTEX, 0, 1, 0,\n" // trailing comma
                              "control = Five, a, GPU_VERTEX, 0, 1\n"
                              "control = Empty,,GPU_VERTEX,0,1,0\n" // empty field
                              "control = Kept, a, GPU_VERTEX, 0, 1, 0\n"
                              "control = Many, a, GPU_VERTEX, 0, 1, 0, 9, 9\n",
                              list);
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0].getShaderControlCount(), 1u);
    EXPECT_EQ(list[0].getShaderControl(0).mName, "Kept");
    EXPECT_EQ(countMessages(BadCount), 4);
}

TEST_F(MaterialControlsTest, TypeWordsAreTrimmedButCaseSensitive)
{
    MaterialControlsList list;
    parseMaterialControlsText("[Sea]\n"
                              "control = A, a,   GPU_FRAGMENT   , 0, 1, 0\n"
                              "control = B, b, gpu_vertex, 0, 1, 0\n",
                              list);
    ASSERT_EQ(list[0].getShaderControlCount(), 1u);
    EXPECT_EQ(list[0].getShaderControl(0).mType, FragmentProgramConstant);
    EXPECT_EQ(countMessages("unknown control type 'gpu_vertex'"), 1);
}

TEST_F(MaterialControlsTest, PassWordsGiveThePassTypesAndOtherWordsAreSkipped)
{
    MaterialControlsList list;
    parseMaterialControlsText("[Plain]\n"
                              "material = Plain\n"
                              "control = S, specular, PASS_SPECULAR, 0, 1, 1\n"
                              "control = D, diffuse, PASS_DIFFUSE, 0, 1, 2\n"
                              "control = X, x, PASS_EMISSIVE, 0, 1, 0\n"
                              "control = A, ambient, PASS_AMBIENT, 0, 1, 3\n"
                              "control = H, shininess, PASS_SHININESS, 1, 128, 0\n",
                              list);
    ASSERT_EQ(list[0].getShaderControlCount(), 4u);
    EXPECT_EQ(list[0].getShaderControl(0).mType, PassSpecular);
    EXPECT_EQ(list[0].getShaderControl(1).mType, PassDiffuse);
    EXPECT_EQ(list[0].getShaderControl(2).mType, PassAmbient);
    EXPECT_EQ(list[0].getShaderControl(2).mElementIndex, 3);
    EXPECT_EQ(list[0].getShaderControl(3).mType, PassShininess);
    EXPECT_EQ(countMessages("'PASS_EMISSIVE'"), 1);
}

TEST_F(MaterialControlsTest, SectionsComeSortedAndUnnamedSettingsAreIgnored)
{
    MaterialControlsList list;
    parseMaterialControlsText("material = Orphan\n"
                              "control = Orphan, o, GPU_VERTEX, 0, 1, 0\n"
                              "[Zulu]\n"
                              "material\tZuluWater\n"
                              "colour = ignored\n"
                              "control;Z1, z, GPU_VERTEX, 0, 1, 0\n"
                              "control = Z2, z, GPU_VERTEX, 0, 1, 1\n"
                              "material = SecondMaterialLine\n"
                              "[Alpha]\n"
                              "# a comment\n"
                              "control = A1, a, GPU_FRAGMENT, 0, 1, 0\n",
                              list);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].getDisplayName(), "Alpha");
    EXPECT_EQ(list[0].getMaterialName(), ""); // no material line
    EXPECT_EQ(list[0].getShaderControlCount(), 1u);
    EXPECT_EQ(list[1].getDisplayName(), "Zulu");
    EXPECT_EQ(list[1].getMaterialName(), "ZuluWater"); // the first line counts
    ASSERT_EQ(list[1].getShaderControlCount(), 2u);
    EXPECT_EQ(list[1].getShaderControl(0).mName, "Z1");
    EXPECT_EQ(list[1].getShaderControl(1).mName, "Z2");
    EXPECT_EQ(list[1].getShaderControl(1).mElementIndex, 1);
}

TEST_F(MaterialControlsTest, SectionWithOnlyAMaterialHasNoControls)
{
    MaterialControlsList list;
    parseMaterialControlsText("[Bare]\nmaterial = BareWater\n", list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].getShaderControlCount(), 0u);
}

TEST_F(MaterialControlsTest, EmptyTextGivesNoEntries)
{
    MaterialControlsList list;
    parseMaterialControlsText("", list);
    EXPECT_TRUE(list.empty());
}

TEST_F(MaterialControlsTest, AskingBeyondTheControlsIsAProgrammingError)
{
    MaterialControlsList list;
    parseMaterialControlsText("[One]\ncontrol = A, a, GPU_VERTEX, 0, 1, 0\n", list);
    EXPECT_EXIT(
        {
            setAlertHandler([](const char*, const char* text) {
                std::fprintf(stderr, "alert: %s\n", text);
                return false;
            });
            list[0].getShaderControl(1);
        },
        ::testing::ExitedWithCode(1), "idx < mShaderControlsContainer.size\\(\\)");
}

// ---- files through the resource system ---------------------------------------------

class ControlsFilesTest : public MaterialControlsTest {
protected:
    void SetUp() override
    {
        MaterialControlsTest::SetUp();
        char pattern[] = "/tmp/seafold-controls-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        mDir = pattern;
    }
    void TearDown() override
    {
        Ogre::ResourceGroupManager& resources = Ogre::ResourceGroupManager::getSingleton();
        if (resources.resourceLocationExists(mDir))
            resources.removeResourceLocation(mDir);
        std::string command = "rm -rf '" + mDir + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    void write(const std::string& name, const std::string& text) { std::ofstream(mDir + "/" + name) << text; }
    void addLocation()
    {
        Ogre::ResourceGroupManager& resources = Ogre::ResourceGroupManager::getSingleton();
        resources.addResourceLocation(mDir, "FileSystem", Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME);
        resources.initialiseResourceGroup(Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME);
    }

    std::string mDir;
};

TEST_F(ControlsFilesTest, EveryFileIsReadAndSameNamedSectionsStaySeparate)
{
    write("a.controls", "[Sea]\nmaterial = SeaA\n[Bay]\nmaterial = BayA\n");
    write("b.controls", "[Sea]\nmaterial = SeaB\ncontrol = H, h, GPU_VERTEX, 0, 2, 0\n");
    write("notes.txt", "[Ignored]\nmaterial = Nothing\n");
    addLocation();

    Ogre::StringVectorPtr names = Ogre::ResourceGroupManager::getSingleton().findResourceNames(
        Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME, "*.controls", false);
    ASSERT_EQ(names->size(), 2u);

    MaterialControlsList list;
    loadAllMaterialControls(list);
    ASSERT_EQ(list.size(), 3u);
    // Files in the order the resource system lists them, sections sorted within.
    std::vector<std::string> expected;
    for (const std::string& name : *names) {
        if (name == "a.controls") {
            expected.push_back("Bay/BayA");
            expected.push_back("Sea/SeaA");
        } else {
            expected.push_back("Sea/SeaB");
        }
    }
    for (size_t i = 0; i < list.size(); ++i)
        EXPECT_EQ(list[i].getDisplayName() + "/" + list[i].getMaterialName(), expected[i]);
    EXPECT_EQ(countMessages("Material Controls setup"), 2);
}

TEST_F(ControlsFilesTest, AFileThatCannotBeOpenedAddsNothingAndLoadingGoesOn)
{
    addLocation();
    MaterialControlsList list;
    list.emplace_back("Earlier", "EarlierWater");
    loadMaterialControlsFile("missing.controls", list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].getDisplayName(), "Earlier");
    EXPECT_EQ(countMessages("Material Controls setup"), 0);
}

} // namespace
} // namespace seafold
