// OpenAL set-up and shutdown, the catalogue, and the source pool.
#include "sound/sound.h"
#include "sound/sound_local.h"

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "net/platform.h"

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

bool gSoundReady = false;
unsigned int gSfxBuffers[SoundProfileCount];
unsigned int gSfxSources[MaxSoundSources];
std::vector<unsigned int> gFreeVoiceBuffers;
std::vector<RefPtr<SFXObject>> gPlayList;
float gListenerPosition[2] = {0, 0};

namespace {

ALCdevice* gAlDevice = nullptr;
ALCcontext* gAlContext = nullptr;
// Every streaming buffer, free or queued, so that shutdown can delete them.
unsigned int gVoiceBuffers[VoiceStreamBufferCount];
LPALCRENDERSAMPLESSOFT gRenderSamples = nullptr;

// Growable arrays grow in steps of 16: n elements need n rounded up to the
// next multiple of 16 strictly above n.
template <class T> void reserveInSteps(std::vector<T>& v, size_t n)
{
    if (v.capacity() < n)
        v.reserve(n + 16 - n % 16);
}

ALenum alFormat(WaveFormat format)
{
    switch (format) {
    case WaveFormat::Mono8:
        return AL_FORMAT_MONO8;
    case WaveFormat::Stereo8:
        return AL_FORMAT_STEREO8;
    case WaveFormat::Stereo16:
        return AL_FORMAT_STEREO16;
    case WaveFormat::Mono16:
        break;
    }
    return AL_FORMAT_MONO16;
}

bool directoryExists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

float distanceToListener(const SFXObject& object)
{
    float dx = object.position[0] - gListenerPosition[0];
    float dy = object.position[1] - gListenerPosition[1];
    return std::sqrt(dx * dx + dy * dy);
}

// Returns the played buffers of source `s` to the free list.
void recycleProcessedBuffers(int32_t s)
{
    if (s < 0)
        return;
    alGetError();
    ALint processed = 0;
    alGetSourcei(gSfxSources[s], AL_BUFFERS_PROCESSED, &processed);
    for (ALint i = 0; i < processed; ++i) {
        ALuint buffer = 0;
        alSourceUnqueueBuffers(gSfxSources[s], 1, &buffer);
        if (alGetError() != AL_NO_ERROR)
            break;
        bool catalogue = false;
        for (unsigned int b : gSfxBuffers)
            catalogue = catalogue || b == buffer;
        if (!catalogue) {
            reserveInSteps(gFreeVoiceBuffers, gFreeVoiceBuffers.size() + 1);
            gFreeVoiceBuffers.push_back(buffer);
        }
    }
}

// Takes the first free streaming buffer, fills it with `samples` and queues
// it on `source`. False when no buffer is free.
bool queueSamples(ALuint source, const ByteBuffer& samples)
{
    if (gFreeVoiceBuffers.empty())
        return false;
    ALuint buffer = gFreeVoiceBuffers.front();
    gFreeVoiceBuffers.erase(gFreeVoiceBuffers.begin());
    // Whole samples only: an odd byte would make OpenAL refuse the buffer.
    alBufferData(buffer, AL_FORMAT_MONO16, samples.data(), ALsizei(samples.size() & ~1u), VoiceSampleRate);
    alSourceQueueBuffers(source, 1, &buffer);
    return true;
}

void applyPosition(const SFXObject& object)
{
    ALuint source = gSfxSources[object.sourceIndex];
    if (object.profile->isRelative) {
        alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE);
        alSource3f(source, AL_POSITION, 0, 0, 0);
    } else {
        alSourcei(source, AL_SOURCE_RELATIVE, AL_FALSE);
        alSource3f(source, AL_POSITION, object.position[0], object.position[1], 0);
    }
}

void applyGain(const SFXObject& object)
{
    alSourcef(gSfxSources[object.sourceIndex], AL_GAIN, soundGain(object));
}

void startOnSource(SFXObject& object)
{
    ALuint source = gSfxSources[object.sourceIndex];
    alSourceStop(source);
    // A looping source reports no processed buffers: switch looping off so
    // that what the last object queued comes back, then detach any
    // catalogue buffer (a source holding one refuses queued buffers).
    alSourcei(source, AL_LOOPING, AL_FALSE);
    recycleProcessedBuffers(object.sourceIndex);
    alSourcei(source, AL_BUFFER, 0);
    if (object.samples) {
        // The source stays stopped without a free buffer; the next pass
        // reclaims it.
        if (!queueSamples(source, *object.samples))
            return;
    } else {
        alSourcei(source, AL_BUFFER, ALint(gSfxBuffers[object.profileIndex]));
    }
    alSourcei(source, AL_LOOPING, object.profile->isLooping ? AL_TRUE : AL_FALSE);
    applyPosition(object);
    applyGain(object);
    alSourcePlay(source);
}

bool isListed(const SFXObject* object)
{
    for (auto& listed : gPlayList)
        if (listed.get() == object)
            return true;
    return false;
}

// Removes entry i by moving the last one into its place.
void removeFromPlayList(size_t i)
{
    gPlayList[i] = gPlayList.back();
    gPlayList.pop_back();
}

} // namespace

