#include "checksum/checksum.h"

#include <array>

namespace tavmerk {

namespace {

constexpr std::array<uint32_t, 256> make_crc_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> crc_table = make_crc_table();

}  // namespace

uint32_t Crc32::compute(const uint8_t* data, size_t length) const
{
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i)
        reg = (reg >> 8) ^ crc_table[(reg ^ data[i]) & 0xFF];
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
