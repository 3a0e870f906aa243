// Push-to-talk, the capture ring, the voice tick and the file back end.
#include "voice/voicecapture.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "sound/sound.h"
#include "voice/voiceprocessing.h"

namespace seafold {

namespace {

// Level below which samples pass unscaled, and the headroom added to a peak.
constexpr int32_t QuietLevel = 2048;
constexpr double LevelDecay = double(0.95f);

} // namespace

VoiceCapture::VoiceCapture() : mLpcEncoder(new LPC10VoiceEncoder) {}

VoiceCapture::~VoiceCapture()
{
    close();
}

// The final tick of a press that made no frames still tells the
// receivers the spurt ended (with no frames), except with LPC-10, whose
// messages carry nothing but frames.
void VoiceCapture::sendEndOfSpurt()
{
    if (tickEndsSpurt() && mMode.codec != VoiceCodecId::Lpc10 && mSender)
        mSender(new ByteBuffer(0));
}

bool VoiceCapture::openCapture()
{
    if (mStarted)
        return true;
    if (!mBackend)
        mBackend = createOpenALCaptureBackend();
    CaptureBackend* backend = mBackend.get();
    if (backend->rate() != mMode.sampleRate) {
        // Another rate is another opening of the device.
        backend->setRate(mMode.sampleRate);
        mCreateTried = false;
    }
    // A device that cannot be opened is never tried again.
    if (!mCreateTried) {
        mCreateTried = true;
        mDeviceOpen = backend->openDevice();
    }
    if (!mDeviceOpen) {
        passNotices();
        return false;
    }
    const bool started = backend->startCapture();
    passNotices();
    if (!started)
        return false;
    mStarted = true;
    mReadOffset = 0;
    return true;
}

uint32_t VoiceCapture::devicePosition()
{
    // Reading is when the device finds its microphone gone and falls back to
    // the default: the user is told then, not when the next frame is whole
    // (a new device may take a while to deliver its first samples).
    const uint32_t position = mBackend->readPosition();
    passNotices();
    return position;
}

void VoiceCapture::passNotices()
{
    for (const std::string& line : mBackend->takeNotices()) {
        writeLog("%s", line.c_str());
        if (mNotice)
            mNotice(line);
    }
}

// ---- ring --------------------------------------------------------------------------------

CaptureBackend::~CaptureBackend() = default;

void CaptureBackend::setRate(uint32_t rate)
{
    mRate = std::min<uint32_t>(std::max<uint32_t>(rate, 1000), CaptureMaxRate);
    mWriteOffset = 0;
}

void CaptureBackend::writeRing(const int16_t* samples, uint32_t count)
{
    // Only the last second can survive in the ring.
    const uint32_t bytes = ringBytes();
    const uint32_t ringSamples = bytes / 2;
    if (count > ringSamples) {
        uint32_t skipped = count - ringSamples;
        samples += skipped;
        count = ringSamples;
        mWriteOffset = (mWriteOffset + skipped * 2) % bytes;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t v = uint16_t(samples[i]);
        mRing[mWriteOffset] = uint8_t(v);
        mRing[mWriteOffset + 1] = uint8_t(v >> 8);
        mWriteOffset = (mWriteOffset + 2) % bytes;
    }
}

void VoiceCapture::setBackend(std::unique_ptr<CaptureBackend> backend)
{
    if (mActive) {
        mActive = false;
        mCapturedSamples = nullptr;
    }
    if (mStarted && mBackend)
        mBackend->stopCapture();
    mStarted = false;
    mCreateTried = false;
    mDeviceOpen = false;
    mFailed = false;
    mBackend = std::move(backend);
}

void VoiceCapture::readCapturedSamples(const RefPtr<ByteBuffer>& buffer)
{
    if (!mStarted || !buffer)
        return;
    CaptureBackend* backend = mBackend.get();
    const uint32_t ringBytes = backend->ringBytes();
    uint32_t position = devicePosition() % ringBytes;
    uint32_t available = (position + ringBytes - mReadOffset) % ringBytes;
    if (available == 0)
        return;
    // One or two regions: up to the end of the ring, then from its start.
    uint32_t first = available;
    if (mReadOffset + first > ringBytes)
        first = ringBytes - mReadOffset;
    uint32_t second = available - first;
    uint32_t old = buffer->size();
    if (!buffer->resize(old + available))
        return;
    std::memcpy(buffer->data() + old, backend->ring() + mReadOffset, first);
    std::memcpy(buffer->data() + old + first, backend->ring(), second);
    mReadOffset = (mReadOffset + available) % ringBytes;
}

// ---- processing --------------------------------------------------------------------------

namespace {

std::vector<int16_t> samplesOf(const uint8_t* bytes, uint32_t count)
{
    std::vector<int16_t> samples(count);
    for (uint32_t i = 0; i < count; ++i)
        samples[i] = int16_t(uint16_t(bytes[2 * i] | bytes[2 * i + 1] << 8));
    return samples;
}

void putSamples(const int16_t* samples, uint32_t count, uint8_t* bytes)
{
    for (uint32_t i = 0; i < count; ++i) {
        bytes[2 * i] = uint8_t(uint16_t(samples[i]));
        bytes[2 * i + 1] = uint8_t(uint16_t(samples[i]) >> 8);
    }
}

} // namespace

// The samples of `buffer` from sample `from` on, replaced by what the
// processing makes of them (fewer or none while it holds them back).
void VoiceCapture::processCapturedSamples(ByteBuffer& buffer, uint32_t from)
{
    const uint32_t count = buffer.size() / 2;
    if (!mProcessing || count <= from)
        return;
    std::vector<int16_t> fresh = samplesOf(buffer.data() + from * 2, count - from), clean;
    mProcessing->process(fresh.data(), fresh.size(), mMode.sampleRate, clean);
    if (!buffer.resize(uint32_t(from + clean.size()) * 2))
        return;
    putSamples(clean.data(), uint32_t(clean.size()), buffer.data() + from * 2);
}

// ---- push-to-talk and the tick -----------------------------------------------------------------

CaptureStatus VoiceCapture::status() const
{
    if (mActive)
        return CaptureStatus::Running;
    return mFailed ? CaptureStatus::Failed : CaptureStatus::Off;
}

std::string VoiceCapture::failure() const
{
    if (!mFailed)
        return std::string();
    const std::string why = mBackend ? mBackend->error() : std::string();
    return why.empty() ? "the capture device would not start" : why;
}

void VoiceCapture::setProcessing(std::unique_ptr<CaptureProcessing> processing)
{
    mProcessing = std::move(processing);
}

bool VoiceCapture::transmitting() const
{
    return mActive && (!mProcessing || mProcessing->open());
}

uint32_t VoiceCapture::waitingSamples()
{
    if (!mStarted || !mCapturedSamples || !mBackend)
        return 0;
    const uint32_t ringBytes = mBackend->ringBytes();
    const uint32_t position = devicePosition() % ringBytes;
    // What the processing holds for a frame of its own counts too, or a
    // frame would wait for the next one's samples.
    const uint32_t held = mProcessing ? uint32_t(mProcessing->held()) : 0;
    return mCapturedSamples->size() / 2 + held + (position + ringBytes - mReadOffset) % ringBytes / 2;
}

bool VoiceCapture::frameDue()
{
    if (!mActive || !mMode.keepCadence || !mMode.encoder || !mStarted || !mCapturedSamples)
        return false;
    const uint32_t frame = mMode.encoder->frameSampleCount();
    // Only new samples or a whole frame already taken make a tick worth
    // it: what the processing holds back alone must not make every pass
    // tick for nothing.
    const uint32_t ringBytes = mBackend->ringBytes();
    const bool fresh = devicePosition() % ringBytes != mReadOffset;
    return (fresh || mCapturedSamples->size() / 2 >= frame) && waitingSamples() >= frame;
}

uint32_t VoiceCapture::msUntilFrame(uint32_t longest)
{
    if (!mActive || !mMode.keepCadence || !mMode.encoder || mMode.sampleRate == 0)
        return longest;
    if (frameDue())
        return 0;
    const uint32_t frame = mMode.encoder->frameSampleCount();
    // At least a ms: nothing is due now, so the pass must not spin.
    const uint32_t have = std::min(waitingSamples(), frame - 1);
    // Rounded up: waking before the frame is whole would find none.
    const uint32_t ms = uint32_t((uint64_t(frame - have) * 1000 + mMode.sampleRate - 1) / mMode.sampleRate);
    return std::min(ms, longest);
}

bool VoiceCapture::tickDue(uint32_t elapsedMs)
{
    if (!mActive || mCountdownMs == 0)
        return false;
    // Frames of a fixed codec go when they are whole, whatever the countdown.
    if (mMode.keepCadence)
        return frameDue();
    if (elapsedMs < mCountdownMs) {
        mCountdownMs -= elapsedMs;
        return false;
    }
    const uint32_t period = std::max<uint32_t>(mMode.tickPeriodMs, 1);
    const uint32_t excess = elapsedMs - mCountdownMs;
    // A cadence kept through a long stall would only tick again at once:
    // the overshoot counts up to one period.
    mCountdownMs = mMode.keepCadence ? period - std::min(excess, period - 1) : period;
    return true;
}

VoiceMode VoiceCapture::chosenMode()
{
    VoiceMode mode = mModeChooser ? mModeChooser() : VoiceMode();
    if (!mode.encoder)
        mode.encoder = mLpcEncoder;
    return mode;
}

void VoiceCapture::adoptMode(const VoiceMode& mode)
{
    mMode = mode;
    // The level decays the same per second at any tick period; at 100 ms
    // it is exactly the single-precision 0.95 per tick.
    mLevelDecay = mMode.tickPeriodMs == VoiceTickPeriodMs
                      ? LevelDecay
                      : std::pow(LevelDecay, double(mMode.tickPeriodMs) / VoiceTickPeriodMs);
}

// Voice activation keeps capture open for the whole run, so the mode asked
// for when it opened would last: opened before any server answered, or by
// a host before anyone joined, it stayed LPC-10 (which a host does not even
// send) for good. While nobody hears this user, capture takes up the mode
// the chooser gives now; another codec or rate opens capture again at it.
void VoiceCapture::followModeWhileQuiet()
{
    if (!mActive || mFinalTick || !mModeChooser || !mProcessing || !mProcessing->voiceActivation() ||
        transmitting())
        return;
    const VoiceMode next = chosenMode();
    if (next.codec == mMode.codec && next.sampleRate == mMode.sampleRate)
        return;
    if (mStarted) {
        mStarted = false;
        mBackend->stopCapture();
    }
    adoptMode(next);
    mActive = openCapture();
    mFailed = !mActive;
    mCapturedSamples = mActive ? new ByteBuffer(0) : nullptr;
    mCountdownMs = mActive ? mMode.firstTickMs : 0;
}

void VoiceCapture::start()
{
    if (mActive)
        return;
    adoptMode(chosenMode());
    mActive = openCapture();
    mFailed = !mActive;
    if (!mActive)
        return;
    mCapturedSamples = new ByteBuffer(0);
    mCountdownMs = mMode.firstTickMs;
    // Whatever the ring held before the press is not part of the speech.
    readCapturedSamples(mCapturedSamples);
    mCapturedSamples->resize(0);
}

void VoiceCapture::setTest(Tap tap)
{
    const bool was = testing();
    mTap = std::move(tap);
    if (mTap && !was) {
        mTestStarted = !mActive;
        start();
    } else if (!mTap && was) {
        if (mTestStarted && mActive) {
            // Nothing of the test goes out: no last tick.
            mActive = false;
            if (mStarted) {
                mStarted = false;
                mBackend->stopCapture();
            }
            mCapturedSamples = nullptr;
        } else if (mCapturedSamples) {
            mCapturedSamples->resize(0);
        }
        mTestStarted = false;
    }
}

void VoiceCapture::stop()
{
    if (!mActive)
        return;
    mFinalTick = true;
    tick();
    mFinalTick = false;
    mActive = false;
    if (mStarted) {
        mStarted = false;
        mBackend->stopCapture();
    }
    // The tail of fewer than one frame is dropped.
    mCapturedSamples = nullptr;
}

void VoiceCapture::close()
{
    mActive = false;
    mCapturedSamples = nullptr;
    setBackend(nullptr);
}

void VoiceCapture::normaliseGain(int16_t* samples, uint32_t count)
{
    int32_t peak = 0;
    for (uint32_t i = 0; i < count; ++i) {
        int32_t magnitude = std::abs(int32_t(samples[i]));
        if (magnitude > peak)
            peak = magnitude;
    }
    mLevel = int32_t(double(mLevel) * (mLevelDecay > 0 ? mLevelDecay : LevelDecay));
    if (peak + QuietLevel > mLevel)
        mLevel = peak + QuietLevel;
    if (mLevel <= QuietLevel)
        return;
    float g = float(double(mMode.levelPeak) / double(mLevel));
    for (uint32_t i = 0; i < count; ++i) {
        float x = float(samples[i]) * g;
        if (x > 32767.0f)
            samples[i] = 32767;
        else if (x < -32767.0f)
            samples[i] = -32767;
        else
            samples[i] = int16_t(x);
    }
}

void VoiceCapture::tick()
{
    if (!mCapturedSamples)
        return;
    uint32_t oldCount = mCapturedSamples->size() / 2;
    readCapturedSamples(mCapturedSamples);
    // Voice activation closing ends the utterance as a release does, so
    // that listeners take its end for an end rather than a gap.
    const bool wasOpen = transmitting();
    processCapturedSamples(*mCapturedSamples, oldCount);
    mGateClosed = wasOpen && !transmitting();
    struct ClearGate {
        bool& closed;
        ~ClearGate() { closed = false; }
    } clearGate{mGateClosed};
    uint32_t newCount = mCapturedSamples->size() / 2;
    if (mTap) {
        // The test hears what the others would, and nothing goes to them.
        if (newCount > oldCount) {
            std::vector<int16_t> heard = samplesOf(mCapturedSamples->data() + oldCount * 2, newCount - oldCount);
            mTap(heard.data(), heard.size(), mMode.sampleRate);
        }
        mCapturedSamples->resize(0);
        return;
    }
    if (newCount == oldCount) {
        sendEndOfSpurt();
        if (!mGateClosed)
            followModeWhileQuiet();
        return;
    }

    // Only the new samples: the tail left by the last tick is levelled already.
    // The buffer's bytes are little-endian samples; copy through an aligned array.
    uint32_t count = newCount - oldCount;
    uint8_t* bytes = mCapturedSamples->data() + oldCount * 2;
    std::vector<int16_t> fresh = samplesOf(bytes, count);
    normaliseGain(fresh.data(), count);
    putSamples(fresh.data(), count, bytes);

    // Whole frames go out; fewer than one frame waits for the next tick and
    // nothing is sent.
    mLastPacket = mMode.encoder->encodeBuffer(mCapturedSamples);
    if (mLastPacket && mLastPacket->size() != 0 && mSender)
        mSender(mLastPacket);
    else
        sendEndOfSpurt();
}

// ---- file back end ---------------------------------------------------------------------------

namespace {

// Rates a capture file may have: from telephone speech to studio sound.
constexpr uint32_t MinCaptureFileRate = 4000;
constexpr uint32_t MaxCaptureFileRate = 192000;

class FileCaptureBackend : public CaptureBackend {
public:
    FileCaptureBackend(const std::string& path, std::function<double()> clockMs)
        : mPath(path), mClockMs(std::move(clockMs))
    {
        if (!mClockMs)
            mClockMs = [] { return getHighPrecisionMilliseconds(getHighPrecisionTimerValue()); };
    }

