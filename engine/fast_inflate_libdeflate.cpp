// The fast inflate path, through libdeflate's zlib decoder.
#include <libdeflate.h>

#include <memory>

#include "engine/inflate.h"

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

bool fast_inflate(const uint8_t* in, size_t in_size, uint8_t* out, size_t capacity, size_t& length)
{
    libdeflate_decompressor* d = thread_decompressor();
    if (!d)
        return false;
    size_t used_in = 0;
    // Trailing bytes after the stream are allowed, as zlib allows them.
    return libdeflate_zlib_decompress_ex(d, in, in_size, out, capacity, &used_in, &length) == LIBDEFLATE_SUCCESS;
}

}  // namespace tavmerk
