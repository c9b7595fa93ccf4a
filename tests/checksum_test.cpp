// The two checksums against their worked examples and against zlib.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "archive_builder.h"
#include "checksum/checksum.h"

namespace {

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(AdditiveChecksum, WorkedExamples)
{
    struct Case {
        std::string data;
        uint32_t sum;
    } cases[] = {
        {"", 0},
        {"abc", 0x126},                            // tail bytes added singly
        {"abcd", 0x64636261},                      // one little-endian word
        {"abcde", 0x646362C6},                     // word plus tail
        {std::string("\xFF\xFF\xFF\xFF\x01", 5), 0},  // wraps modulo 2^32
        {std::string("\xFF", 1), 255},             // unsigned tail byte
        {std::string("\x00\x00\x00\x80\xFF\xFF", 6), 0x800001FE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tavmerk::additive_checksum(bytes(c.data), c.data.size()), c.sum) << c.data.size();
}

TEST(AdditiveChecksum, MatchesReferenceAtEveryAlignment)
{
    const std::string data = test::sample_data(4099, 7, false);
    for (size_t start = 0; start < 4; ++start)
        for (size_t length : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(4), size_t(5), size_t(4095)}) {
            const std::string part = data.substr(start, length);
            EXPECT_EQ(tavmerk::additive_checksum(bytes(data) + start, length), test::reference_additive(part));
        }
    // In pieces: every split of a word between pieces, and empty pieces.
    for (size_t piece : {size_t(1), size_t(3), size_t(5), size_t(4096)}) {
        tavmerk::AdditiveChecksum sum;
        for (size_t at = 0; at < data.size(); at += piece) {
            sum.add(bytes(data) + at, 0);
            sum.add(bytes(data) + at, std::min(piece, data.size() - at));
        }
        EXPECT_EQ(sum.value(), test::reference_additive(data)) << piece;
    }
}

TEST(Crc32, EqualsZlibCrc32)
{
    const tavmerk::Crc32 crc;
    EXPECT_EQ(crc.compute(nullptr, 0), 0u);
    EXPECT_EQ(crc.compute(bytes("123456789"), 9), 0xCBF43926u);  // the standard check value
    for (size_t size : {1, 3, 255, 256, 1000, 65537}) {
        const std::string data = test::sample_data(size, uint32_t(size), false);
        EXPECT_EQ(crc.compute(bytes(data), size), test::reference_crc32(bytes(data), size)) << size;
    }
}

}  // namespace
