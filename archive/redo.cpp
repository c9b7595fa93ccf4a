#include "archive/redo.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "archive/layout.h"
#include "archive/reader.h"
#include "archive/room.h"
#include "checksum/checksum.h"

namespace tavmerk {

namespace {

const char redo_marker[redo_marker_size + 1] = "TAVMERK-REDO-DR2";
constexpr size_t image_size_at = redo_marker_size;
constexpr size_t before_crc_at = image_size_at + 8;
constexpr size_t image_crc_at = before_crc_at + 4;
constexpr size_t record_at_at = image_crc_at + 4;
constexpr size_t trailer_crc_at = record_at_at + 8;
static_assert(trailer_crc_at + 4 == redo_trailer_size, "the trailer's fields fill it");

// A record's fields as a commit rewrites them: sizes, checksum and offset.
constexpr size_t record_fields_size = data_offset_at + 4;
constexpr size_t checksum_chunk = size_t(1) << 20;

void write_be64(uint8_t* at, uint64_t value)
{
    write_be32(at, uint32_t(value >> 32));
    write_be32(at + 4, uint32_t(value));
}

uint64_t read_be64(const uint8_t* at)
{
    return uint64_t(read_be32(at)) << 32 | read_be32(at + 4);
}

uint32_t crc_of(const uint8_t* data, uint64_t size)
{
    return Crc32().compute(data, size_t(size));
}

// True when `directory` is a whole header and directory of the image's
// size whose CRC holds: the records can then be compared field by field.
bool comparable_directory(const uint8_t* directory, uint64_t image_size)
{
    return image_size >= header_size && directory_size(directory) == image_size - header_size &&
           crc_of(directory + directory_block_at, image_size - header_size) == directory_crc(directory);
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

std::vector<uint8_t> make_redo_record(const std::vector<uint8_t>& before, const std::vector<uint8_t>& image,
                                      uint64_t record_at)
{
    std::vector<uint8_t> record;
    record.reserve(size_t(redo_record_size(image.size())));
    record.insert(record.end(), before.begin(), before.end());
    record.resize(image.size(), 0);  // before is as long as the image
    record.insert(record.end(), image.begin(), image.end());
    uint8_t trailer[redo_trailer_size];
    std::memcpy(trailer, redo_marker, redo_marker_size);
    write_be64(trailer + image_size_at, image.size());
    write_be32(trailer + before_crc_at, crc_of(record.data(), image.size()));
    write_be32(trailer + image_crc_at, crc_of(image.data(), image.size()));
    write_be64(trailer + record_at_at, record_at);
    write_be32(trailer + trailer_crc_at, crc_of(trailer, trailer_crc_at));
    record.insert(record.end(), trailer, trailer + redo_trailer_size);
    return record;
}

bool read_redo_trailer(const uint8_t* trailer, uint64_t file_size, RedoTrailer& out)
{
    if (file_size < redo_trailer_size || std::memcmp(trailer, redo_marker, redo_marker_size) != 0 ||
        read_be32(trailer + trailer_crc_at) != crc_of(trailer, trailer_crc_at))
        return false;
    const uint64_t image_size = read_be64(trailer + image_size_at);
    const uint64_t record_at = read_be64(trailer + record_at_at);
    // The record follows at least the directory it replaces, and ends the file.
    if (image_size < header_size || image_size > (file_size - redo_trailer_size) / 2 || record_at < image_size ||
        record_at != file_size - redo_record_size(image_size))
        return false;
    out.record_at = record_at;
    out.image_size = image_size;
    out.before_crc = read_be32(trailer + before_crc_at);
    out.image_crc = read_be32(trailer + image_crc_at);
    return true;
}

bool directory_holds(const uint8_t* current, uint64_t size)
{
    if (size < header_size)
        return false;
    const uint64_t block = directory_size(current);
    return block <= size - header_size && crc_of(current + directory_block_at, block) == directory_crc(current);
}

bool redo_image_holds(const uint8_t* image, uint64_t size, uint32_t image_crc)
{
    if (size < header_size || crc_of(image, size) != image_crc)
        return false;
    const uint32_t block_size = directory_size(image);
    if (size - header_size == block_size)
        return true;
    // A directory with room after it: the image ends in the room's marker.
    return size - header_size == uint64_t(block_size) + room_marker_size &&
           read_room_marker(image + header_size + block_size, block_size) != 0;
}

bool torn_between(const uint8_t* current, const uint8_t* before, const uint8_t* image, uint64_t size)
{
    for (uint64_t i = 0; i < size; ++i)
        if (current[i] != before[i] && current[i] != image[i])
            return false;
    return true;
}

bool redo_data_holds(const uint8_t* image, uint64_t image_size, const uint8_t* before, uint64_t data_end,
                     const FileReader& read)
{
    ArchiveReader reader;
    if (!reader.open(image, image_size, data_end))
        return false;
    const bool compare = comparable_directory(before, header_size + uint64_t(directory_size(image))) &&
                         header_size + uint64_t(directory_size(before)) <= image_size;
    std::vector<uint8_t> chunk;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& entry = records.entry();
        const size_t at = directory_block_at + entry.record_at;
        const bool changed = !compare || std::memcmp(image + at, before + at, record_fields_size) != 0;
        if (entry.live() && changed && !stored_data_holds(entry, data_end, read, chunk))
            return false;
    }
    return true;
}

bool live_data_reaches(const uint8_t* directory, uint64_t size, uint64_t file_size, uint64_t offset)
{
    ArchiveReader reader;
    if (!reader.open(directory, size, file_size))
        return true;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& e = records.entry();
        if (e.live() && uint64_t(e.data_offset) + e.stored_size > offset)
            return true;
    }
    return records.end() != WalkEnd::complete;
}

}  // namespace tavmerk
