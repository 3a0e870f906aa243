// What the output played, kept as one signal for the echo canceller: every
// voice stream's samples as they are handed to their source, placed at the
// time they will be heard (after what the source still holds) and mixed.
#include "sound/sound.h"
#include "sound/sound_local.h"

#include <algorithm>
#include <cmath>

#include "base/platform.h"

namespace seafold {

namespace {

constexpr int64_t PerMs = PlayedRate / 1000;

size_t slotOf(const PlayedRecord& record, int64_t index)
{
    const int64_t size = int64_t(record.ring.size());
    return size_t(((index % size) + size) % size);
}

// Makes the indices up to `index` writable: those beyond `prepared` are
// zeroed (they held what played a ring's length before).
void prepareUpTo(PlayedRecord& record, int64_t index)
{
    if (index <= record.prepared)
        return;
    const int64_t size = int64_t(record.ring.size());
    const int64_t from = std::max(record.prepared + 1, index - size + 1);
    for (int64_t k = from; k <= index; ++k)
        record.ring[slotOf(record, k)] = 0;
    record.prepared = index;
}

bool holds(const PlayedRecord& record, int64_t index)
{
    return index <= record.prepared && index > record.prepared - int64_t(record.ring.size());
}

} // namespace

void recordPlayed(PlayedRecord& record, const int16_t* samples, uint32_t count, uint32_t rate, double startMs,
                  float gain)
{
    if (count == 0 || rate == 0 || gain <= 0)
        return;
    const int64_t start = int64_t(std::llround(startMs * PerMs));
    const int64_t length = int64_t(count) * PlayedRate / rate;
    if (length <= 0)
        return;
    // Older than the ring: nothing of it could still be asked for.
    if (start + length <= record.prepared - int64_t(record.ring.size()))
        return;
    prepareUpTo(record, start + length - 1);
    for (int64_t j = 0; j < length; ++j) {
        const int64_t k = start + j;
        if (!holds(record, k))
            continue;
        // Nearest sample: the canceller needs the shape of the sound, not
        // its finest detail.
        const size_t from = size_t(j * rate / PlayedRate);
        int16_t& slot = record.ring[slotOf(record, k)];
        const float mixed = float(slot) + float(samples[from]) * gain;
        slot = int16_t(std::clamp(mixed, -32768.0f, 32767.0f));
    }
}

void SoundPool::readPlayed(int16_t* out, uint32_t count, uint32_t rate, uint32_t samplesAfter)
{
    std::fill(out, out + count, int16_t(0));
    if (rate == 0 || rate > PlayedRate)
        return;
    PlayedRecord& record = mState->played;
    const int64_t step = PlayedRate / rate;
    const int64_t wanted = int64_t(time()) * PerMs - (int64_t(samplesAfter) + count) * step;
    if (!record.reading || std::llabs(record.cursor - wanted) > int64_t(PlayedSlackMs) * PerMs) {
        record.cursor = wanted;
        record.reading = true;
    }
    for (uint32_t i = 0; i < count; ++i) {
        // The mean of the samples this one stands for: a plain low-pass
        // before going down to the capture's rate.
        int32_t sum = 0;
        for (int64_t k = 0; k < step; ++k) {
            const int64_t index = record.cursor + int64_t(i) * step + k;
            if (holds(record, index))
                sum += record.ring[slotOf(record, index)];
        }
        out[i] = int16_t(sum / step);
    }
    record.cursor += int64_t(count) * step;
}

} // namespace seafold
