// One-shot inflate of a zlib stream with zlib's results, but for a few
// malformed streams that the fast decoder accepts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavmerk {

// Inflates the zlib stream `in` into `out` (room for `capacity` bytes) and
// returns what zlib's `uncompress` returns, with `length` set to the bytes
// it produced, also on failure. A fast decoder serves every stream it
// accepts whole; everything else goes through zlib, so failures, their
// codes and partial output are zlib's. The fast decoder (libdeflate) is
// laxer than zlib in a few places: fixed-block length symbols 286 and 287
// and distance symbols 30 and 31, dynamic headers that declare more than
// 286 length or 30 distance codes, and incomplete codes. Such a stream,
// when its Adler-32 holds, gives Z_OK and its bytes where zlib gives
// Z_DATA_ERROR.
int inflate_stream(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length);

// A faster decoder's attempt: true, with `length` set, only when it
// decoded a whole valid stream into the room given. Not every build has one.
bool fast_inflate(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length);

// Room to inflate a record's stream into: its expanded size, but never
// more than its stream could give. Deflate yields at most 258 bytes for two
// bits (a longest match with the shortest codes), so n bytes of stream
// cannot inflate past ~1032 n: a record claiming 4 GiB from a few bytes
// gets only the room those bytes could fill.
inline size_t inflate_room(uint32_t stored_size, uint32_t expanded_size)
{
    const uint64_t limit = uint64_t(stored_size) * 1032 + 1024;
    return size_t(expanded_size < limit ? expanded_size : limit);
}

// The same through zlib alone; with `consumed`, also the bytes of `in` the
// stream took up (on Z_OK, any after them follow the stream's end).
int inflate_stream_zlib(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length);
int inflate_stream_zlib(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length,
                        size_t& consumed);

}  // namespace tavmerk
