#include "scene/materialcontrols.h"
#include "base/platform.h"

#include <OgreConfigFile.h>
#include <OgreDataStream.h>
#include <OgreException.h>
#include <OgreLogManager.h>
#include <OgreResourceGroupManager.h>
#include <OgreStringConverter.h>

#include <cstring>
#include <memory>

namespace seafold {

void logSceneMessage(const std::string& message)
{
    if (Ogre::LogManager* log = Ogre::LogManager::getSingletonPtr())
        log->logMessage(message);
}

MaterialControls::MaterialControls(const std::string& displayName, const std::string& materialName)
    : mDisplayName(displayName), mMaterialName(materialName)
{
}

const ShaderParameterControl& MaterialControls::getShaderControl(size_t idx) const
{
    SF_ASSERT(idx < mShaderControlsContainer.size(), "idx < mShaderControlsContainer.size()");
    return mShaderControlsContainer[idx];
}

ShaderParameterControl& MaterialControls::getShaderControl(size_t idx)
{
    SF_ASSERT(idx < mShaderControlsContainer.size(), "idx < mShaderControlsContainer.size()");
    return mShaderControlsContainer[idx];
}

bool parseControlType(const std::string& word, ControlType& type)
{
    static const struct {
        const char* word;
        ControlType type;
    } Words[] = {
        {"GPU_VERTEX", VertexProgramConstant}, {"GPU_FRAGMENT", FragmentProgramConstant},
        {"PASS_SPECULAR", PassSpecular},       {"PASS_DIFFUSE", PassDiffuse},
        {"PASS_AMBIENT", PassAmbient},         {"PASS_SHININESS", PassShininess},
    };
    for (const auto& entry : Words) {
        if (word == entry.word) {
            type = entry.type;
            return true;
        }
    }
    return false;
}

bool MaterialControls::addControl(const std::string& params)
{
    Ogre::StringVector fields = Ogre::StringUtil::split(params, ",");
    // split() drops empty fields at the ends ("a,b," gives two), so count the
    // commas too: a trailing comma makes a seventh, empty field.
    size_t commas = 0;
    for (char c : params)
        commas += c == ',';
    if (fields.size() != 6 || commas != 5) {
        logSceneMessage("Incorrect number of parameters passed in params string for "
                        "MaterialControls::addControl()");
        return false;
    }

    ShaderParameterControl control;
    control.mName = fields[0];
    Ogre::StringUtil::trim(control.mName);
    control.mParameterName = fields[1];
    Ogre::StringUtil::trim(control.mParameterName);
    std::string typeWord = fields[2];
    Ogre::StringUtil::trim(typeWord);
    if (!parseControlType(typeWord, control.mType)) {
        logSceneMessage("Material controls: unknown control type '" + typeWord + "' for control '" + control.mName +
                        "' of '" + mDisplayName + "'; control skipped");
        return false;
    }
    control.mMin = Ogre::StringConverter::parseReal(fields[3]);
    control.mMax = Ogre::StringConverter::parseReal(fields[4]);
    control.mElementIndex = Ogre::StringConverter::parseInt(fields[5]);
    mShaderControlsContainer.push_back(control);
    return true;
}

void parseMaterialControls(const Ogre::DataStreamPtr& stream, MaterialControlsList& list)
{
    Ogre::ConfigFile file;
    file.load(stream, "\t;=", true);

    // Sections come sorted by name; settings sorted by key, and settings with
    // the same key in file order.
    for (const auto& section : file.getSettingsBySection()) {
        if (section.first.empty())
            continue;
        const Ogre::ConfigFile::SettingsMultiMap& settings = section.second;
        auto material = settings.find("material");
        list.emplace_back(section.first, material == settings.end() ? std::string() : material->second);
        for (const auto& setting : settings) {
            if (setting.first == "control")
                list.back().addControl(setting.second);
        }
    }
}

void parseMaterialControlsText(const std::string& text, MaterialControlsList& list)
{
    auto stream = std::make_shared<Ogre::MemoryDataStream>(text.size());
    if (!text.empty())
        std::memcpy(stream->getPtr(), text.data(), text.size());
    parseMaterialControls(stream, list);
}

void loadMaterialControlsFile(const std::string& fileName, MaterialControlsList& list)
{
    try {
        Ogre::DataStreamPtr stream = Ogre::ResourceGroupManager::getSingleton().openResource(
            fileName, Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME);
        parseMaterialControls(stream, list);
        logSceneMessage("Material Controls setup");
    } catch (const Ogre::Exception&) {
        // The rest of this file is skipped; what was read stays.
    }
}

void loadAllMaterialControls(MaterialControlsList& list)
{
    // Keep the shared list alive while iterating.
    Ogre::StringVectorPtr names = Ogre::ResourceGroupManager::getSingleton().findResourceNames(
        Ogre::ResourceGroupManager::DEFAULT_RESOURCE_GROUP_NAME, "*.controls", false);
    for (const std::string& name : *names)
        loadMaterialControlsFile(name, list);
}

} // namespace seafold
