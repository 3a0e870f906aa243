#include "app/audiosettings.h"
#include "app/console.h"
#include "app/network.h"
#include "app/windowport.h"
#include "sound/audiodevices.h"
#include "voice/voicecapture.h"
#include "voice/voiceprocessing.h"

#include <cstring>

namespace seafold {

namespace {

// The device `chosen` names among `offered` (matchDevice), else the default
// that stands in for it.
std::string deviceInUse(const std::vector<std::string>& offered, const std::string& chosen, const std::string& fallback)
{
    const std::string matched = matchDevice(offered, chosen);
    return matched.empty() ? fallback : matched;
}

} // namespace

AudioSettings::AudioSettings(Audio& audio, const ProgramOptions& options, WindowPort& port)
    : mAudio(audio), mPort(port), mOptions(options.shared), mCaptureFile(options.captureFile()),
      mInput(options.shared.inputDevice), mThresholdDb(options.shared.voiceThresholdDb),
      mHoldMs(options.shared.voiceHoldMs)
{
}

AudioSettings::~AudioSettings()
{
    // The tap points here.
    if (mAudio.capture.testing())
        mAudio.capture.setTest(nullptr);
}

DeviceList AudioSettings::inputDevices()
{
    DeviceList list;
    list.offered = captureDevices();
    list.defaultName = defaultCaptureDevice();
    // A name typed as a part of one ("headset") shows as the device it found.
    const std::string matched = matchDevice(list.offered, mInput);
    list.chosen = matched.empty() ? mInput : matched;
    list.inUse = deviceInUse(list.offered, mInput, list.defaultName);
    return list;
}

DeviceList AudioSettings::outputDevices()
{
    DeviceList list;
    list.offered = playbackDevices();
    list.defaultName = defaultPlaybackDevice();
    const std::string& chosen = mAudio.soundSetup.device;
    const std::string matched = matchDevice(list.offered, chosen);
    list.chosen = matched.empty() ? chosen : matched;
    list.inUse = mAudio.sound.deviceName();
    return list;
}

std::string AudioSettings::chooseInput(const std::string& name)
{
    mInput = name;
    VoiceCapture& capture = mAudio.capture;
    // A new back end stops capture; what ran (voice activation, the test)
    // runs on at once on the new device.
    const bool running = capture.active();
    capture.setBackend(createCaptureBackend(mCaptureFile, name));
    if (running) {
        capture.start();
        tellCaptureFailure(capture);
    }
    const std::string kept =
        remember("input-device", name.empty() ? std::vector<std::string>() : std::vector<std::string>{name});
    std::string note = name.empty() ? "Capturing from the default microphone" : "Capturing from \"" + name + "\"";
    if (!mCaptureFile.empty())
        note += " once SEAFOLD_CAPTURE_FILE is unset (the sound comes from " + mCaptureFile + " now)";
    if (!capture.failure().empty())
        note += "; no microphone: " + capture.failure();
    if (!kept.empty())
        note += "; not kept for the next start: " + kept;
    return note;
}

std::string AudioSettings::chooseOutput(const std::string& name)
{
    SoundPool& sound = mAudio.sound;
    mAudio.soundSetup.device = name;
    // The output opened again on the device picked: the voices on their way
    // go on from what waits in their streams.
    const bool wasOn = sound.ready();
    sound.close();
    const bool on = initSoundQuietly(sound, mAudio.soundSetup);
    const std::string kept =
        remember("output-device", name.empty() ? std::vector<std::string>() : std::vector<std::string>{name});
    std::string note = on ? "Playing on \"" + sound.deviceName() + "\"" : std::string("No sound output opens: silent");
    if (!wasOn && on)
        note += " (sound is back)";
    if (!kept.empty())
        note += "; not kept for the next start: " + kept;
    return note;
}

void AudioSettings::ensureProcessing()
{
    VoiceCapture& capture = mAudio.capture;
    if (!capture.processing()) {
        auto processing = std::make_unique<CaptureProcessing>(mOptions.voiceActivation);
        SharedOptions current = mOptions;
        current.outputDevice = mAudio.soundSetup.device;
        if (wantsEchoCancellation(current)) {
            SoundPool& sound = mAudio.sound;
            processing->setEchoCancellation([&sound](int16_t* out, uint32_t count, uint32_t rate, uint32_t after) {
                sound.readPlayed(out, count, rate, after);
            });
        }
        capture.setProcessing(std::move(processing));
    }
    capture.processing()->setActivationSettings(mThresholdDb, mHoldMs);
}

void AudioSettings::setMicrophoneTest(bool on)
{
    VoiceCapture& capture = mAudio.capture;
    if (!on) {
        capture.setTest(nullptr);
        return;
    }
    ensureProcessing();
    capture.setTest([this](const int16_t* samples, size_t count, uint32_t rate) { heard(samples, count, rate); });
    tellCaptureFailure(capture);
}

MicrophoneReading AudioSettings::readMicrophone()
{
    VoiceCapture& capture = mAudio.capture;
    MicrophoneReading reading;
    if (!capture.testing())
        return reading;
    // The test's capture is read each frame, whatever drives the voice tick.
    capture.tick();
    reading.running = capture.active();
    reading.problem = capture.failure();
    if (const CaptureProcessing* processing = capture.processing()) {
        reading.inputDb = processing->inputDb();
        reading.speechDb = processing->speechDb();
    }
    return reading;
}

void AudioSettings::setHearMyself(bool on)
{
    mHearMyself = on;
    if (!on && mOwnVoice)
        mOwnVoice->setVoiceVolume(0);
    else if (on && mOwnVoice)
        mOwnVoice->setVoiceVolume(1);
}

void AudioSettings::heard(const int16_t* samples, size_t count, uint32_t rate)
{
    if (!mHearMyself || count == 0)
        return;
    if (!mOwnVoice)
        mOwnVoice = new SFXObject(&mAudio.sound, nullptr, 1.0f, 0, 0);
    if (mOwnVoice->voiceRate() != rate)
        mOwnVoice->setVoiceRate(rate);
    RefPtr<ByteBuffer> buffer = new ByteBuffer(uint32_t(count * 2));
    for (size_t i = 0; i < count; ++i) {
        buffer->data()[2 * i] = uint8_t(uint16_t(samples[i]));
        buffer->data()[2 * i + 1] = uint8_t(uint16_t(samples[i]) >> 8);
    }
    mOwnVoice->queueVoiceSamples(buffer);
}

void AudioSettings::setVoiceThreshold(double db)
{
    mThresholdDb = db;
    if (CaptureProcessing* processing = mAudio.capture.processing())
        processing->setActivationSettings(mThresholdDb, mHoldMs);
}

void AudioSettings::setVoiceHold(uint32_t ms)
{
    mHoldMs = ms;
    if (CaptureProcessing* processing = mAudio.capture.processing())
        processing->setActivationSettings(mThresholdDb, mHoldMs);
}

std::string AudioSettings::remember(const std::string& option, const std::vector<std::string>& values)
{
    const FileWriteResult kept = mPort.keep(option, values);
    return kept ? std::string() : kept.error;
}

} // namespace seafold
