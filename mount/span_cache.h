// Inflated data of compressed records, kept in spans within a memory
// budget (that the buffers of spans being inflated count against too): a record up to a quarter of the budget (and 16 MiB) is one span,
// inflated whole by the fast decoder; a larger one is read through an
// InflateIndex (engine/inflate_index.h), whose checkpoints count against the
// same budget. The spans and indexes used least recently go first. Safe to
// use from many threads at once; a span that several threads miss together
// (the kernel reads ahead in parallel) is inflated once, the others wait.
// Buffers of spans dropped are kept for the next spans while the budget
// has room: fresh pages cost more than inflating into them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <memory>
#include <tuple>
#include <vector>

#include "engine/inflate_index.h"
#include "engine/locks.h"

namespace tavmerk {

// A compressed record in one archive file (`file_key` tells the files
// apart): its data never changes while that file is open.
struct StreamRecord {
    uint64_t file_key = 0;
    uint32_t data_offset = 0;
    uint32_t stored_size = 0;
    uint32_t expanded_size = 0;
};

class SpanCache {
public:
    explicit SpanCache(size_t budget) : budget_(budget) {}
    ~SpanCache();

    // Copies up to `size` bytes of the record's expanded data at `offset`
    // into `dest`, `got` of them (fewer only at its end). False when the
    // stream cannot be read or inflated there.
    bool read(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t offset, uint8_t* dest,
              size_t size, size_t& got);

    // The same bytes as the spans that hold them: each piece keeps its
    // span alive, so that it can be handed on without a copy.
    struct Piece {
        std::shared_ptr<const void> keep;
        const uint8_t* data = nullptr;
        size_t size = 0;
    };
    bool read_pieces(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t offset,
                     size_t size, std::vector<Piece>& pieces);

    // Memory the cache holds now: spans, checkpoints, the shelf, and
    // buffers out of it.
    size_t held() const EXCLUDES(mutex_);

private:
    struct SpanData {
        SpanCache* owner = nullptr;  // takes the buffer back
        std::unique_ptr<uint8_t[]> bytes;
        size_t capacity = 0;
        size_t size = 0;
        ~SpanData();
    };
    using Span = std::shared_ptr<const SpanData>;
    using RecordKey = std::tuple<uint64_t, uint32_t, uint32_t, uint32_t>;
    using SpanKey = std::tuple<RecordKey, uint64_t>;
    struct Entry {
        SpanKey key;
        Span span;
        std::shared_ptr<InflateIndex> index;  // set for an index entry
        size_t size = 0;                      // memory counted for it
    };

    bool whole(const StreamRecord& record) const;  // one span, inflated at once
    size_t span_size(const StreamRecord& record) const;
    Span get_span(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t k);
    Span inflate(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t k);
    Span inflate_within(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t k,
                        size_t span);
    // A buffer of at least `size` bytes, from the shelf where one fits;
    // null when there is no memory.
    std::unique_ptr<uint8_t[]> take(size_t size, size_t& capacity) EXCLUDES(mutex_);
    void give(std::unique_ptr<uint8_t[]> bytes, size_t capacity) EXCLUDES(mutex_);
    std::shared_ptr<InflateIndex> index_for(const StreamRecord& record) EXCLUDES(mutex_);
    // The span kept under `key`, waiting while another thread inflates
    // it; null, with the key marked as being inflated by the caller, when
    // it is not there.
    Span find_or_claim(const SpanKey& key) EXCLUDES(mutex_);
    void unclaim(const SpanKey& key) EXCLUDES(mutex_);
    void keep(const SpanKey& key, Span span, std::shared_ptr<InflateIndex> index) EXCLUDES(mutex_);
    // Makes room within the budget; what was let go, to be freed with
    // no lock held.
    struct Dropped {
        std::vector<Span> spans;
        std::vector<std::unique_ptr<uint8_t[]>> buffers;
    };
    void trim(Dropped& dropped) REQUIRES(mutex_);
    void drop_oldest(Dropped& dropped, bool shelve) REQUIRES(mutex_);
    static size_t capacity_for(size_t size);

    const size_t budget_;
    mutable Mutex mutex_;
    std::multimap<size_t, std::unique_ptr<uint8_t[]>> shelf_ GUARDED_BY(mutex_);  // by capacity
    size_t shelved_ GUARDED_BY(mutex_) = 0;
    std::list<Entry> lru_ GUARDED_BY(mutex_);  // most recent first
    std::map<SpanKey, std::list<Entry>::iterator> entries_ GUARDED_BY(mutex_);
    std::set<SpanKey> claimed_ GUARDED_BY(mutex_);  // being inflated
    CondVar inflated_;
    size_t held_ GUARDED_BY(mutex_) = 0;
    // Buffers out of the cache and off the shelf: being inflated, or still read.
    size_t in_flight_ GUARDED_BY(mutex_) = 0;
};

}  // namespace tavmerk
