#include "mount/span_cache.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "tool/inflate.h"

namespace tavmerk {

namespace {

constexpr size_t smallest_span = size_t(1) << 20;
constexpr uint64_t index_slot = UINT64_MAX;

}  // namespace

size_t SpanCache::span_size(const StreamRecord& record) const
{
    // Checkpoints of one record take at most half the budget.
    size_t span = smallest_span;
    while (uint64_t(record.expanded_size) / span * InflateIndex::window_size > budget_ / 2)
        span *= 2;
    return span;
}

SpanCache::Span SpanCache::find(const SpanKey& key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = entries_.find(key);
    if (found == entries_.end())
        return nullptr;
    lru_.splice(lru_.begin(), lru_, found->second);
    return found->second->span;
}

void SpanCache::keep(const SpanKey& key, Span span, std::shared_ptr<InflateIndex> index)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t size = index ? index->memory() : span->size();
    const auto found = entries_.find(key);
    if (found != entries_.end()) {
        held_ -= found->second->size;
        found->second->size = size;
        held_ += size;
        lru_.splice(lru_.begin(), lru_, found->second);
    } else {
        lru_.push_front(Entry{key, std::move(span), std::move(index), size});
        entries_.emplace(key, lru_.begin());
        held_ += size;
    }
    trim();
}

void SpanCache::trim()
{
    while (held_ > budget_ && lru_.size() > 1) {
        held_ -= lru_.back().size;
        entries_.erase(lru_.back().key);
        lru_.pop_back();
    }
}

size_t SpanCache::held() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
}

std::shared_ptr<InflateIndex> SpanCache::index_for(const StreamRecord& record)
{
    const SpanKey key{RecordKey{record.file_key, record.data_offset, record.stored_size, record.expanded_size},
                      index_slot};
    std::shared_ptr<InflateIndex> index;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = entries_.find(key);
        if (found != entries_.end())
            index = found->second->index;
    }
    if (!index)
        index = std::make_shared<InflateIndex>(record.stored_size, record.expanded_size, span_size(record));
    keep(key, nullptr, index);
    return index;
}

SpanCache::Span SpanCache::get_span(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t k)
{
    const SpanKey key{RecordKey{record.file_key, record.data_offset, record.stored_size, record.expanded_size}, k};
    if (Span span = find(key))
        return span;
    auto data = std::make_shared<std::vector<uint8_t>>();
    const size_t span = span_size(record);
    if (record.expanded_size <= span) {
        // Small: the whole stream at once, its Adler-32 checked.
        std::vector<uint8_t> input(record.stored_size);
        data->resize(inflate_room(record.stored_size, record.expanded_size));
        size_t length = 0;
        if (!stream(0, input.data(), input.size()) ||
            inflate_stream(input.data(), input.size(), data->data(), data->size(), length) != Z_OK ||
            length != record.expanded_size)
            return nullptr;
    } else {
        std::shared_ptr<InflateIndex> index = index_for(record);
        data->resize(span);
        size_t length = 0;
        if (!index->inflate_span(stream, k, data->data(), length))
            return nullptr;
        data->resize(length);
        keep(SpanKey{std::get<0>(key), index_slot}, nullptr, index);  // its checkpoints grew
    }
    keep(key, data, nullptr);
    return data;
}

bool SpanCache::read(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t offset,
                     uint8_t* dest, size_t size, size_t& got)
{
    got = 0;
    const size_t span = span_size(record);
    while (got < size && offset < record.expanded_size) {
        const uint64_t k = offset / span;
        const Span data = get_span(record, stream, k);
        if (!data)
            return false;
        const uint64_t within = offset - k * span;
        if (within >= data->size())
            break;
        const size_t n = size_t(std::min<uint64_t>(size - got, data->size() - within));
        std::memcpy(dest + got, data->data() + within, n);
        got += n;
        offset += n;
    }
    return true;
}

}  // namespace tavmerk
