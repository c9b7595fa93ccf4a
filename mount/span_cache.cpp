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

SpanCache::~SpanCache()
{
    // Spans hand their buffers back as they go: before the shelf goes.
    std::list<Entry> entries;
    {
        MutexLock lock(mutex_);
        entries.swap(lru_);
        entries_.clear();
    }
}

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
    MutexLock lock(mutex_);
    for (;;) {
        const auto found = entries_.find(key);
        if (found != entries_.end()) {
            lru_.splice(lru_.begin(), lru_, found->second);
            return found->second->span;
        }
        if (claimed_.insert(key).second)
            return nullptr;
        inflated_.wait(mutex_);
    }
}

void SpanCache::unclaim(const SpanKey& key)
{
    {
        MutexLock lock(mutex_);
        claimed_.erase(key);
    }
    inflated_.notify_all();
}

SpanCache::SpanData::~SpanData()
{
    if (owner && bytes)
        owner->give(std::move(bytes), capacity);
}

// Buffers come in sizes a quarter of an octave apart (at least 64 KiB),
// so that a dropped one serves the next span of about its size.
size_t SpanCache::capacity_for(size_t size)
{
    const size_t least = size_t(64) << 10;
    if (size <= least)
        return least;
    int bits = 0;
    while ((size >> bits) > 1)
        ++bits;
    const size_t step = size_t(1) << (bits - 2);
    return (size + step - 1) / step * step;
}

std::unique_ptr<uint8_t[]> SpanCache::take(size_t size, size_t& capacity)
{
    capacity = capacity_for(size);
    Dropped dropped;
    {
        MutexLock lock(mutex_);
        for (;;) {
            const auto fit = shelf_.find(capacity);
            if (fit != shelf_.end()) {
                std::unique_ptr<uint8_t[]> bytes = std::move(fit->second);
                shelf_.erase(fit);
                shelved_ -= capacity;
                in_flight_ += capacity;
                return bytes;
            }
            if (held_ + in_flight_ + shelved_ + capacity <= budget_ || lru_.empty())
                break;
            drop_oldest(dropped, true);
        }
        in_flight_ += capacity;
        trim(dropped);
    }
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[capacity]);
    if (!bytes) {
        MutexLock lock(mutex_);
        in_flight_ -= capacity;
    }
    return bytes;
}

void SpanCache::give(std::unique_ptr<uint8_t[]> bytes, size_t capacity)
{
    MutexLock lock(mutex_);
    in_flight_ -= capacity;
    if (held_ + in_flight_ + shelved_ + capacity > budget_)
        return;
    shelf_.emplace(capacity, std::move(bytes));
    shelved_ += capacity;
}

void SpanCache::keep(const SpanKey& key, Span span, std::shared_ptr<InflateIndex> index)
{
    Dropped dropped;
    MutexLock lock(mutex_);
    const size_t size = index ? index->memory() : span->capacity;
    if (!index)
        in_flight_ -= size;
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
    trim(dropped);
}

// The entry used least recently goes; its span's buffer onto the shelf
// (with `shelve`) or to be freed when no reader holds it any more, and
// counted as in use until its readers are done with it.
void SpanCache::drop_oldest(Dropped& dropped, bool shelve)
{
    Entry& oldest = lru_.back();
    held_ -= oldest.size;
    entries_.erase(oldest.key);
    if (oldest.span && oldest.span.use_count() == 1) {
        auto& data = const_cast<SpanData&>(*oldest.span);
        if (shelve) {
            shelf_.emplace(data.capacity, std::move(data.bytes));
            shelved_ += data.capacity;
        } else {
            dropped.buffers.push_back(std::move(data.bytes));
        }
    } else if (oldest.span) {
        in_flight_ += oldest.size;
        dropped.spans.push_back(std::move(oldest.span));
    }
    lru_.pop_back();
}

void SpanCache::trim(Dropped& dropped)
{
    while (held_ + in_flight_ + shelved_ > budget_ && !shelf_.empty()) {
        const auto largest = std::prev(shelf_.end());
        shelved_ -= largest->first;
        dropped.buffers.push_back(std::move(largest->second));
        shelf_.erase(largest);
    }
    while (held_ + in_flight_ > budget_ && !lru_.empty())
        drop_oldest(dropped, false);
}

size_t SpanCache::held() const
{
    MutexLock lock(mutex_);
    return held_ + shelved_ + in_flight_;
}

std::shared_ptr<InflateIndex> SpanCache::index_for(const StreamRecord& record)
{
    const SpanKey key{RecordKey{record.file_key, record.data_offset, record.stored_size, record.expanded_size},
                      index_slot};
    std::shared_ptr<InflateIndex> index;
    {
        MutexLock lock(mutex_);
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
    // What inflating takes counts against the budget while it lasts (the
    // buffers are taken through take()).
    return inflate_within(record, stream, k, span_size(record));
}

SpanCache::Span SpanCache::inflate_within(const StreamRecord& record, const InflateIndex::ReadStream& stream,
                                          uint64_t k, size_t span)
{
    auto data = std::make_shared<SpanData>();
    data->owner = this;
    if (whole(record)) {
        // The whole stream at once, its Adler-32 checked.
        size_t input_capacity = 0;
        std::unique_ptr<uint8_t[]> input = take(record.stored_size + size_t(1), input_capacity);
        const size_t room = inflate_room(record.stored_size, record.expanded_size);
        data->bytes = take(room + 1, data->capacity);
        const bool inflated =
            input && data->bytes && stream(0, input.get(), record.stored_size) &&
            inflate_stream(input.get(), record.stored_size, data->bytes.get(), room, data->size) == Z_OK &&
            data->size == record.expanded_size;
        if (input)
            give(std::move(input), input_capacity);
        return inflated ? data : nullptr;
    }
    std::shared_ptr<InflateIndex> index = index_for(record);
    data->bytes = take(span, data->capacity);
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
