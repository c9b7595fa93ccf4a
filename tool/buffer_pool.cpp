#include "tool/buffer_pool.h"

#include <new>
#include <utility>

namespace tavmerk {

BufferPool::Buffer BufferPool::take(size_t size)
{
    if (size == 0)
        size = 1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The smallest idle buffer that fits, unless it would waste more
        // than half of itself.
        size_t best = idle_.size();
        for (size_t i = 0; i < idle_.size(); ++i) {
            const size_t capacity = idle_[i].capacity;
            if (capacity >= size && capacity / 2 <= size && (best == idle_.size() || capacity < idle_[best].capacity))
                best = i;
        }
        if (best < idle_.size()) {
            Buffer found = std::move(idle_[best]);
            idle_[best] = std::move(idle_.back());
            idle_.pop_back();
            idle_bytes_ -= found.capacity;
            return found;
        }
    }
    Buffer fresh;
    fresh.data.reset(new (std::nothrow) uint8_t[size]);
    fresh.capacity = fresh.data ? size : 0;
    return fresh;
}

void BufferPool::give(Buffer buffer)
{
    if (!buffer.data)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_bytes_ + buffer.capacity > budget_)
        return;  // freed on the way out
    idle_bytes_ += buffer.capacity;
    idle_.push_back(std::move(buffer));
}

}  // namespace tavmerk
