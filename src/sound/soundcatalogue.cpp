// The catalogue of sound-effect profiles and where its files are found.
#include "base/installpaths.h"
#include "sound/sound.h"

namespace seafold {

// clang-format off
const SoundProfile gSoundProfiles[SoundProfileCount + 1] = {
    {"phaser.wav",          true,  1.0f,  false, 0,   0},
    {"phaser.wav",          false, 0.45f, false, 150, 600},
    {"phaser.wav",          false, 0.45f, false, 150, 600},
    {"phaser_impact.wav",   false, 0.7f,  false, 150, 600},
    {"bounce.wav",          false, 0.45f, false, 150, 600},
    {"bounce_impact.wav",   false, 0.7f,  false, 150, 600},
    {"triple.wav",          false, 0.45f, false, 150, 600},
    {"triple_impact.wav",   false, 0.7f,  false, 150, 600},
    {"turret.wav",          false, 0.45f, false, 150, 600},
    {"turret_impact.wav",   false, 0.7f,  false, 150, 600},
    {"grenade.wav",         false, 0.9f,  false, 300, 600},
    {"mine_deploy.wav",     false, 0.4f,  false, 150, 600},
    {"mine_arm.wav",        false, 0.7f,  false, 400, 600},
    {"mine_explode.wav",    false, 0.8f,  false, 300, 800},
    {"ship_explode.wav",    false, 1.0f,  false, 300, 1000},
    {"ship_heal.wav",       false, 1.0f,  false, 300, 1000},
    {"ship_turbo.wav",      false, 0.15f, true,  150, 500},
    {"bounce_wall.wav",     false, 0.7f,  false, 150, 600},
    {"bounce_obj.wav",      false, 0.7f,  false, 150, 600},
    {"bounce_shield.wav",   false, 0.7f,  false, 150, 600},
    {"ship_shield.wav",     false, 0.15f, true,  150, 500},
    {"ship_sensor.wav",     false, 0.15f, true,  150, 500},
    {"ship_repair.wav",     false, 0.15f, true,  150, 500},
    {"ship_cloak.wav",      false, 0.15f, true,  150, 500},
    {"flag_capture.wav",    true,  0.45f, false, 0,   0},
    {"flag_drop.wav",       true,  0.45f, false, 0,   0},
    {"flag_return.wav",     true,  0.45f, false, 0,   0},
    {"flag_snatch.wav",     true,  0.45f, false, 0,   0},
    {"teleport_in.wav",     false, 1.0f,  false, 200, 500},
    {"teleport_out.wav",    false, 1.0f,  false, 200, 500},
    {"forcefield_up.wav",   false, 0.7f,  false, 150, 600},
    {"forcefield_down.wav", false, 0.7f,  false, 150, 600},
    {"boop.wav",            true,  0.4f,  false, 150, 600},
    {"comm_up.wav",         true,  0.4f,  false, 150, 600},
    {"comm_down.wav",       true,  0.4f,  false, 150, 600},
    {"boop.wav",            true,  0.25f, false, 150, 600},
    {nullptr,               false, 0,     false, 0,   0},
};
// clang-format on

std::string defaultSfxDirectory()
{
    // Beside the program in the build tree; under the install prefix once
    // installed; else the working folder.
    std::string found = firstFolderHolding({executableDirectory(), installedDataDirectory()}, "sfx");
    return found.empty() ? std::string("sfx") : found + "/sfx";
}

} // namespace seafold
