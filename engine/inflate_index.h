// Random access into one large zlib stream. The expanded data is cut into
// spans of `span` bytes; a checkpoint for span k is the state of the
// inflater at the last deflate block boundary at or before k x span: the
// position in the stream (byte and bit), the position in the output, and
// the 32 KiB of output before it (the window that later matches may reach
// back into). Span k is then inflated from its checkpoint, after at most
// one deflate block of output thrown away, whatever k is. Checkpoints are
// recorded as inflating passes them: a span past the last one known is
// reached by inflating on from there, recording the ones in between, so
// the stream is inflated from its start at most once.
//
// Each checkpoint also carries the Adler-32 of the output before it, so
// that whichever span reaches the stream's end checks the stream's own
// Adler-32: a damaged stream gives an error for the spans that reach a
// decoding error, and for the last span (and every span after that check
// failed) when its data is wrong without being undecodable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/locks.h"

namespace tavmerk {

class InflateIndex {
public:
    // Copies `size` bytes of the stream at `offset` (from the stream's
    // start) into `dest`; false when they cannot be read.
    using ReadStream = std::function<bool(uint64_t offset, uint8_t* dest, size_t size)>;

    static constexpr size_t window_size = 32768;

    // A stream of `stream_size` bytes that expands to `expanded_size`.
    InflateIndex(uint64_t stream_size, uint64_t expanded_size, size_t span);

    size_t span() const { return span_; }
    uint64_t spans() const { return (expanded_size_ + span_ - 1) / span_; }

    // Inflates span `k` into `dest` (room for span() bytes) and sets
    // `length` to its size (the last span may be shorter). False when the
    // stream is damaged or cannot be read there. Safe to call from several
    // threads at once: each inflates on its own, checkpoints are shared.
    bool inflate_span(const ReadStream& read, uint64_t k, uint8_t* dest, size_t& length);

    // Memory held by the checkpoints.
    size_t memory() const EXCLUDES(mutex_);

private:
    struct Checkpoint {
        uint64_t in = 0;    // first byte of the stream not yet taken whole
        int bits = 0;       // bits of the byte before `in` still to take
        uint64_t out = 0;   // output position
        uint32_t adler = 1; // Adler-32 of the output before `out`
        std::unique_ptr<uint8_t[]> window;  // the window_size bytes before `out`
    };
    class Inflater;

    static constexpr uint64_t damaged_span = UINT64_MAX;
    // The latest known checkpoint at or before span k, copied, and its
    // span; damaged_span once the stream is known to be damaged.
    uint64_t start_for(uint64_t k, Checkpoint& copy) const EXCLUDES(mutex_);
    void mark_damaged() EXCLUDES(mutex_);
    void record(uint64_t k, const Checkpoint& point) EXCLUDES(mutex_);

    uint64_t stream_size_;
    uint64_t expanded_size_;
    size_t span_;
    mutable Mutex mutex_;
    std::vector<std::unique_ptr<Checkpoint>> points_ GUARDED_BY(mutex_);  // by span; null: not known yet
    size_t known_ GUARDED_BY(mutex_) = 0;
    bool damaged_ GUARDED_BY(mutex_) = false;  // the stream's Adler-32 did not hold
};

}  // namespace tavmerk
