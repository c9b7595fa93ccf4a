#include "tool/inflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <climits>
#include <memory>

namespace tavmerk {

namespace {

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// One decompressor per thread, made on first use.
libdeflate_decompressor* thread_decompressor()
{
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    return decompressor.get();
}

}  // namespace

int inflate_stream_zlib(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length)
{
    if (in_size > ULONG_MAX || capacity > ULONG_MAX)
        return Z_BUF_ERROR;
    uLongf out_length = uLongf(capacity);
    const int result = uncompress(out, &out_length, in, uLong(in_size));
    length = out_length;
    return result;
}

int inflate_stream(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length)
{
    if (libdeflate_decompressor* d = thread_decompressor()) {
        size_t used_in = 0;
        size_t produced = 0;
        // Trailing bytes after the stream are allowed, as zlib allows them.
        if (libdeflate_zlib_decompress_ex(d, in, in_size, out, capacity, &used_in, &produced) ==
            LIBDEFLATE_SUCCESS) {
            length = produced;
            return Z_OK;
        }
    }
    return inflate_stream_zlib(in, in_size, out, capacity, length);
}

}  // namespace tavmerk
