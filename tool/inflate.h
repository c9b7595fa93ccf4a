// One-shot inflate of a zlib stream with zlib's own results.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavmerk {

// Inflates the zlib stream `in` into `out` (room for `capacity` bytes) and
// returns what zlib's `uncompress` returns, with `length` set to the bytes
// it produced, also on failure. A fast decoder serves every stream it
// accepts whole; everything else goes through zlib, so results, error codes
// and partial output are always zlib's.
int inflate_stream(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length);

// A faster decoder's attempt: true, with `length` set, only when it
// decoded a whole valid stream into the room given. Not every build has one.
bool fast_inflate(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length);

// The same through zlib alone.
int inflate_stream_zlib(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length);

}  // namespace tavmerk