// ---- sound objects ---------------------------------------------------------------------

SFXObject::SFXObject(const RefPtr<ByteBuffer>& initialSamples, float initialGain, float x, float y)
    : samples(initialSamples), profile(&gSoundProfiles[0]), gain(initialGain)
{
    position[0] = x;
    position[1] = y;
}

SFXObject::~SFXObject() = default;

void SFXObject::setProfile(uint32_t index)
{
    SF_ASSERT(index < SoundProfileCount, "sound profile index out of range");
    profileIndex = index;
    profile = &gSoundProfiles[index];
}

void SFXObject::queueVoiceSamples(const RefPtr<ByteBuffer>& more)
{
    if (!gSoundReady || !more || more->size() == 0)
        return;
    if (sourceIndex == -1) {
        if (samples && samples->size() != 0 && isListed(this)) {
            // Still waiting for a source: keep what waits and add the new
            // samples behind it.
            RefPtr<ByteBuffer> joined = new ByteBuffer(samples->size() + more->size());
            std::memcpy(joined->data(), samples->data(), samples->size());
            std::memcpy(joined->data() + samples->size(), more->data(), more->size());
            samples = joined;
        } else {
            samples = more;
        }
        requestPlay(this);
        return;
    }
    samples = more;
    ALuint source = gSfxSources[sourceIndex];
    // The queue may have run dry before this buffer came. Playing a stopped
    // source starts its queue from the top: take the played buffers off
    // first, or they would be heard again.
    ALint state = 0;
    alGetSourcei(source, AL_SOURCE_STATE, &state);
    if (state == AL_STOPPED)
        recycleProcessedBuffers(sourceIndex);
    if (!queueSamples(source, *more))
        return;
    if (state == AL_STOPPED)
        alSourcePlay(source);
}

void requestPlay(SFXObject* object)
{
    if (!gSoundReady || !object || object->sourceIndex != -1 || isListed(object))
        return;
    reserveInSteps(gPlayList, gPlayList.size() + 1);
    gPlayList.push_back(object);
}

float soundGain(const SFXObject& object)
{
    const SoundProfile& p = *object.profile;
    float g = 1.0f;
    if (!p.isRelative) {
        float d = distanceToListener(object);
        if (d <= p.fullGainDistance)
            g = 1.0f;
        else if (d < p.zeroGainDistance)
            g = (1.0f - (d - p.fullGainDistance) / (p.zeroGainDistance - p.fullGainDistance)) * object.gain;
        else
            g = 0.0f;
    }
    return p.gainScale * g;
}

float soundPriority(const SFXObject& object)
{
    if (object.profile->isRelative)
        return 1.0f;
    return (500.0f - distanceToListener(object)) / 500.0f;
}

// ---- start-up, each pass, shutdown ------------------------------------------------------------

std::string defaultSfxDirectory()
{
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n > 0) {
        path[n] = 0;
        std::string program(path);
        size_t slash = program.rfind('/');
        if (slash != std::string::npos) {
            std::string beside = program.substr(0, slash) + "/sfx";
            if (directoryExists(beside))
                return beside;
        }
    }
    return "sfx";
}

bool initSound()
{
    return initSound(SoundSetup());
}

bool initSound(const SoundSetup& setup)
{
    if (gAlDevice)
        return gSoundReady;
    if (setup.loopback) {
        auto openLoopback =
            reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
        gRenderSamples = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
        gAlDevice = openLoopback && gRenderSamples ? openLoopback(nullptr) : nullptr;
    } else {
        gAlDevice = alcOpenDevice(nullptr);
    }
    if (!gAlDevice) {
        writeLog("Failed to intitialize OpenAL.");
        return false;
    }
    if (setup.loopback) {
        const ALCint attributes[] = {ALC_FORMAT_CHANNELS_SOFT,
                                     ALC_MONO_SOFT,
                                     ALC_FORMAT_TYPE_SOFT,
                                     ALC_SHORT_SOFT,
                                     ALC_FREQUENCY,
                                     ALCint(setup.loopbackRate),
                                     0};
        gAlContext = alcCreateContext(gAlDevice, attributes);
    } else {
        const ALCint attributes[] = {ALC_FREQUENCY, MixerRate, 0};
        gAlContext = alcCreateContext(gAlDevice, attributes);
    }
    if (!gAlContext || !alcMakeContextCurrent(gAlContext)) {
        writeLog("Failed to intitialize OpenAL.");
        if (gAlContext)
            alcDestroyContext(gAlContext);
        alcCloseDevice(gAlDevice);
        gAlContext = nullptr;
        gAlDevice = nullptr;
        return false;
    }
    alGetError();

    alGenBuffers(SoundProfileCount, gSfxBuffers);
    gFreeVoiceBuffers.clear();
    reserveInSteps(gFreeVoiceBuffers, VoiceStreamBufferCount);
    alGenBuffers(VoiceStreamBufferCount, gVoiceBuffers);
    gFreeVoiceBuffers.assign(gVoiceBuffers, gVoiceBuffers + VoiceStreamBufferCount);
    alGetError();
    // All distance behaviour is our own (soundGain).
    alDistanceModel(AL_NONE);
    alGetError();
    alGenSources(MaxSoundSources, gSfxSources);
    if (alGetError() != AL_NO_ERROR) {
        writeLog("Failed to intitialize OpenAL.");
        closeSound();
        return false;
    }

    // One file that fails must not silence everything else (voice above
    // all): its sound stays empty and the rest load.
    std::string directory = setup.sfxDirectory.empty() ? defaultSfxDirectory() : setup.sfxDirectory;
    for (uint32_t i = 0; i < SoundProfileCount && gSoundProfiles[i].fileName; ++i) {
        const char* name = gSoundProfiles[i].fileName;
        WaveData wave;
        if (!loadWaveFile(directory + "/" + name, &wave)) {
            writeLog("Failure (1) loading sound file '%s'", name);
            continue;
        }
        alGetError();
        alBufferData(gSfxBuffers[i], alFormat(wave.format), wave.data.data(), ALsizei(wave.data.size()),
                     ALsizei(wave.rate));
        if (alGetError() != AL_NO_ERROR)
            writeLog("Failure (2) loading sound file '%s'", name);
    }
    gSoundReady = true;
    return true;
}

