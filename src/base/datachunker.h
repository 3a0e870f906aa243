// Allocators for many small, long-lived records: a chunk allocator that hands
// out pieces of large chunks and frees them all at once, and a free list of
// fixed-size elements on top of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace seafold {

class ChunkAllocator {
public:
    explicit ChunkAllocator(uint32_t chunkSize = 16376);
    ~ChunkAllocator();
    ChunkAllocator(const ChunkAllocator&) = delete;
    ChunkAllocator& operator=(const ChunkAllocator&) = delete;

    // Storage for `bytes` bytes, 4-byte granular. Asking for more than the
    // chunk size is a programming error.
    void* allocate(uint32_t bytes);
    void freeAll();

    uint32_t chunkSize() const { return mChunkSize; }
    uint32_t chunkCount() const;
    // Bytes used in the current chunk (0 without a chunk).
    uint32_t currentUsed() const;

private:
    struct Chunk {
        Chunk* previous;
        uint8_t* storage;
        uint32_t used;
    };
    uint32_t mChunkSize;
    Chunk* mCurrent = nullptr;
};

// Fixed-size elements of type T; freed storage is reused and only returns to
// the system when the allocator is destroyed.
template <class T> class FreeListAllocator {
public:
    explicit FreeListAllocator(uint32_t chunkSize = 16376) : mChunks(chunkSize) {}
    ~FreeListAllocator() = default; // live elements are not destroyed

    template <class... Args> T* allocateElement(Args&&... args)
    {
        ++mLiveCount;
        void* storage;
        if (mFreeList) {
            storage = mFreeList;
            mFreeList = mFreeList->next;
        } else {
            storage = mChunks.allocate(ElementBytes);
        }
        return new (storage) T(std::forward<Args>(args)...);
    }

    void freeElement(T* element)
    {
        if (!element)
            return;
        element->~T();
        --mLiveCount;
        auto* node = reinterpret_cast<FreeNode*>(element);
        node->next = mFreeList;
        mFreeList = node;
    }

    uint32_t liveCount() const { return mLiveCount; }

private:
    struct FreeNode {
        FreeNode* next;
    };
    static constexpr uint32_t ElementBytes =
        static_cast<uint32_t>(sizeof(T) > sizeof(FreeNode) ? sizeof(T) : sizeof(FreeNode));
    static_assert(alignof(T) <= alignof(std::max_align_t), "over-aligned element");
    ChunkAllocator mChunks;
    FreeNode* mFreeList = nullptr;
    uint32_t mLiveCount = 0;
};

} // namespace seafold
