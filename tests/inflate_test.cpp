// The fast inflate path must give exactly what zlib gives: result code,
// length and bytes, for good streams and damaged ones alike.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "archive_builder.h"
#include "tool/inflate.h"

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

void expect_same(const std::string& stream, size_t capacity, const std::string& what)
{
    const Outcome fast = run(tavmerk::inflate_stream, stream, capacity);
    const Outcome zlib = run(tavmerk::inflate_stream_zlib, stream, capacity);
    EXPECT_EQ(fast.result, zlib.result) << what;
    EXPECT_EQ(fast.bytes, zlib.bytes) << what;
}

TEST(Inflate, GoodStreamsAtEveryRoomSize)
{
    const std::string data = test::sample_data(5000, 1, true);
    const std::string stream = test::zlib_compress(data);
    for (size_t capacity : {size_t(0), size_t(1), size_t(4999), size_t(5000), size_t(5001), size_t(20000)})
        expect_same(stream, capacity, "capacity " + std::to_string(capacity));
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
        expect_same(stream, round % 2 ? 800 : 3000, "round " + std::to_string(round));
    }
}

}  // namespace
