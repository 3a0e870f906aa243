// Material controls files ("*.controls"): the ocean materials the panel
// offers, and for each the shader constants and pass colours that the user
// may tune with a scrollbar.
//
// File format (read as a renderer configuration file; a key and its value are
// separated by a tab, ';' or '='; white space around them is trimmed):
//
//   [Display name]                 one section per material entry
//   material = MaterialName        the first such line counts
//   control = name, constant, TYPE, min, max, element   (any number)
//
// TYPE is one of GPU_VERTEX, GPU_FRAGMENT (a program constant; `constant`
// names it), PASS_SPECULAR, PASS_DIFFUSE, PASS_AMBIENT (a component of that
// pass colour, 0 red .. 3 alpha) or PASS_SHININESS. Lines before the first
// section and unknown keys are ignored. Entries come out with the sections
// sorted by name, the controls in file order.
#pragma once

#include <OgrePrerequisites.h>

#include <cstdint>
#include <string>
#include <vector>

namespace seafold {

enum ControlType : int32_t {
    VertexProgramConstant = 0,
    FragmentProgramConstant = 1,
    PassSpecular = 2,
    PassDiffuse = 3,
    PassAmbient = 4,
    PassShininess = 5,
};

struct ShaderParameterControl {
    std::string mName;          // label shown in the row
    std::string mParameterName; // the program constant's name
    ControlType mType = VertexProgramConstant;
    float mMin = 0.0f;           // value at scroll position 0
    float mMax = 0.0f;           // value at the scrollbar's end
    int32_t mElementIndex = 0;   // component within the constant or colour
    uint32_t mPhysicalIndex = 0; // filled by the panel, never read from the file
};

class MaterialControls {
public:
    MaterialControls(const std::string& displayName, const std::string& materialName);

    const std::string& getDisplayName() const { return mDisplayName; }
    const std::string& getMaterialName() const { return mMaterialName; }

    // Parses one "control" value and appends the control. A value without
    // exactly six comma-separated fields, or with an unknown type word, is
    // logged and skipped; returns whether a control was added.
    bool addControl(const std::string& params);

    size_t getShaderControlCount() const { return mShaderControlsContainer.size(); }
    // idx must be below getShaderControlCount().
    const ShaderParameterControl& getShaderControl(size_t idx) const;
    ShaderParameterControl& getShaderControl(size_t idx);

private:
    std::string mDisplayName;
    std::string mMaterialName;
    std::vector<ShaderParameterControl> mShaderControlsContainer;
};

using MaterialControlsList = std::vector<MaterialControls>;

// Maps a file's type word to its control type; false for any other word
// (the comparison is exact and case-sensitive).
bool parseControlType(const std::string& word, ControlType& type);

// Reads one controls file from `stream` and appends its entries to `list`.
// Renderer exceptions propagate (the file loaders below catch them).
void parseMaterialControls(const Ogre::DataStreamPtr& stream, MaterialControlsList& list);

// Same, from text in memory.
void parseMaterialControlsText(const std::string& text, MaterialControlsList& list);

// Reads the controls file `fileName` of the default resource group. When it
// cannot be read, its remaining entries are skipped; entries already appended
// stay. Logs "Material Controls setup" when the whole file was read.
void loadMaterialControlsFile(const std::string& fileName, MaterialControlsList& list);

// Loads every "*.controls" file of the default resource group, in the order
// the resource system lists them.
void loadAllMaterialControls(MaterialControlsList& list);

// Logs through the renderer's log manager when there is one.
void logSceneMessage(const std::string& message);

} // namespace seafold
