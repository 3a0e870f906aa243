// What happens to captured sound before either codec sees it: noise
// suppression, automatic gain and voice activity detection (one
// preprocessor per microphone), the voice activation that opens the
// microphone on speech, and a resampler for capture at another rate.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <functional>

struct SpeexEchoState_;
struct SpeexPreprocessState_;
struct SpeexResamplerState_;

namespace seafold {

class VoicePreprocessor {
public:
    struct Settings {
        bool denoise = true;
        bool automaticGain = true;
        bool detectVoice = true;
    };
    // Frames of `frameSamples` samples at `sampleRate`.
    VoicePreprocessor(uint32_t sampleRate, uint32_t frameSamples, Settings settings);
    VoicePreprocessor(uint32_t sampleRate, uint32_t frameSamples)
        : VoicePreprocessor(sampleRate, frameSamples, Settings())
    {
    }
    ~VoicePreprocessor();
    VoicePreprocessor(const VoicePreprocessor&) = delete;
    VoicePreprocessor& operator=(const VoicePreprocessor&) = delete;

    bool valid() const { return mState != nullptr; }
    uint32_t frameSamples() const { return mFrameSamples; }
    // How far over the room's noise a frame must be to count as speech.
    void setSpeechThresholdDb(double db);
    // The echo canceller whose residue the preprocessor takes out too.
    void setEchoState(SpeexEchoState_* echo);
    // Cleans one frame in place; true when the detector hears speech in it
    // (always true with detection off). The detector learns the room's
    // noise floor from the quietest frames: speech is a frame well above it.
    bool process(int16_t* frame);
    // The mean square of the last frame the detector heard, and the one a
    // frame must pass to count as speech (the room's noise floor times the
    // threshold, and never below the least speech).
    double lastEnergy() const { return mLastEnergy; }
    double speechEnergy() const { return std::max(SpeechMinEnergy, mNoiseFloor * mSpeechOverFloor); }

private:
    // Speech: 9 dB over the noise floor unless set, and above -44 dBFS
    // (200 rms), so that a silent room's dither is no speech however low
    // its floor.
    static constexpr double SpeechMinEnergy = 200.0 * 200.0;
    double mSpeechOverFloor = 7.94;

    bool detect(const int16_t* frame);

    SpeexPreprocessState_* mState = nullptr;
    uint32_t mFrameSamples;
    bool mDetectVoice;
    bool mFloorKnown = false;
    double mNoiseFloor = 0; // mean square of the room's noise
    double mLastEnergy = 0;
};

// Takes the echo of what this program plays out of what the microphone
// hears: an adaptive filter learns the path from the output to the
// microphone (speakers, room, the sound system's delays) over `tailMs`,
// and the preprocessor given state() takes out what it leaves.
class EchoCanceller {
public:
    // The longest echo path learnt: the output's and the capture's
    // buffering (the echo comes that much after the reference) and the
    // room's reverberation after it.
    static constexpr uint32_t DefaultTailMs = 300;
    EchoCanceller(uint32_t sampleRate, uint32_t frameSamples, uint32_t tailMs = DefaultTailMs);
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    bool valid() const { return mState != nullptr; }
    SpeexEchoState_* state() const { return mState; }
    // `nearFrame` (what the microphone heard) in place, less the echo of
    // `farFrame` (what played as it was heard, or a little before).
    void cancel(int16_t* nearFrame, const int16_t* farFrame);

private:
    SpeexEchoState_* mState = nullptr;
    std::vector<int16_t> mOut;
};

// Voice activation: opens on a few frames of speech in a row and stays open
// for a hangover after the last one, so that soft word endings and the
// pauses between words are not cut off.
class VoiceActivation {
public:
    enum : uint32_t {
        DefaultHangoverMs = 400,
        // Frames of speech in a row that open it: a click or a cough alone
        // does not.
        DefaultOpenFrames = 3,
    };
    explicit VoiceActivation(uint32_t frameMs, uint32_t hangoverMs = DefaultHangoverMs,
                             uint32_t openFrames = DefaultOpenFrames);
    // One frame's verdict; true while the microphone is open.
    bool update(bool speech);
    bool open() const { return mOpen; }

private:
    uint32_t mFrameMs;
    uint32_t mHangoverMs;
    uint32_t mOpenFrames;
    uint32_t mSpeechRun = 0;
    uint32_t mSilentMs = 0;
    bool mOpen = false;
};

// What captured sound goes through on its way to the codec, in frames of
// FrameMs at the capture rate: noise suppression and automatic gain, and with
// voice activation the gate that lets only speech through, from the frames
// that opened it to the end of the hangover. Fewer samples than a frame wait
// for the next call (at most FrameMs of delay).
class CaptureProcessing {
public:
    enum : uint32_t {
        FrameMs = 20,
        // Frames kept while the gate is shut and sent when it opens: the run
        // that opened it and the soft onset before it.
        PreRollFrames = VoiceActivation::DefaultOpenFrames + 2,
    };
    explicit CaptureProcessing(bool voiceActivation = false) : mVoiceActivation(voiceActivation) {}
    ~CaptureProcessing();