    bool openDevice() override
    {
        std::string error;
        if (!loadCaptureFile(mPath, &mSamples, &error, rate())) {
            setError(error);
            return false;
        }
        mSamplesRate = rate();
        return true;
    }

    bool startCapture() override
    {
        if (mSamplesRate != rate()) {
            // Another capture rate: the file again, resampled to it.
            std::string error;
            if (!loadCaptureFile(mPath, &mSamples, &error, rate())) {
                setError(error);
                return false;
            }
            mSamplesRate = rate();
        }
        resetRing();
        mStartMs = mClockMs();
        mWritten = 0;
        return true;
    }

    uint32_t readPosition() override
    {
        double elapsedMs = mClockMs() - mStartMs;
        uint64_t due = elapsedMs > 0 ? uint64_t(elapsedMs * rate() / 1000.0) : 0;
        if (due > mWritten) {
            uint64_t count = due - mWritten;
            // Beyond a second of backlog only the last second matters.
            const uint64_t keep = ringBytes() / 2;
            if (count > keep) {
                mWritten += count - keep;
                // Keep the ring's offset where a real device would have it.
                skipRing(count - keep);
                count = keep;
            }
            int16_t chunk[CaptureMaxRingBytes / 2];
            for (uint64_t i = 0; i < count; ++i) {
                uint64_t at = mWritten + i;
                chunk[i] = at < mSamples.size() ? mSamples[at] : 0;
            }
            writeRing(chunk, uint32_t(count));
            mWritten = due;
        }
        return writeOffset();
    }

