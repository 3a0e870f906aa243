#include "voice/voiceprocessing.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>

#include "base/platform.h"

namespace seafold {

// ---- preprocessor ------------------------------------------------------------

VoicePreprocessor::VoicePreprocessor(uint32_t sampleRate, uint32_t frameSamples, Settings settings)
    : mFrameSamples(frameSamples), mDetectVoice(settings.detectVoice)
{
    mState = speex_preprocess_state_init(int(frameSamples), int(sampleRate));
    if (!mState) {
        writeLog("Voice: no preprocessor for %u-sample frames at %u Hz", frameSamples, sampleRate);
        return;
    }
    int on = settings.denoise ? 1 : 0;
    speex_preprocess_ctl(mState, SPEEX_PREPROCESS_SET_DENOISE, &on);
    // Stationary noise (a fan, a hum) down by up to 30 dB.
    int suppressDb = -30;
    speex_preprocess_ctl(mState, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppressDb);
    on = settings.automaticGain ? 1 : 0;
    speex_preprocess_ctl(mState, SPEEX_PREPROCESS_SET_AGC, &on);
    if (settings.automaticGain) {
        // A soft speaker is raised at most 20 dB: more would lift the
        // room's noise between words as well.
        int maxGainDb = 20;
        speex_preprocess_ctl(mState, SPEEX_PREPROCESS_SET_AGC_MAX_GAIN, &maxGainDb);
        float level = 8000.0f;
        speex_preprocess_ctl(mState, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
    }
    // The library's own voice detector stays off: ours (below) looks at
    // the level against the room's noise floor, which is what a push-to-talk
    // replacement needs, and the library's prints a warning when enabled.
}

VoicePreprocessor::~VoicePreprocessor()
{
    if (mState)
        speex_preprocess_state_destroy(mState);
}

void VoicePreprocessor::setSpeechThresholdDb(double db)
{
    mSpeechOverFloor = std::pow(10.0, db / 10.0);
}

void VoicePreprocessor::setEchoState(SpeexEchoState_* echo)
{
    if (mState)
        speex_preprocess_ctl(mState, SPEEX_PREPROCESS_SET_ECHO_STATE, echo);
}

bool VoicePreprocessor::process(int16_t* frame)
{
    const bool speech = detect(frame);
    if (mState)
        speex_preprocess_run(mState, frame);
    return !mDetectVoice || speech;
}

bool VoicePreprocessor::detect(const int16_t* frame)
{
    double sum = 0;
    for (uint32_t i = 0; i < mFrameSamples; ++i)
        sum += double(frame[i]) * frame[i];
    const double energy = mFrameSamples ? sum / mFrameSamples : 0;
    mLastEnergy = energy;
    if (!mFloorKnown) {
        mFloorKnown = true;
        mNoiseFloor = energy;
    } else if (energy < mNoiseFloor) {
        // Down at once: a quiet frame is the room as it is.
        mNoiseFloor = energy;
    } else {
        // Up slowly, about 3 dB a second at 20 ms frames, so a noise that
        // sets in is learnt in a few seconds but a word is never taken for
        // the room.
        mNoiseFloor = std::min(energy, mNoiseFloor * 1.014 + 1.0);
    }
    return energy > SpeechMinEnergy && energy > mNoiseFloor * mSpeechOverFloor;
}

// ---- echo cancellation -------------------------------------------------------

EchoCanceller::EchoCanceller(uint32_t sampleRate, uint32_t frameSamples, uint32_t tailMs)
    : mOut(frameSamples)
{
    mState = speex_echo_state_init(int(frameSamples), int(sampleRate / 1000 * tailMs));
    if (!mState) {
        writeLog("Voice: no echo canceller for %u-sample frames at %u Hz", frameSamples, sampleRate);
        return;
    }
    int rate = int(sampleRate);
    speex_echo_ctl(mState, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
}

EchoCanceller::~EchoCanceller()
{
    if (mState)
        speex_echo_state_destroy(mState);
}

void EchoCanceller::cancel(int16_t* nearFrame, const int16_t* farFrame)
{
    if (!mState)
        return;
    speex_echo_cancellation(mState, nearFrame, farFrame, mOut.data());
    std::copy(mOut.begin(), mOut.end(), nearFrame);
}

// ---- voice activation --------------------------------------------------------

VoiceActivation::VoiceActivation(uint32_t frameMs, uint32_t hangoverMs, uint32_t openFrames)
    : mFrameMs(frameMs), mHangoverMs(hangoverMs), mOpenFrames(std::max<uint32_t>(openFrames, 1))
{
}

bool VoiceActivation::update(bool speech)
{
    if (speech) {
        mSilentMs = 0;
        if (++mSpeechRun >= mOpenFrames)
            mOpen = true;
    } else {
        mSpeechRun = 0;
        if (mOpen) {
            mSilentMs += mFrameMs;
            if (mSilentMs > mHangoverMs)
                mOpen = false;
        }
    }
    return mOpen;
}

// ---- capture processing ------------------------------------------------------

CaptureProcessing::~CaptureProcessing() = default;

void CaptureProcessing::startAt(uint32_t sampleRate)
{
    mRate = sampleRate;
    const uint32_t frame = sampleRate / 1000 * FrameMs;
    // The canceller before the preprocessor that is told of it.
    mEcho.reset();
    mPreprocessor = std::make_unique<VoicePreprocessor>(sampleRate, frame);
    mPreprocessor->setSpeechThresholdDb(mThresholdDb);
    if (mFarEnd && frame) {
        mEcho = std::make_unique<EchoCanceller>(sampleRate, frame);
        mPreprocessor->setEchoState(mEcho->state());
        mFar.assign(frame, 0);
    }
    mPending.clear();
    mPreRoll.clear();
}

void CaptureProcessing::setEchoCancellation(FarEnd farEnd)
{
    mFarEnd = std::move(farEnd);
    mPreprocessor.reset();
}

void CaptureProcessing::setActivationSettings(double thresholdDb, uint32_t holdMs)
{
    mThresholdDb = thresholdDb;
    mHoldMs = holdMs;
    if (mPreprocessor)
        mPreprocessor->setSpeechThresholdDb(thresholdDb);
    mActivation = VoiceActivation(FrameMs, mHoldMs);
}

namespace {

// A mean square of 16-bit samples in dB of full scale.
double fullScaleDb(double energy)
{
    constexpr double FullScale = 32768.0 * 32768.0;
    return energy > 0 ? std::max(-100.0, 10.0 * std::log10(energy / FullScale)) : -100.0;
}

} // namespace

double CaptureProcessing::inputDb() const
{
    return mPreprocessor ? fullScaleDb(mPreprocessor->lastEnergy()) : -100.0;
}

double CaptureProcessing::speechDb() const
{
    return mPreprocessor ? fullScaleDb(mPreprocessor->speechEnergy()) : -100.0;
}

void CaptureProcessing::process(const int16_t* samples, size_t count, uint32_t sampleRate, std::vector<int16_t>& out)
{
    if (sampleRate != mRate || !mPreprocessor)
        startAt(sampleRate);
    const size_t frame = mPreprocessor->frameSamples();
    if (frame == 0)
        return;
    mPending.insert(mPending.end(), samples, samples + count);
    size_t at = 0;
    for (; at + frame <= mPending.size(); at += frame) {
        int16_t* f = mPending.data() + at;
        if (mEcho && mEcho->valid()) {
            mFarEnd(mFar.data(), uint32_t(frame), mRate, uint32_t(mPending.size() - at - frame));
            mEcho->cancel(f, mFar.data());
        }
        const bool speech = mPreprocessor->process(f);
        if (!mVoiceActivation) {
            out.insert(out.end(), f, f + frame);
            continue;
        }
        const bool wasOpen = mActivation.open();
        if (mActivation.update(speech)) {
            if (!wasOpen) {
                out.insert(out.end(), mPreRoll.begin(), mPreRoll.end());
                mPreRoll.clear();
            }
            out.insert(out.end(), f, f + frame);
        } else {
            mPreRoll.insert(mPreRoll.end(), f, f + frame);
            if (mPreRoll.size() > PreRollFrames * frame)
                mPreRoll.erase(mPreRoll.begin(), mPreRoll.end() - PreRollFrames * frame);
        }
    }
    mPending.erase(mPending.begin(), mPending.begin() + at);
}

void CaptureProcessing::restart()
{
    mPending.clear();
    mPreRoll.clear();
    mActivation = VoiceActivation(FrameMs, mHoldMs);
}

void CaptureProcessing::setVoiceActivation(bool on)
{
    mVoiceActivation = on;
    restart();
}

// ---- resampler ---------------------------------------------------------------

PeakLimiter::PeakLimiter(float ceiling, uint32_t sampleRate)
    : mCeiling(ceiling), mRelease(1.0f - std::exp(-1.0f / (0.05f * float(std::max<uint32_t>(sampleRate, 1)))))
{
}

void PeakLimiter::apply(int16_t* samples, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const float magnitude = std::fabs(float(samples[i]));
        if (magnitude * mGain > mCeiling)
            mGain = mCeiling / magnitude;
        samples[i] = int16_t(std::lrint(float(samples[i]) * mGain));
        mGain += (1.0f - mGain) * mRelease;
    }
}

Resampler::Resampler(uint32_t fromRate, uint32_t toRate) : mFromRate(fromRate), mToRate(toRate)
{
    if (fromRate == toRate || fromRate == 0 || toRate == 0)
        return;
    int error = 0;
    // Quality 5: the library's choice for voice, well below a percent of
    // a core at these rates.
    mState = speex_resampler_init(1, fromRate, toRate, 5, &error);
    if (!mState || error != RESAMPLER_ERR_SUCCESS) {
        writeLog("Voice: no resampler from %u Hz to %u Hz", fromRate, toRate);
        mState = nullptr;
        return;
    }
    // Start with the filter full, not empty: no delay at the start.
    speex_resampler_skip_zeros(mState);
}

Resampler::~Resampler()
{
    if (mState)
        speex_resampler_destroy(mState);
}

void Resampler::process(const int16_t* samples, size_t count, std::vector<int16_t>& out)
{
    if (count == 0)
        return;
    if (mFromRate == mToRate) {
        out.insert(out.end(), samples, samples + count);
        return;
    }
    if (!mState)
        return;
    size_t done = 0;
    while (done < count) {
        spx_uint32_t in = spx_uint32_t(std::min<size_t>(count - done, 4096));
        const size_t room = size_t(in) * mToRate / mFromRate + 16;
        const size_t start = out.size();
        out.resize(start + room);
        spx_uint32_t produced = spx_uint32_t(room);
        speex_resampler_process_int(mState, 0, samples + done, &in, out.data() + start, &produced);
        out.resize(start + produced);
        if (in == 0)
            break; // nothing taken: never spin
        done += in;
    }
}

} // namespace seafold
