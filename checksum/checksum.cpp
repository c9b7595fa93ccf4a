#include "checksum/checksum.h"

#include <array>

namespace tavmerk {

namespace {

using CrcTable = std::array<uint32_t, 256>;

constexpr CrcTable make_crc_table()
{
    CrcTable table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

// Eight bytes a step (slicing by eight): table k holds the CRC of a byte
// followed by k zero bytes, so that eight lookups stand for eight steps of
// the byte-wise loop. Directories of millions of bytes are checked several
// times a commit.
constexpr std::array<CrcTable, 8> make_crc_tables()
{
    std::array<CrcTable, 8> tables{};
    tables[0] = make_crc_table();
    for (size_t k = 1; k < 8; ++k)
        for (uint32_t n = 0; n < 256; ++n)
            tables[k][n] = (tables[k - 1][n] >> 8) ^ tables[0][tables[k - 1][n] & 0xFF];
    return tables;
}

constexpr std::array<CrcTable, 8> crc_tables = make_crc_tables();

uint32_t little_endian_word(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

uint32_t Crc32::compute(const uint8_t* data, size_t length) const
{
    const auto& t = crc_tables;
    uint32_t reg = 0xFFFFFFFFu;
    for (; length >= 8; data += 8, length -= 8) {
        const uint32_t one = reg ^ little_endian_word(data);
        const uint32_t two = little_endian_word(data + 4);
        reg = t[7][one & 0xFF] ^ t[6][(one >> 8) & 0xFF] ^ t[5][(one >> 16) & 0xFF] ^ t[4][one >> 24] ^
              t[3][two & 0xFF] ^ t[2][(two >> 8) & 0xFF] ^ t[1][(two >> 16) & 0xFF] ^ t[0][two >> 24];
    }
    for (size_t i = 0; i < length; ++i)
        reg = (reg >> 8) ^ t[0][(reg ^ data[i]) & 0xFF];
    return reg ^ 0xFFFFFFFFu;
}

uint32_t additive_checksum(const uint8_t* data, size_t length)
{
    uint32_t sum = 0;
    const size_t words = length / 4;
    // Words are little-endian whatever the host; assembling them from bytes
    // keeps the loop free of alignment and byte-order assumptions.
    for (size_t i = 0; i < words; ++i) {
        const uint8_t* p = data + i * 4;
        sum += uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    for (size_t i = words * 4; i < length; ++i)
        sum += data[i];
    return sum;
}

void AdditiveChecksum::add(const uint8_t* data, size_t length)
{
    while (pending_size_ > 0 && pending_size_ < 4 && length > 0) {
        pending_[pending_size_++] = *data++;
        --length;
    }
    if (pending_size_ == 4) {
        sum_ += additive_checksum(pending_, 4);
        pending_size_ = 0;
    }
    const size_t whole = length / 4 * 4;
    sum_ += additive_checksum(data, whole);
    for (size_t i = whole; i < length; ++i)
        pending_[pending_size_++] = data[i];
}

uint32_t AdditiveChecksum::value() const
{
    return sum_ + additive_checksum(pending_, pending_size_);
}

}  // namespace tavmerk