    void stopCapture() override {}

    // The file's samples at `rate`, one channel.
    static bool loadCaptureFile(const std::string& path, std::vector<int16_t>* samples, std::string* error,
                                uint32_t rate = CaptureSampleRate)
    {
        WaveData wave;
        if (!loadWaveFile(path, &wave)) {
            *error = "cannot read \"" + path + "\" as a WAV file with samples";
            return false;
        }
        const bool sixteenBit = wave.format == WaveFormat::Mono16 || wave.format == WaveFormat::Stereo16;
        if (!sixteenBit || wave.bitsPerSample != 16 || wave.rate < MinCaptureFileRate ||
            wave.rate > MaxCaptureFileRate) {
            *error = "\"" + path + "\" is not 16-bit PCM at " + std::to_string(MinCaptureFileRate) + " to " +
                     std::to_string(MaxCaptureFileRate) + " Hz";
            return false;
        }
        const uint32_t channels = wave.format == WaveFormat::Stereo16 ? 2 : 1;
        std::vector<int16_t> mono(wave.data.size() / 2 / channels);
        for (size_t i = 0; i < mono.size(); ++i) {
            int32_t sum = 0;
            for (uint32_t c = 0; c < channels; ++c) {
                const size_t at = 2 * (i * channels + c);
                sum += int16_t(uint16_t(wave.data[at] | wave.data[at + 1] << 8));
            }
            mono[i] = int16_t(sum / int32_t(channels));
        }
        Resampler resampler(wave.rate, rate);
        if (!resampler.valid()) {
            *error = "cannot resample \"" + path + "\" from " + std::to_string(wave.rate) + " Hz";
            return false;
        }
        samples->clear();
        resampler.process(mono.data(), mono.size(), *samples);
        return true;
    }

private:
    void skipRing(uint64_t samples)
    {
        // Writing silence over what is skipped keeps the offsets consistent.
        int16_t zeros[256] = {};
        uint64_t left = samples % (ringBytes() / 2);
        while (left > 0) {
            uint32_t n = left > 256 ? 256 : uint32_t(left);
            writeRing(zeros, n);
            left -= n;
        }
    }

    std::string mPath;
    std::function<double()> mClockMs;
    std::vector<int16_t> mSamples; // at mSamplesRate
    uint32_t mSamplesRate = 0;
    double mStartMs = 0;
    uint64_t mWritten = 0;
};

} // namespace

std::unique_ptr<CaptureBackend> createFileCaptureBackend(const std::string& path, std::function<double()> clockMs)
{
    return std::unique_ptr<CaptureBackend>(new FileCaptureBackend(path, std::move(clockMs)));
}

std::unique_ptr<CaptureBackend> createCaptureBackend(const std::string& captureFile, const std::string& device)
{
    if (captureFile.empty())
        return createOpenALCaptureBackend(device);
    return createFileCaptureBackend(captureFile);
}

bool checkCaptureFile(const std::string& path, std::string* error)
{
    std::vector<int16_t> samples;
    return FileCaptureBackend::loadCaptureFile(path, &samples, error);
}

uint32_t captureFileMs(const std::string& path)
{
    std::vector<int16_t> samples;
    std::string error;
    if (!FileCaptureBackend::loadCaptureFile(path, &samples, &error))
        return 0;
    return uint32_t(uint64_t(samples.size()) * 1000 / CaptureSampleRate);
}

} // namespace seafold