    // What played as the microphone heard a frame: fills `count` samples at
    // `rate` with the output of the frame that ends `samplesAfter` samples
    // before the newest captured one.
    using FarEnd = std::function<void(int16_t* out, uint32_t count, uint32_t rate, uint32_t samplesAfter)>;
    // Echo cancellation on (with `farEnd` as the reference) or off (null).
    // Takes effect at the next rate or restart.
    void setEchoCancellation(FarEnd farEnd);
    bool echoCancellation() const { return bool(mFarEnd); }
    // Voice activation's sensitivity: dB over the room's noise that is
    // speech, and how long it stays open after the last speech.
    void setActivationSettings(double thresholdDb, uint32_t holdMs);
    double thresholdDb() const { return mThresholdDb; }
    uint32_t holdMs() const { return mHoldMs; }
    // For a level meter, in dB of full scale (-100 before any frame): the
    // loudness of the last frame heard, and the loudness a frame must pass
    // to count as speech.
    double inputDb() const;
    double speechDb() const;

    // Appends to `out` what `count` new samples at `sampleRate` give. A new
    // rate starts the preprocessor afresh.
    void process(const int16_t* samples, size_t count, uint32_t sampleRate, std::vector<int16_t>& out);
    // Capture starts again: what waits is dropped, the gate shuts.
    void restart();

    bool voiceActivation() const { return mVoiceActivation; }
    void setVoiceActivation(bool on);
    // What is processed goes out: always with push-to-talk; with voice
    // activation while the gate is open.
    bool open() const { return !mVoiceActivation || mActivation.open(); }
    // Samples taken but held for a whole frame of the preprocessor.
    size_t held() const { return mPending.size(); }

private:
    void startAt(uint32_t sampleRate);

    bool mVoiceActivation;
    uint32_t mRate = 0;
    double mThresholdDb = 9.0;
    uint32_t mHoldMs = VoiceActivation::DefaultHangoverMs;
    FarEnd mFarEnd;
    std::unique_ptr<EchoCanceller> mEcho;
    std::vector<int16_t> mFar;
    std::unique_ptr<VoicePreprocessor> mPreprocessor;
    VoiceActivation mActivation{FrameMs};
    std::vector<int16_t> mPending; // fewer than a frame, not processed yet
    std::vector<int16_t> mPreRoll; // the last PreRollFrames frames while shut
};

// Holds decoded speech under a ceiling. Speech is levelled below it before
// it is encoded, but a decoder that resumes after concealment can rebuild
// the first frames with an overshoot that clips into a click at full scale.
// The gain drops at once to what the loudest sample needs and recovers
// over about 50 ms: what is under the ceiling passes as it is.
class PeakLimiter {
public:
    PeakLimiter(float ceiling, uint32_t sampleRate);
    void apply(int16_t* samples, size_t count);
    float gain() const { return mGain; }

private:
    float mCeiling;
    float mRelease; // the share of the way back to 1 made per sample
    float mGain = 1.0f;
};

// Mono 16-bit samples from one rate to another, continuously across calls.
class Resampler {
public:
    Resampler(uint32_t fromRate, uint32_t toRate);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    bool valid() const { return mState != nullptr || mFromRate == mToRate; }
    uint32_t fromRate() const { return mFromRate; }
    uint32_t toRate() const { return mToRate; }
    // Appends the samples `count` input samples give to `out`.
    void process(const int16_t* samples, size_t count, std::vector<int16_t>& out);

private:
    SpeexResamplerState_* mState = nullptr;
    uint32_t mFromRate;
    uint32_t mToRate;
};

} // namespace seafold
