#include "mount/span_cache.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/inflate.h"

namespace tavmerk {

namespace {

constexpr size_t smallest_span = size_t(1) << 20;
constexpr size_t largest_whole = size_t(16) << 20;
constexpr uint64_t index_slot = UINT64_MAX;

}  // namespace

bool SpanCache::whole(const StreamRecord& record) const
{
    // Both the stream and its output small: a stream far longer than its
    // output (damaged, or hostile) is read in chunks too.
    const size_t limit = std::min(largest_whole, budget_ / 4);
    return record.expanded_size <= limit && record.stored_size <= limit;
}

size_t SpanCache::span_size(const StreamRecord& record) const
{
    if (whole(record))
        return std::max<size_t>(record.expanded_size, 1);
    // Checkpoints of one record take at most half the budget.
    size_t span = smallest_span;
    while (uint64_t(record.expanded_size) / span * InflateIndex::window_size > budget_ / 2)
        span *= 2;
    return span;
}

SpanCache::Span SpanCache::find_or_claim(const SpanKey& key)
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const auto found = entries_.find(key);
        if (found != entries_.end()) {
            lru_.splice(lru_.begin(), lru_, found->second);
            return found->second->span;
        }
        if (claimed_.insert(key).second)
            return nullptr;
        inflated_.wait(lock);
    }
}

void SpanCache::unclaim(const SpanKey& key)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        claimed_.erase(key);
    }
    inflated_.notify_all();
}

void SpanCache::keep(const SpanKey& key, Span span, std::shared_ptr<InflateIndex> index)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t size = index ? index->memory() : span->size;
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

void SpanCache::reserve(size_t size, bool take)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (take) {
        in_flight_ += size;
        trim();
    } else {
        in_flight_ -= size;
    }
}

void SpanCache::trim()
{
    while (held_ + in_flight_ > budget_ && !lru_.empty()) {
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

SpanCache::Span SpanCache::inflate(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t k)
{
    // What inflating takes counts against the budget while it lasts.
    const size_t span = span_size(record);
    const size_t needs = whole(record) ? record.stored_size + span : span;
    reserve(needs, true);
    Span data = inflate_within(record, stream, k, span);
    reserve(needs, false);
    return data;
}

SpanCache::Span SpanCache::inflate_within(const StreamRecord& record, const InflateIndex::ReadStream& stream,
                                          uint64_t k, size_t span)
{
    auto data = std::make_shared<SpanData>();
    if (whole(record)) {
        // The whole stream at once, its Adler-32 checked.
        std::unique_ptr<uint8_t[]> input(new (std::nothrow) uint8_t[record.stored_size + size_t(1)]);
        const size_t room = inflate_room(record.stored_size, record.expanded_size);
        data->bytes.reset(new (std::nothrow) uint8_t[room + 1]);
        if (!input || !data->bytes || !stream(0, input.get(), record.stored_size) ||
            inflate_stream(input.get(), record.stored_size, data->bytes.get(), room, data->size) != Z_OK ||
            data->size != record.expanded_size)
            return nullptr;
        return data;
    }
    std::shared_ptr<InflateIndex> index = index_for(record);
    data->bytes.reset(new (std::nothrow) uint8_t[span]);
    if (!data->bytes || !index->inflate_span(stream, k, data->bytes.get(), data->size))
        return nullptr;
    // Its checkpoints grew.
    keep(SpanKey{RecordKey{record.file_key, record.data_offset, record.stored_size, record.expanded_size}, index_slot},
         nullptr, index);
    return data;
}

SpanCache::Span SpanCache::get_span(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t k)
{
    const SpanKey key{RecordKey{record.file_key, record.data_offset, record.stored_size, record.expanded_size}, k};
    if (Span span = find_or_claim(key))
        return span;
    Span span = inflate(record, stream, k);
    if (span)
        keep(key, span, nullptr);
    unclaim(key);
    return span;
}

bool SpanCache::read_pieces(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t offset,
                            size_t size, std::vector<Piece>& pieces)
{
    const size_t span = span_size(record);
    size_t got = 0;
    while (got < size && offset < record.expanded_size) {
        const uint64_t k = offset / span;
        Span data = get_span(record, stream, k);
        if (!data)
            return false;
        const uint64_t within = offset - k * span;
        if (within >= data->size)
            break;
        const size_t n = size_t(std::min<uint64_t>(size - got, data->size - within));
        const uint8_t* at = data->bytes.get() + within;
        pieces.push_back(Piece{std::move(data), at, n});
        got += n;
        offset += n;
    }
    return true;
}

bool SpanCache::read(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t offset,
                     uint8_t* dest, size_t size, size_t& got)
{
    got = 0;
    std::vector<Piece> pieces;
    if (!read_pieces(record, stream, offset, size, pieces))
        return false;
    for (const Piece& piece : pieces) {
        std::memcpy(dest + got, piece.data, piece.size);
        got += piece.size;
    }
    return true;
}

}  // namespace tavmerk
