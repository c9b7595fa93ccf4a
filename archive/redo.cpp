#include "archive/redo.h"

#include <cstring>

#include "archive/layout.h"
#include "checksum/checksum.h"

namespace tavmerk {

namespace {

const char redo_marker[redo_marker_size + 1] = "TAVMERK-REDO-DIR";
constexpr size_t image_size_at = redo_marker_size;
constexpr size_t image_crc_at = image_size_at + 8;

}  // namespace

void make_redo_trailer(const uint8_t* image, size_t size, uint8_t* trailer)
{
    std::memcpy(trailer, redo_marker, redo_marker_size);
    write_be32(trailer + image_size_at, uint32_t(uint64_t(size) >> 32));
    write_be32(trailer + image_size_at + 4, uint32_t(size));
    write_be32(trailer + image_crc_at, Crc32().compute(image, size));
}

bool read_redo_trailer(const uint8_t* trailer, uint64_t file_size, uint64_t& image_at, uint64_t& image_size,
                       uint32_t& image_crc)
{
    if (file_size < redo_trailer_size || std::memcmp(trailer, redo_marker, redo_marker_size) != 0)
        return false;
    const uint64_t size = uint64_t(read_be32(trailer + image_size_at)) << 32 | read_be32(trailer + image_size_at + 4);
    if (size < header_size || size > file_size - redo_trailer_size)
        return false;
    image_at = file_size - redo_trailer_size - size;
    image_size = size;
    image_crc = read_be32(trailer + image_crc_at);
    return true;
}

bool redo_image_holds(const uint8_t* image, uint64_t size, uint32_t image_crc)
{
    return size >= header_size && size - header_size == directory_size(image) &&
           Crc32().compute(image, size_t(size)) == image_crc;
}

bool find_redo_record(const uint8_t* file, uint64_t file_size, uint64_t& image_at, uint64_t& image_size)
{
    uint32_t crc = 0;
    return file_size >= redo_trailer_size &&
           read_redo_trailer(file + (file_size - redo_trailer_size), file_size, image_at, image_size, crc) &&
           redo_image_holds(file + image_at, image_size, crc);
}

}  // namespace tavmerk
