#include "engine/zstream.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>

namespace tavmerk {

namespace {

using Piece = std::unique_ptr<uint8_t[]>;

Piece allocate(size_t size)
{
    return Piece(new (std::nothrow) uint8_t[size]);
}

// zlib's state for one stream, ended however the work ends.
struct InflateState {
    z_stream stream{};
    bool live = false;
    ~InflateState()
    {
        if (live)
            inflateEnd(&stream);
    }
};

struct DeflateState {
    z_stream stream{};
    bool live = false;
    ~DeflateState()
    {
        if (live)
            deflateEnd(&stream);
    }
};

}  // namespace

// The loop of zlib's uncompress2, with the input and the room for output
// given a piece at a time instead of whole: inflate() sees the same stream
// and the same room, so it stops where and as the one-shot call stops.
StreamResult inflate_in_pieces(uint64_t in_size, uint64_t capacity, const PieceReader& read,
                               const PieceWriter& write, size_t piece)
{
    StreamResult done;
    // Pieces no larger than the stream and its room: a small record is
    // inflated in one call, as the one-shot call does.
    const size_t in_piece = size_t(std::max<uint64_t>(std::min<uint64_t>(piece, in_size), 1));
    piece = size_t(std::max<uint64_t>(std::min<uint64_t>(piece, capacity), 1));
    const Piece input = allocate(in_piece), output = allocate(piece);
    InflateState state;
    done.result = input && output ? inflateInit(&state.stream) : Z_MEM_ERROR;
    if (done.result != Z_OK)
        return done;
    state.live = true;
    z_stream& s = state.stream;
    // No room at all still gets a byte to probe the stream with, as in
    // uncompress2; it is never handed on.
    const bool probe = capacity == 0;
    uint64_t room_left = probe ? 1 : capacity;
    uint64_t unread = in_size;
    s.next_out = output.get();
    const auto hand_on = [&] {
        const size_t produced = size_t(s.next_out - output.get());
        s.next_out = output.get();
        if (probe || produced == 0)
            return true;
        done.out += produced;
        return write(output.get(), produced);
    };
    int err = Z_OK;
    do {
        if (s.avail_out == 0) {
            if (!hand_on()) {
                done.write_failed = true;
                return done;
            }
            s.avail_out = uInt(std::min<uint64_t>(room_left, piece));
            room_left -= s.avail_out;
        }
        if (s.avail_in == 0 && unread > 0) {
            const size_t want = size_t(std::min<uint64_t>(unread, in_piece));
            size_t got = 0;
            if (!read(input.get(), want, got)) {
                done.read_failed = true;
                return done;
            }
            unread = got < want ? 0 : unread - got;
            done.in += got;
            s.next_in = input.get();
            s.avail_in = uInt(got);
        }
        err = inflate(&s, Z_NO_FLUSH);
    } while (err == Z_OK);
    done.in -= s.avail_in;
    if (!hand_on()) {
        done.write_failed = true;
        return done;
    }
    if (probe && s.total_out != 0 && err == Z_BUF_ERROR)
        room_left = 1;
    done.result = err == Z_STREAM_END                            ? Z_OK
                  : err == Z_NEED_DICT                           ? Z_DATA_ERROR
                  : err == Z_BUF_ERROR && room_left + s.avail_out ? Z_DATA_ERROR
                                                                  : err;
    return done;
}

// Input with Z_NO_FLUSH until its last piece, then Z_FINISH: deflate's
// output does not depend on how its input is split, so this is the stream
// compress2 makes in one call.
StreamResult deflate_in_pieces(uint64_t in_size, const PieceReader& read, const PieceWriter& write, size_t piece)
{
    StreamResult done;
    piece = std::max<size_t>(piece, 1);
    const Piece input = allocate(piece), output = allocate(piece);
    DeflateState state;
    done.result = input && output ? deflateInit(&state.stream, 9) : Z_MEM_ERROR;
    if (done.result != Z_OK)
        return done;
    state.live = true;
    z_stream& s = state.stream;
    uint64_t unread = in_size;
    bool input_ended = in_size == 0;
    int err = Z_OK;
    do {
        if (s.avail_in == 0 && !input_ended) {
            const size_t want = size_t(std::min<uint64_t>(unread, piece));
            size_t got = 0;
            if (!read(input.get(), want, got)) {
                done.read_failed = true;
                return done;
            }
            unread -= got;
            done.in += got;
            input_ended = got < want || unread == 0;
            s.next_in = input.get();
            s.avail_in = uInt(got);
        }
        s.next_out = output.get();
        s.avail_out = uInt(piece);
        err = deflate(&s, input_ended ? Z_FINISH : Z_NO_FLUSH);
        const size_t produced = piece - s.avail_out;
        if (produced > 0 && !write(output.get(), produced)) {
            done.write_failed = true;
            return done;
        }
        done.out += produced;
    } while (err == Z_OK);
    done.result = err == Z_STREAM_END ? Z_OK : err;
    return done;
}

StreamResult copy_in_pieces(uint64_t in_size, const PieceReader& read, const PieceWriter& write, size_t piece)
{
    StreamResult done;
    piece = size_t(std::max<uint64_t>(std::min<uint64_t>(piece, in_size), 1));
    const Piece buffer = allocate(piece);
    if (!buffer) {
        done.result = Z_MEM_ERROR;
        return done;
    }
    while (done.in < in_size) {
        const size_t want = size_t(std::min<uint64_t>(in_size - done.in, piece));
        size_t got = 0;
        if (!read(buffer.get(), want, got)) {
            done.read_failed = true;
            return done;
        }
        done.in += got;
        if (got > 0 && !write(buffer.get(), got)) {
            done.write_failed = true;
            return done;
        }
        done.out += got;
        if (got < want)
            break;
    }
    done.result = Z_OK;
    return done;
}

}  // namespace tavmerk
