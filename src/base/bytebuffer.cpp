#include "base/bytebuffer.h"

#include <cstdlib>
#include <cstring>

namespace seafold {

// Owned storage is zero-filled: a partly written last byte is sent as it
// stands, and it must never carry leftovers of older heap contents.
ByteBuffer::ByteBuffer(uint32_t size) : mSize(size), mOwned(true), mCapacity(size)
{
    if (size) {
        mData = static_cast<uint8_t*>(std::calloc(size, 1));
        if (!mData) {
            mSize = 0;
            mCapacity = 0;
        }
    }
}

ByteBuffer::ByteBuffer(uint8_t* data, uint32_t size) : mData(data), mSize(size), mOwned(false) {}

ByteBuffer::ByteBuffer(const ByteBuffer& other) : Object(), mData(other.mData), mSize(other.mSize), mOwned(false) {}

ByteBuffer::~ByteBuffer()
{
    if (mOwned)
        std::free(mData);
}

bool ByteBuffer::resize(uint32_t newSize)
{
    if (newSize <= mSize) {
        mSize = newSize;
        return true;
    }
    if (!mOwned)
        return false;
    if (newSize > mCapacity) {
        uint8_t* grown = static_cast<uint8_t*>(std::realloc(mData, newSize));
        if (!grown)
            return false;
        std::memset(grown + mCapacity, 0, newSize - mCapacity);
        mData = grown;
        mCapacity = newSize;
    }
    mSize = newSize;
    return true;
}

void ByteBuffer::ensureOwned()
{
    if (mOwned)
        return;
    uint8_t* copy = nullptr;
    if (mSize) {
        copy = static_cast<uint8_t*>(std::malloc(mSize));
        if (!copy) {
            // Out of memory: become an empty buffer of our own rather than
            // keep pointing at storage we were told we would own.
            mSize = 0;
        } else {
            std::memcpy(copy, mData, mSize);
        }
    }
    mData = copy;
    mCapacity = mSize;
    mOwned = true;
}

void ByteBuffer::wrapExternal(uint8_t* data, uint32_t size)
{
    if (mOwned)
        std::free(mData);
    mData = data;
    mSize = size;
    mOwned = false;
    mCapacity = 0;
}

} // namespace seafold
