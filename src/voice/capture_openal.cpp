// The microphone through OpenAL capture.
//
// OpenAL's capture buffer stops growing when it is full instead of wrapping,
// so every poll drains it into our own one-second ring.
#include "voice/voicecapture.h"

#include <AL/al.h>
#include <AL/alc.h>

#include <memory>
#include <string>
#include <vector>

namespace seafold {

namespace {

class OpenALCaptureBackend : public CaptureBackend {
public:
    ~OpenALCaptureBackend() override { close(); }

    bool openDevice() override
    {
        const ALCchar* name = alcGetString(nullptr, ALC_CAPTURE_DEFAULT_DEVICE_SPECIFIER);
        if (!name || !*name) {
            setError("no capture device found");
            return false;
        }
        close();
        // The capture rate itself, else a rate the device is likelier to
        // take natively, resampled here. One second of device buffer: ticks
        // drain it every 100 ms or more often.
        for (uint32_t deviceRate : {rate(), 48000u, 44100u, 16000u}) {
            mDevice = alcCaptureOpenDevice(nullptr, deviceRate, AL_FORMAT_MONO16, ALCsizei(deviceRate));
            if (mDevice) {
                if (deviceRate != rate())
                    mResampler = std::make_unique<Resampler>(deviceRate, rate());
                return true;
            }
        }
        setError(std::string("the capture device \"") + name + "\" would not open for 16-bit mono capture");
        return false;
    }

    void setRate(uint32_t newRate) override
    {
        if (newRate != rate())
            close();
        CaptureBackend::setRate(newRate);
    }

    bool startCapture() override
    {
        if (!mDevice)
            return false;
        // What the device kept from the last press is not part of this one.
        drain(false);
        resetRing();
        alcCaptureStart(mDevice);
        if (alcGetError(mDevice) != ALC_NO_ERROR) {
            setError("the capture device would not start capturing");
            return false;
        }
        return true;
    }

    uint32_t readPosition() override
    {
        drain(true);
        return writeOffset();
    }

    void stopCapture() override
    {
        if (mDevice)
            alcCaptureStop(mDevice);
    }

private:
    void close()
    {
        if (mDevice) {
            alcCaptureStop(mDevice);
            alcCaptureCloseDevice(mDevice);
            mDevice = nullptr;
        }
        mResampler.reset();
    }

    void drain(bool keep)
    {
        if (!mDevice)
            return;
        int16_t chunk[1024];
        for (int guard = 0; guard < 64; ++guard) {
            ALCint available = 0;
            alcGetIntegerv(mDevice, ALC_CAPTURE_SAMPLES, 1, &available);
            if (available <= 0)
                return;
            ALCsizei n = available > 1024 ? 1024 : available;
            alcCaptureSamples(mDevice, chunk, n);
            if (!keep)
                continue;
            if (!mResampler) {
                writeRing(chunk, uint32_t(n));
                continue;
            }
            mResampled.clear();
            mResampler->process(chunk, size_t(n), mResampled);
            writeRing(mResampled.data(), uint32_t(mResampled.size()));
        }
    }

    ALCdevice* mDevice = nullptr;
    std::unique_ptr<Resampler> mResampler; // null when the device runs at the capture rate
    std::vector<int16_t> mResampled;
};

} // namespace

std::unique_ptr<CaptureBackend> createOpenALCaptureBackend()
{
    return std::unique_ptr<CaptureBackend>(new OpenALCaptureBackend);
}

} // namespace seafold
