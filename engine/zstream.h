// zlib streams inflated and deflated in pieces of bounded size, for data
// too large to hold whole: the input comes from a reader and the output
// goes to a writer a piece at a time, so memory stays at a few pieces and
// zlib's own state whatever the data's size. The results are exactly those
// of zlib's one-shot calls on the whole data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tavmerk {

// Bytes read or produced at a time, at most (a piece never exceeds the
// data it is for).
constexpr size_t stream_piece = size_t(256) << 10;

// Records are handled whole in memory (a fast decoder, one-shot calls)
// while their stored and their expanded bytes each stay within this; a
// larger one goes through in pieces. Ordinary files stay on the fast path.
constexpr uint64_t largest_whole_record = uint64_t(4) << 20;

// Puts the next `size` bytes of the input at `dest`; `got` is fewer only
// where the input ends. False on a read error, which ends the work.
using PieceReader = std::function<bool(uint8_t* dest, size_t size, size_t& got)>;

// Takes the next piece of output; false (a failed write, or nothing more
// wanted) ends the work.
using PieceWriter = std::function<bool(const uint8_t* data, size_t size)>;

struct StreamResult {
    int result = 0;           // zlib's code (Z_MEM_ERROR: no memory for the pieces)
    uint64_t in = 0;          // input bytes taken: read (deflate), or used by the stream (inflate)
    uint64_t out = 0;         // output bytes handed to the writer
    bool read_failed = false;   // the reader failed: `result` is not zlib's
    bool write_failed = false;  // the writer refused a piece: `result` is not zlib's
};

// Inflates the zlib stream of `in_size` bytes as zlib's `uncompress2` does
// into room for `capacity` bytes: the same result code, the same output
// (also the part before a failure) and the same bytes used.
StreamResult inflate_in_pieces(uint64_t in_size, uint64_t capacity, const PieceReader& read,
                               const PieceWriter& write, size_t piece = stream_piece);

// Compresses the input, `in_size` bytes or fewer if the reader ends
// sooner, into the zlib stream that `compress2` at level 9 makes of it,
// byte for byte.
StreamResult deflate_in_pieces(uint64_t in_size, const PieceReader& read, const PieceWriter& write,
                               size_t piece = stream_piece);

// Copies the input, `in_size` bytes or fewer if the reader ends sooner,
// a piece at a time (result Z_OK, or Z_MEM_ERROR).
StreamResult copy_in_pieces(uint64_t in_size, const PieceReader& read, const PieceWriter& write,
                            size_t piece = stream_piece);

}  // namespace tavmerk
