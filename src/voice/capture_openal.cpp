// The microphone through OpenAL capture.
//
// OpenAL's capture buffer stops growing when it is full instead of wrapping,
// so every poll drains it into our own one-second ring.
#include "voice/voicecapture.h"

#include <AL/al.h>
#include <AL/alc.h>

namespace seafold {

namespace {

class OpenALCaptureBackend : public CaptureBackend {
public:
    ~OpenALCaptureBackend() override { close(); }

    bool openDevice() override
    {
        // One second of device buffer: ticks drain it every 100 ms or more often.
        close();
        mDevice = alcCaptureOpenDevice(nullptr, ALCuint(rate()), AL_FORMAT_MONO16, ALCsizei(rate()));
        return mDevice != nullptr;
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
        return alcGetError(mDevice) == ALC_NO_ERROR;
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
            if (keep)
                writeRing(chunk, uint32_t(n));
        }
    }

    ALCdevice* mDevice = nullptr;
};

} // namespace

std::unique_ptr<CaptureBackend> createOpenALCaptureBackend()
{
    return std::unique_ptr<CaptureBackend>(new OpenALCaptureBackend);
}

} // namespace seafold
