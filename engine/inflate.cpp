#include "engine/inflate.h"

#include <zlib.h>

#include <climits>

namespace tavmerk {

int inflate_stream_zlib(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length)
{
    size_t consumed = 0;
    return inflate_stream_zlib(in, in_size, out, capacity, length, consumed);
}

int inflate_stream_zlib(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length,
                        size_t& consumed)
{
    if (in_size > ULONG_MAX || capacity > ULONG_MAX)
        return Z_BUF_ERROR;
    uLongf out_length = uLongf(capacity);
    uLong in_length = uLong(in_size);
    const int result = uncompress2(out, &out_length, in, &in_length);
    length = out_length;
    consumed = in_length;
    return result;
}

int inflate_stream(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length)
{
    if (fast_inflate(in, in_size, out, capacity, length))
        return Z_OK;
    return inflate_stream_zlib(in, in_size, out, capacity, length);
}

}  // namespace tavmerk
