// A counted byte array, owned or viewing storage kept elsewhere: what bit
// streams, captured samples and voice payloads are held in.
#pragma once

#include <cstdint>

#include "base/object.h"

namespace seafold {

// A counted byte array that either owns its bytes or views external storage.
class ByteBuffer : public Object {
public:
    // `size` bytes of owned storage, contents undefined.
    explicit ByteBuffer(uint32_t size = 0);
    // Views external storage; the caller keeps it alive.
    ByteBuffer(uint8_t* data, uint32_t size);
    // Shares the other buffer's bytes without owning them.
    ByteBuffer(const ByteBuffer& other);
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() override;

    uint8_t* data() const { return mData; }
    uint32_t size() const { return mSize; }
    bool isOwned() const { return mOwned; }

    // Shrinking sets the size. Growing reallocates an owned buffer (bytes
    // kept) and returns true; a buffer that is not owned cannot grow.
    bool resize(uint32_t newSize);
    // Copies viewed bytes into storage of our own.
    void ensureOwned();
    // Frees owned bytes and views the given storage instead.
    void wrapExternal(uint8_t* data, uint32_t size);

protected:
    uint8_t* mData = nullptr;
    uint32_t mSize = 0;
    bool mOwned = false;
    uint32_t mCapacity = 0; // allocated bytes of an owned buffer
};

} // namespace seafold
