// Inflated data of compressed records, kept in spans within a memory
// budget: a small record is one span, inflated whole; a large one is read
// through an InflateIndex (tool/inflate_index.h), whose checkpoints count
// against the same budget. The spans and indexes used least recently go
// first. Safe to use from many threads at once; a span two threads miss
// together is inflated by both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

#include "tool/inflate_index.h"

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

    // Copies up to `size` bytes of the record's expanded data at `offset`
    // into `dest`, `got` of them (fewer only at its end). False when the
    // stream cannot be read or inflated there.
    bool read(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t offset, uint8_t* dest,
              size_t size, size_t& got);

    // Memory the cache holds now.
    size_t held() const;

private:
    using Span = std::shared_ptr<const std::vector<uint8_t>>;
    using RecordKey = std::tuple<uint64_t, uint32_t, uint32_t, uint32_t>;
    using SpanKey = std::tuple<RecordKey, uint64_t>;
    struct Entry {
        SpanKey key;
        Span span;
        std::shared_ptr<InflateIndex> index;  // set for an index entry
        size_t size = 0;                      // memory counted for it
    };

    size_t span_size(const StreamRecord& record) const;
    Span get_span(const StreamRecord& record, const InflateIndex::ReadStream& stream, uint64_t k);
    std::shared_ptr<InflateIndex> index_for(const StreamRecord& record);
    Span find(const SpanKey& key);
    void keep(const SpanKey& key, Span span, std::shared_ptr<InflateIndex> index);
    void trim();

    size_t budget_;
    mutable std::mutex mutex_;
    std::list<Entry> lru_;  // most recent first
    std::map<SpanKey, std::list<Entry>::iterator> entries_;
    size_t held_ = 0;
};

}  // namespace tavmerk
