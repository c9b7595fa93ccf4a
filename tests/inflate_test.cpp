// The fast inflate path must give exactly what zlib gives (result code,
// length and bytes) for good streams and damaged ones alike, but for the
// few malformed streams the fast decoder accepts. So must inflating in
// pieces, with no exception; deflating in pieces gives compress2's stream.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>

#include "archive_builder.h"
#include "engine/inflate.h"
#include "engine/inflate_index.h"
#include "engine/zstream.h"

namespace {

struct Outcome {
    int result;
    std::string bytes;
    bool operator==(const Outcome& o) const { return result == o.result && bytes == o.bytes; }
};

Outcome run(int (*inflate)(const uint8_t*, size_t, uint8_t*, size_t, size_t&), const std::string& stream,
            size_t capacity)
{
    std::string out(capacity + 1, '\x5A');
    size_t length = 0;
    const int result = inflate(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(),
                               reinterpret_cast<uint8_t*>(out.data()), capacity, length);
    out.resize(length);
    return {result, out};
}

// Inflated `piece` bytes at a time, as zlib's one-shot call would: its
// outcome, and the stream bytes used.
Outcome run_in_pieces(const std::string& stream, size_t capacity, size_t piece, uint64_t& used)
{
    size_t at = 0;
    std::string out;
    const tavmerk::StreamResult r = tavmerk::inflate_in_pieces(
        stream.size(), capacity,
        [&](uint8_t* dest, size_t size, size_t& got) {
            got = std::min(size, stream.size() - at);
            std::copy_n(stream.data() + at, got, dest);
            at += got;
            return true;
        },
        [&](const uint8_t* data, size_t size) {
            EXPECT_LE(size, piece);
            out.append(reinterpret_cast<const char*>(data), size);
            return true;
        },
        piece);
    EXPECT_EQ(r.out, out.size());
    used = r.in;
    return {r.result, out};
}

void expect_same(const std::string& stream, size_t capacity, const std::string& what, size_t piece = 7)
{
    const Outcome fast = run(tavmerk::inflate_stream, stream, capacity);
    const Outcome zlib = run(tavmerk::inflate_stream_zlib, stream, capacity);
    EXPECT_EQ(fast.result, zlib.result) << what;
    EXPECT_EQ(fast.bytes, zlib.bytes) << what;
    uint64_t used = 0;
    EXPECT_EQ(run_in_pieces(stream, capacity, piece, used), zlib) << what << ", in pieces of " << piece;
    std::string out(capacity + 1, '\0');
    size_t length = 0, consumed = 0;
    tavmerk::inflate_stream_zlib(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(),
                                 reinterpret_cast<uint8_t*>(out.data()), capacity, length, consumed);
    EXPECT_EQ(used, consumed) << what;
}

TEST(Inflate, GoodStreamsAtEveryRoomSize)
{
    const std::string data = test::sample_data(5000, 1, true);
    const std::string stream = test::zlib_compress(data);
    for (size_t capacity : {size_t(0), size_t(1), size_t(4999), size_t(5000), size_t(5001), size_t(20000)})
        for (size_t piece : {size_t(1), size_t(100), size_t(5000), size_t(65536)})
            expect_same(stream, capacity, "capacity " + std::to_string(capacity), piece);
    expect_same(stream + "trailing bytes", 5000, "trailing");
    expect_same(test::zlib_compress(""), 0, "empty");
    EXPECT_EQ(run(tavmerk::inflate_stream, stream, 5000), (Outcome{Z_OK, data}));
}

TEST(Inflate, DamagedStreamsGiveZlibsResults)
{
    std::mt19937 rng(99);
    const std::string data = test::sample_data(3000, 2, true);
    const std::string binary = test::sample_data(800, 3, false);
    const std::string streams[] = {test::zlib_compress(data), test::zlib_compress(binary)};
    for (int round = 0; round < 4000; ++round) {
        std::string stream = streams[round % 2];
        if (round % 5 == 0) {
            stream.resize(rng() % stream.size());
        } else {
            for (int i = 0, n = 1 + int(rng() % 3); i < n; ++i)
                stream[rng() % stream.size()] ^= char(1u << (rng() % 8));
        }
        expect_same(stream, round % 2 ? 800 : 3000, "round " + std::to_string(round), 1 + rng() % 600);
    }
}

}  // namespace

