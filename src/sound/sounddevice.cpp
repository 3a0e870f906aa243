// Opening and closing the output device: the chosen device or the
// default, its buffers, sources and catalogue, and the default again when
// the chosen one goes away.
#include "sound/sound.h"
#include "sound/sound_local.h"

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <algorithm>
#include <string>

#include "base/platform.h"
#include "sound/audiodevices.h"

namespace seafold {

namespace {

using State = SoundPool::State;

ALCdevice* deviceOf(const State& p)
{
    return static_cast<ALCdevice*>(p.device);
}

ALCcontext* contextOf(const State& p)
{
    return static_cast<ALCcontext*>(p.context);
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

// Opens the device and its context into `p`; false, with nothing left open,
// when either fails.
bool openDevice(State& p, const SoundSetup& setup, const std::string& name)
{
    ALCdevice* device = nullptr;
    LPALCRENDERSAMPLESSOFT render = nullptr;
    if (setup.loopback) {
        auto openLoopback =
            reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
        render = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
        device = openLoopback && render ? openLoopback(nullptr) : nullptr;
    } else {
        device = alcOpenDevice(name.empty() ? nullptr : name.c_str());
    }
    if (!device)
        return false;
    ALCcontext* context = nullptr;
    if (setup.loopback) {
        const ALCint attributes[] = {ALC_FORMAT_CHANNELS_SOFT,
                                     setup.loopbackChannels == 2 ? ALC_STEREO_SOFT : ALC_MONO_SOFT,
                                     ALC_FORMAT_TYPE_SOFT,
                                     ALC_SHORT_SOFT,
                                     ALC_FREQUENCY,
                                     ALCint(setup.loopbackRate),
                                     0};
        context = alcCreateContext(device, attributes);
    } else {
        const ALCint attributes[] = {ALC_FREQUENCY, MixerRate, 0};
        context = alcCreateContext(device, attributes);
    }
    if (!context || !alcMakeContextCurrent(context)) {
        if (context)
            alcDestroyContext(context);
        alcCloseDevice(device);
        return false;
    }
    p.device = device;
    p.context = context;
    p.renderCall = reinterpret_cast<void*>(render);
    if (!setup.loopback) {
        const ALCchar* opened =
            alcGetString(device, enumeratesAllDevices() ? ALC_ALL_DEVICES_SPECIFIER : ALC_DEVICE_SPECIFIER);
        p.deviceName = opened ? opened : name;
    }
    return true;
}

// The named output device, else the default with a notice: a headset that
// is not plugged in leaves the user with sound all the same.
bool openChosenDevice(State& p, const SoundSetup& setup)
{
    if (setup.loopback || setup.device.empty())
        return openDevice(p, setup, std::string());
    const std::string name = matchDevice(playbackDevices(), setup.device);
    if (!name.empty() && openDevice(p, setup, name))
        return true;
    const bool opened = openDevice(p, setup, std::string());
    if (p.notice)
        p.notice("The sound output \"" + setup.device + "\" is not there" +
                 (opened ? ": playing on the default, \"" + p.deviceName + "\"" : std::string()));
    return opened;
}

// Loads every catalogue file into its buffer. One file that fails must not
// silence everything else (voice above all): its sound stays empty and the
// rest load.
void loadCatalogue(State& p, const std::string& directory)
{
    for (uint32_t i = 0; i < SoundProfileCount && gSoundProfiles[i].fileName; ++i) {
        const char* name = gSoundProfiles[i].fileName;
        WaveData wave;
        if (!loadWaveFile(directory + "/" + name, &wave)) {
            writeLog("Failure (1) loading sound file '%s'", name);
            continue;
        }
        alGetError();
        alBufferData(p.sfxBuffers[i], alFormat(wave.format), wave.data.data(), ALsizei(wave.data.size()),
                     ALsizei(wave.rate));
        if (alGetError() != AL_NO_ERROR)
            writeLog("Failure (2) loading sound file '%s'", name);
    }
}

} // namespace

void applyMasterVolume(const State& p)
{
    if (p.context)
        alListenerf(AL_GAIN, std::clamp(p.setup.masterVolume, 0.0f, 1.0f));
}

void SoundPool::setMasterVolume(float volume)
{
    mState->setup.masterVolume = std::clamp(volume, 0.0f, 1.0f);
    applyMasterVolume(*mState);
}

float SoundPool::masterVolume() const
{
    return mState->setup.masterVolume;
}

bool SoundPool::init()
{
    return init(SoundSetup());
}

bool SoundPool::init(const SoundSetup& setup)
{
    State& p = *mState;
    if (p.device)
        return p.ready;
    p.setup = setup;
    if (!openChosenDevice(p, setup)) {
        writeLog("Failed to intitialize OpenAL.");
        return false;
    }
    alGetError();

    alGenBuffers(SoundProfileCount, p.sfxBuffers);
    p.freeVoiceBuffers.clear();
    reserveInSteps(p.freeVoiceBuffers, VoiceStreamBufferCount);
    alGenBuffers(VoiceStreamBufferCount, p.voiceBuffers);
    p.freeVoiceBuffers.assign(p.voiceBuffers, p.voiceBuffers + VoiceStreamBufferCount);
    alGetError();
    // Voices fade with distance through OpenAL's model; every other source
    // has a rolloff of 0 and fades by soundGain alone.
    alDistanceModel(AL_INVERSE_DISTANCE_CLAMPED);
    alGetError();
    alGenSources(MaxSoundSources, p.sfxSources);
    if (alGetError() != AL_NO_ERROR) {
        writeLog("Failed to intitialize OpenAL.");
        close();
        return false;
    }
    loadCatalogue(p, setup.sfxDirectory.empty() ? defaultSfxDirectory() : setup.sfxDirectory);
    applyMasterVolume(p);
    p.ready = true;
    return true;
}

bool SoundPool::reopenIfGone()
{
    State& p = *mState;
    if (p.setup.loopback || !p.device)
        return false;
    ALCint connected = ALC_TRUE;
    alcGetIntegerv(deviceOf(p), ALC_CONNECTED, 1, &connected);
    if (connected != ALC_FALSE)
        return false;
    const std::string gone = p.deviceName;
    SoundSetup fallback = p.setup;
    fallback.device.clear();
    close();
    const bool opened = init(fallback);
    if (p.notice)
        p.notice("The sound output \"" + gone + "\" went away" +
                 (opened ? ": playing on the default, \"" + p.deviceName + "\"" : ": no sound"));
    return true;
}

void SoundPool::close()
{
    State& p = *mState;
    if (!p.device)
        return;
    if (p.context) {
        for (auto& object : p.playList) {
            SoundObjectState& state = soundState(*object);
            state.sourceIndex = -1;
            state.voice.queued.clear();
            state.voice.started = false;
        }
        p.playList.clear();
        for (SFXObject*& stream : p.sourceVoice)
            stream = nullptr;
        // Sources first: a buffer still queued on one cannot be deleted.
        alSourceStopv(MaxSoundSources, p.sfxSources);
        alDeleteSources(MaxSoundSources, p.sfxSources);
        alDeleteBuffers(SoundProfileCount, p.sfxBuffers);
        alDeleteBuffers(VoiceStreamBufferCount, p.voiceBuffers);
        p.freeVoiceBuffers.clear();
        alcMakeContextCurrent(nullptr);
        alcDestroyContext(contextOf(p));
    }
    alcCloseDevice(deviceOf(p));
    p.context = nullptr;
    p.device = nullptr;
    p.renderCall = nullptr;
    p.deviceName.clear();
    p.ready = false;
}

const std::string& SoundPool::deviceName() const
{
    return mState->deviceName;
}

void SoundPool::setNotice(std::function<void(const std::string&)> notice)
{
    mState->notice = std::move(notice);
}

bool SoundPool::renderSamples(int16_t* out, uint32_t frames)
{
    State& p = *mState;
    if (!p.device || !p.renderCall)
        return false;
    reinterpret_cast<LPALCRENDERSAMPLESSOFT>(p.renderCall)(deviceOf(p), out, ALCsizei(frames));
    return true;
}

} // namespace seafold
