#include "archive/redo.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/layout.h"
#include "archive/reader.h"
#include "archive/room.h"
#include "checksum/checksum.h"

namespace tavmerk {

namespace {

const char redo_marker[redo_marker_size + 1] = "TAVMERK-REDO-DIR";
constexpr size_t image_size_at = redo_marker_size;
constexpr size_t image_crc_at = image_size_at + 8;

// A record's fields as a pass rewrites them: sizes, checksum and offset.
constexpr size_t record_fields_size = data_offset_at + 4;
constexpr size_t checksum_chunk = size_t(1) << 20;

// True when `directory` is a whole header and directory of the image's
// size whose CRC holds: the records can then be compared field by field.
bool comparable_directory(const uint8_t* directory, uint64_t size, uint64_t image_size)
{
    if (size < image_size || image_size < header_size || directory_size(directory) != image_size - header_size)
        return false;
    const size_t block_size = size_t(image_size - header_size);
    return Crc32().compute(directory + directory_block_at, block_size) == directory_crc(directory);
}

// True when the entry's stored bytes lie below `data_end` and sum to its
// checksum. The additive checksum is a sum of words, so chunks that are
// multiples of 4 bytes long sum to the whole.
bool stored_data_holds(const FileEntry& entry, uint64_t data_end, const FileReader& read,
                       std::vector<uint8_t>& chunk)
{
    if (uint64_t(entry.data_offset) + entry.stored_size > data_end)
        return false;
    uint32_t sum = 0;
    for (uint64_t done = 0; done < entry.stored_size;) {
        const size_t size = size_t(std::min<uint64_t>(checksum_chunk, entry.stored_size - done));
        chunk.resize(std::max(chunk.size(), size));
        if (!read(entry.data_offset + done, chunk.data(), size))
            return false;
        sum += additive_checksum(chunk.data(), size);
        done += size;
    }
    return sum == entry.checksum;
}

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
    if (size < header_size || Crc32().compute(image, size_t(size)) != image_crc)
        return false;
    const uint32_t block_size = directory_size(image);
    if (size - header_size == block_size)
        return true;
    // A directory with room after it: the image ends in the room's marker.
    return size - header_size == uint64_t(block_size) + room_marker_size &&
           read_room_marker(image + header_size + block_size, block_size) != 0;
}

bool find_redo_record(const uint8_t* file, uint64_t file_size, uint64_t& image_at, uint64_t& image_size)
{
    uint32_t crc = 0;
    return file_size >= redo_trailer_size &&
           read_redo_trailer(file + (file_size - redo_trailer_size), file_size, image_at, image_size, crc) &&
           redo_image_holds(file + image_at, image_size, crc);
}

bool redo_data_holds(const uint8_t* image, uint64_t image_size, const uint8_t* current, uint64_t current_size,
                     uint64_t data_end, const FileReader& read)
{
    ArchiveReader reader;
    if (!reader.open(image, image_size, data_end))
        return false;
    const bool compare =
        comparable_directory(current, current_size, header_size + uint64_t(directory_size(image)));
    std::vector<uint8_t> chunk;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& entry = records.entry();
        const size_t at = directory_block_at + entry.record_at;
        const bool changed = !compare || std::memcmp(image + at, current + at, record_fields_size) != 0;
        if (entry.live() && changed && !stored_data_holds(entry, data_end, read, chunk))
            return false;
    }
    return true;
}

}  // namespace tavmerk
