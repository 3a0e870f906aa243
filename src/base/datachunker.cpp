#include "base/datachunker.h"
#include "base/platform.h"

#include <algorithm>

namespace seafold {

ChunkAllocator::ChunkAllocator(uint32_t chunkSize) : mChunkSize(chunkSize) {}

ChunkAllocator::~ChunkAllocator()
{
    freeAll();
}

void* ChunkAllocator::allocate(uint32_t bytes)
{
    if (bytes > mChunkSize) {
        assertFailed(__FILE__, __LINE__, "Data chunk too large.");
        return nullptr;
    }
    if (!mCurrent || mCurrent->used + bytes > mChunkSize) {
        Chunk* chunk = new Chunk;
        chunk->previous = mCurrent;
        chunk->storage = new uint8_t[mChunkSize];
        chunk->used = 0;
        mCurrent = chunk;
    }
    void* result = mCurrent->storage + mCurrent->used;
    // 8-byte steps keep every record pointer-aligned on 64-bit machines.
    uint32_t step = (bytes + 7) & ~7u;
    mCurrent->used = std::min(mCurrent->used + step, mChunkSize);
    return result;
}

void ChunkAllocator::freeAll()
{
    while (mCurrent) {
        Chunk* previous = mCurrent->previous;
        delete[] mCurrent->storage;
        delete mCurrent;
        mCurrent = previous;
    }
}

uint32_t ChunkAllocator::chunkCount() const
{
    uint32_t n = 0;
    for (Chunk* c = mCurrent; c; c = c->previous)
        ++n;
    return n;
}

uint32_t ChunkAllocator::currentUsed() const
{
    return mCurrent ? mCurrent->used : 0;
}

} // namespace seafold
