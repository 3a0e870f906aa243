// The windowed program's side of the Settings window: the devices through
// the process's Audio (capture opened again on the microphone picked, the
// output closed and opened on the one picked), the microphone test through
// the capture's test tap (and "Hear myself" as a voice stream of its own),
// voice activation's sensitivity on the capture's processing, and every
// choice kept in the user's config file through the window's port.
#pragma once

#include "app/app.h"
#include "app/commandline.h"
#include "scene/settingsport.h"
#include "sound/sound.h"

#include <string>
#include <vector>

namespace seafold {

class WindowPort;

class AudioSettings : public SettingsPort {
public:
    // `audio` and `port` outlive this object.
    AudioSettings(Audio& audio, const ProgramOptions& options, WindowPort& port);
    ~AudioSettings() override;
    AudioSettings(const AudioSettings&) = delete;
    AudioSettings& operator=(const AudioSettings&) = delete;

    DeviceList inputDevices() override;
    DeviceList outputDevices() override;
    std::string chooseInput(const std::string& name) override;
    std::string chooseOutput(const std::string& name) override;
    void setMicrophoneTest(bool on) override;
    MicrophoneReading readMicrophone() override;
    void setHearMyself(bool on) override;
    double voiceThresholdDb() const override { return mThresholdDb; }
    uint32_t voiceHoldMs() const override { return mHoldMs; }
    void setVoiceThreshold(double db) override;
    void setVoiceHold(uint32_t ms) override;
    std::string remember(const std::string& option, const std::vector<std::string>& values) override;

private:
    // The capture has its processing (the start window has no session to
    // have made one yet), with the sensitivity chosen here.
    void ensureProcessing();
    void heard(const int16_t* samples, size_t count, uint32_t rate);

    Audio& mAudio;
    WindowPort& mPort;
    SharedOptions mOptions;
    std::string mCaptureFile; // the microphone's sound from a file instead (tests)
    std::string mInput;       // as chosen; empty: the default
    double mThresholdDb;
    uint32_t mHoldMs;
    bool mHearMyself = false;
    RefPtr<SFXObject> mOwnVoice; // "Hear myself" plays here
};

} // namespace seafold
