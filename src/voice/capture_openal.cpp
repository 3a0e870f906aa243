// The microphone through OpenAL capture.
//
// OpenAL's capture buffer stops growing when it is full instead of wrapping,
// so every poll drains it into our own one-second ring.
#include "voice/voicecapture.h"

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <memory>
#include <string>
#include <vector>

#include "sound/audiodevices.h"

namespace seafold {

namespace {

class OpenALCaptureBackend : public CaptureBackend {
public:
    explicit OpenALCaptureBackend(std::string wanted) : mWanted(std::move(wanted)) {}
    ~OpenALCaptureBackend() override { close(); }

    bool openDevice() override
    {
        close();
        if (!mWanted.empty()) {
            const std::string name = matchDevice(captureDevices(), mWanted);
            if (!name.empty() && openNamed(name))
                return true;
            const bool opened = openDefault();
            addNotice("The microphone \"" + mWanted + "\" is not there" +
                      (opened ? ": capturing from the default, \"" + mName + "\"" : std::string()));
            return opened;
        }
        return openDefault();
    }

    void setRate(uint32_t newRate) override
    {
        if (newRate != rate())
            close();
        CaptureBackend::setRate(newRate);
    }

    bool startCapture() override
    {
        if (gone() && !fallBack())
            return false;
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
        if (gone() && fallBack() && mDevice)
            alcCaptureStart(mDevice);
        drain(true);
        return writeOffset();
    }

    void stopCapture() override
    {
        if (mDevice)
            alcCaptureStop(mDevice);
    }

private:
    bool openDefault()
    {
        const std::string name = defaultCaptureDevice();
        if (name.empty()) {
            setError("no capture device found");
            return false;
        }
        return openNamed(name, true);
    }

    // The device by the library's name for it (the default's when `asDefault`).
    bool openNamed(const std::string& name, bool asDefault = false)
    {
        // The capture rate itself, else a rate the device is likelier to
        // take natively, resampled here. One second of device buffer: ticks
        // drain it every 100 ms or more often.
        for (uint32_t deviceRate : {rate(), 48000u, 44100u, 16000u}) {
            mDevice = alcCaptureOpenDevice(asDefault ? nullptr : name.c_str(), deviceRate, AL_FORMAT_MONO16,
                                           ALCsizei(deviceRate));
            if (mDevice) {
                if (deviceRate != rate())
                    mResampler = std::make_unique<Resampler>(deviceRate, rate());
                mName = name;
                return true;
            }
        }
        setError("the capture device \"" + name + "\" would not open for 16-bit mono capture");
        return false;
    }

    // The device went away (unplugged, its source removed).
    bool gone() const
    {
        if (!mDevice)
            return false;
        ALCint connected = ALC_TRUE;
        alcGetIntegerv(mDevice, ALC_CONNECTED, 1, &connected);
        return connected == ALC_FALSE;
    }

    // The default takes the place of a device that went away; the ring
    // goes on where it was, so the reader loses nothing but the gap.
    bool fallBack()
    {
        const std::string lost = mName;
        close();
        const bool opened = openDefault();
        addNotice("The microphone \"" + lost + "\" went away" +
                  (opened ? ": capturing from the default, \"" + mName + "\"" : ": no microphone"));
        return opened;
    }

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

    std::string mWanted; // the device the user named; empty: the default
    std::string mName;   // the device open
    ALCdevice* mDevice = nullptr;
    std::unique_ptr<Resampler> mResampler; // null when the device runs at the capture rate
    std::vector<int16_t> mResampled;
};

} // namespace

std::unique_ptr<CaptureBackend> createOpenALCaptureBackend(const std::string& device)
{
    return std::unique_ptr<CaptureBackend>(new OpenALCaptureBackend(device));
}

} // namespace seafold
