#include "engine/buffer_pool.h"

#include <cstdint>
#include <new>
#include <utility>

namespace tavmerk {

namespace {

// Capacities come in powers of two from 64 KiB, so that a freed buffer fits
// most of the files after it; smaller ones are cheap to allocate as needed.
size_t capacity_for(size_t size)
{
    constexpr size_t smallest_class = size_t(64) << 10;
    if (size < smallest_class)
        return size;
    size_t capacity = smallest_class;
    while (capacity < size && capacity <= (SIZE_MAX >> 1))
        capacity <<= 1;
    return capacity < size ? size : capacity;
}

}  // namespace

BufferPool::Buffer BufferPool::take(size_t size)
{
    if (size == 0)
        size = 1;
    const size_t wanted = capacity_for(size);
    {
        MutexLock lock(mutex_);
        // The smallest idle buffer that fits.
        size_t best = idle_.size();
        for (size_t i = 0; i < idle_.size(); ++i) {
            const size_t capacity = idle_[i].capacity;
            if (capacity >= size && (best == idle_.size() || capacity < idle_[best].capacity))
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
    for (const size_t capacity : {wanted, size}) {
        fresh.data.reset(new (std::nothrow) uint8_t[capacity]);
        if (fresh.data) {
            fresh.capacity = capacity;
            break;
        }
    }
    return fresh;
}

void BufferPool::give(Buffer buffer)
{
    if (!buffer.data)
        return;
    MutexLock lock(mutex_);
    if (idle_bytes_ + buffer.capacity > budget_)
        return;  // freed on the way out
    idle_bytes_ += buffer.capacity;
    idle_.push_back(std::move(buffer));
}

}  // namespace tavmerk
