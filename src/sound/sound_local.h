// The source pool's process-wide state, shared by the sound module's files
// and its tests. Not part of the sound module's interface: callers go through
// sound.h.
#pragma once

#include <vector>

#include "sound/sound.h"

namespace seafold {

// The default device mixes at 11,025 Hz: above the 8000 Hz of voice, the
// only sound this program plays, and below the catalogue's 22,050 Hz, so the
// single-threaded mixer does little more work than voice needs.
enum : int { MixerRate = 11025 };

extern bool gSoundReady;                            // initSound succeeded and closeSound has not run
extern unsigned int gSfxBuffers[SoundProfileCount]; // buffer i holds catalogue sound i
extern unsigned int gSfxSources[MaxSoundSources];   // the source pool
extern std::vector<unsigned int> gFreeVoiceBuffers; // free streaming buffers
extern std::vector<RefPtr<SFXObject>> gPlayList;    // objects playing or waiting
extern float gListenerPosition[2];                  // (0, 0); nothing moves it

// An object's state as the source pool keeps it: callers outside the sound
// module see only what SFXObject offers.
SoundObjectState& soundState(SFXObject& object);
const SoundObjectState& soundState(const SFXObject& object);

} // namespace seafold