namespace {

// A fixed block with length symbol 286, which zlib rejects and libdeflate
// reads as a match of 258: with a right Adler-32 the fast path gives its
// bytes where zlib gives Z_DATA_ERROR.
TEST(Inflate, MalformedStreamsTheFastDecoderAccepts)
{
    const std::string expected(259, 'a');
    std::string stream("\x78\x01\x4b\x1c\x03\x00", 6);
    const uLong check = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(expected.data()), uInt(expected.size()));
    for (int shift = 24; shift >= 0; shift -= 8)
        stream.push_back(char(check >> shift));
    EXPECT_EQ(run(tavmerk::inflate_stream_zlib, stream, 300).result, Z_DATA_ERROR);
    size_t length = 0;
    uint8_t probe[1];
    const std::string good = test::zlib_compress("x");
    if (!tavmerk::fast_inflate(reinterpret_cast<const uint8_t*>(good.data()), good.size(), probe, 1, length))
        GTEST_SKIP() << "no fast decoder in this build";
    EXPECT_EQ(run(tavmerk::inflate_stream, stream, 300), (Outcome{Z_OK, expected}));
}

}  // namespace

namespace {

// Deflated a piece at a time from a reader that may end early (a source
// that shrank): compress2's level-9 stream of what was read, for inputs of
// many pieces, compressible or not, and sizes on and off piece boundaries.
TEST(Deflate, InPiecesGivesCompress2sStream)
{
    const std::string text = test::sample_data(1 << 20, 4, true);
    const std::string noise = test::sample_data((1 << 20) + 3, 5, false);
    struct Case {
        const std::string& data;
        size_t size, piece, readable;
    } cases[] = {
        {text, text.size(), 16384, text.size()}, {text, 500000, 1000, 500000},
        {noise, noise.size(), 4096, noise.size()}, {noise, noise.size(), 65536, 65536 * 3},
        {text, text.size(), 65536, 100000}, {text, 0, 64, 0}, {text, 1, 64, 1},
    };
    for (const Case& c : cases) {
        size_t at = 0;
        std::string stream;
        const tavmerk::StreamResult r = tavmerk::deflate_in_pieces(
            c.size,
            [&](uint8_t* dest, size_t size, size_t& got) {
                got = std::min(size, c.readable - at);
                std::copy_n(c.data.data() + at, got, dest);
                at += got;
                return true;
            },
            [&](const uint8_t* data, size_t size) {
                stream.append(reinterpret_cast<const char*>(data), size);
                return true;
            },
            c.piece);
        const std::string read = c.data.substr(0, std::min(c.size, c.readable));
        EXPECT_EQ(r.result, Z_OK);
        EXPECT_EQ(r.in, read.size());
        EXPECT_EQ(r.out, stream.size());
        EXPECT_TRUE(stream == test::zlib_compress(read)) << c.size << " bytes in pieces of " << c.piece;
    }
}

// Every span of a stream through checkpoints, last span first (so that the
// index is built by the first call and used by the others), against the
// data itself; and a damaged stream fails where the damage is.
TEST(InflateIndex, EverySpanInAnyOrderEqualsTheData)
{
    std::string mixed = test::sample_data(300000, 5, true) + test::sample_data(200000, 6, false);
    const struct {
        const char* what;
        std::string data;
    } rows[] = {
        {"text", test::sample_data(1000000, 3, true)},
        {"incompressible (stored blocks)", test::sample_data(700000, 4, false)},
        {"mixed", mixed + mixed},
    };
    for (const auto& row : rows) {
        const std::string stream = test::zlib_compress(row.data);
        const auto read = [&](uint64_t at, uint8_t* dest, size_t n) {
            if (at + n > stream.size())
                return false;
            std::copy_n(stream.data() + at, n, dest);
            return true;
        };
        constexpr size_t span = 65536;
        tavmerk::InflateIndex index(stream.size(), row.data.size(), span);
        for (uint64_t k = index.spans(); k-- > 0;) {
            std::string got(span, '\0');
            size_t length = 0;
            ASSERT_TRUE(index.inflate_span(read, k, reinterpret_cast<uint8_t*>(got.data()), length)) << row.what << k;
            got.resize(length);
            EXPECT_EQ(got, row.data.substr(k * span, span)) << row.what << " span " << k;
        }
        std::string damaged = stream;
        damaged[damaged.size() / 2] ^= 0x55;
        tavmerk::InflateIndex broken(damaged.size(), row.data.size(), span);
        std::string out(span, '\0');
        size_t length = 0;
        const auto read_damaged = [&](uint64_t at, uint8_t* dest, size_t n) {
            std::copy_n(damaged.data() + at, std::min<size_t>(n, damaged.size() - at), dest);
            return at + n <= damaged.size();
        };
        EXPECT_FALSE(broken.inflate_span(read_damaged, index.spans() - 1, reinterpret_cast<uint8_t*>(out.data()),
                                         length))
            << row.what;
    }
}

}  // namespace
