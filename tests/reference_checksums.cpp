#include <zlib.h>

#include "tree_files.h"

namespace test {

uint32_t reference_crc32(const uint8_t* data, size_t size)
{
    return uint32_t(crc32(crc32(0, nullptr, 0), data, uInt(size)));
}

uint32_t reference_additive(const uint8_t* data, size_t size)
{
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 4 <= size; i += 4)
        sum += uint32_t(data[i]) | uint32_t(data[i + 1]) << 8 | uint32_t(data[i + 2]) << 16 |
               uint32_t(data[i + 3]) << 24;
    for (; i < size; ++i)
        sum += data[i];
    return sum;
}

}  // namespace test
