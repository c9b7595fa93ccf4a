// Inflate buffers kept for reuse. Files pass through one after another on
// several threads; handing a freed buffer to the next file saves the fresh
// pages (and their faults) a new allocation would cost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/locks.h"

namespace tavmerk {

class BufferPool {
public:
    struct Buffer {
        std::unique_ptr<uint8_t[]> data;
        size_t capacity = 0;
    };

    // Keeps at most `budget` bytes of idle buffers.
    explicit BufferPool(size_t budget) : budget_(budget) {}

    // A buffer of at least `size` bytes (and not much more), or one with no
    // data when memory runs out.
    Buffer take(size_t size);

    // Returns a buffer for reuse, or frees it when the pool is full.
    void give(Buffer buffer);

private:
    Mutex mutex_;
    std::vector<Buffer> idle_ GUARDED_BY(mutex_);
    size_t idle_bytes_ GUARDED_BY(mutex_) = 0;
    const size_t budget_;
};

}  // namespace tavmerk