void updateSound()
{
    if (!gSoundReady)
        return;
    bool busy[MaxSoundSources];
    for (uint32_t s = 0; s < MaxSoundSources; ++s) {
        recycleProcessedBuffers(int32_t(s));
        ALint state = AL_STOPPED;
        alGetSourcei(gSfxSources[s], AL_SOURCE_STATE, &state);
        busy[s] = state != AL_STOPPED && state != AL_INITIAL;
    }

    // Finished objects leave the list; the others get their priority.
    for (size_t i = 0; i < gPlayList.size();) {
        SFXObject& object = *gPlayList[i];
        if (object.sourceIndex != -1 && !busy[object.sourceIndex]) {
            object.sourceIndex = -1;
            removeFromPlayList(i);
            continue;
        }
        object.priority = soundPriority(object);
        ++i;
    }

    // Insertion sort, highest first; equal priorities keep their order.
    for (size_t i = 1; i < gPlayList.size(); ++i) {
        RefPtr<SFXObject> moving = gPlayList[i];
        size_t j = i;
        while (j > 0 && gPlayList[j - 1]->priority < moving->priority) {
            gPlayList[j] = gPlayList[j - 1];
            --j;
        }
        gPlayList[j] = moving;
    }

    // Past the first 16: give up the source; only looping objects wait.
    for (size_t i = MaxSoundSources; i < gPlayList.size();) {
        SFXObject& object = *gPlayList[i];
        if (object.sourceIndex != -1) {
            busy[object.sourceIndex] = false;
            object.sourceIndex = -1;
        }
        if (!object.profile->isLooping) {
            removeFromPlayList(i);
            continue;
        }
        ++i;
    }

    uint32_t next = 0;
    size_t count = std::min<size_t>(gPlayList.size(), MaxSoundSources);
    for (size_t i = 0; i < count; ++i) {
        SFXObject& object = *gPlayList[i];
        if (object.sourceIndex != -1) {
            applyGain(object);
            continue;
        }
        while (next < MaxSoundSources && busy[next])
            ++next;
        if (next == MaxSoundSources)
            continue;
        busy[next] = true;
        object.sourceIndex = int32_t(next);
        startOnSource(object);
    }
}

void closeSound()
{
    if (!gAlDevice)
        return;
    if (gAlContext) {
        for (auto& object : gPlayList)
            object->sourceIndex = -1;
        gPlayList.clear();
        // Sources first: a buffer still queued on one cannot be deleted.
        alSourceStopv(MaxSoundSources, gSfxSources);
        alDeleteSources(MaxSoundSources, gSfxSources);
        alDeleteBuffers(SoundProfileCount, gSfxBuffers);
        alDeleteBuffers(VoiceStreamBufferCount, gVoiceBuffers);
        gFreeVoiceBuffers.clear();
        alcMakeContextCurrent(nullptr);
        alcDestroyContext(gAlContext);
    }
    alcCloseDevice(gAlDevice);
    gAlContext = nullptr;
    gAlDevice = nullptr;
    gRenderSamples = nullptr;
    gSoundReady = false;
}

bool renderSoundSamples(int16_t* out, uint32_t frames)
{
    if (!gAlDevice || !gRenderSamples)
        return false;
    gRenderSamples(gAlDevice, out, ALCsizei(frames));
    return true;
}

float sourceGain(uint32_t index)
{
    ALfloat value = 0;
    if (gSoundReady && index < MaxSoundSources)
        alGetSourcef(gSfxSources[index], AL_GAIN, &value);
    return value;
}

bool sourcePlaying(uint32_t index)
{
    ALint state = AL_STOPPED;
    if (gSoundReady && index < MaxSoundSources)
        alGetSourcei(gSfxSources[index], AL_SOURCE_STATE, &state);
    return state == AL_PLAYING;
}

} // namespace seafold
