#include "archive/room.h"

#include <cstring>

#include "archive/layout.h"
#include "archive/reader.h"
#include "checksum/checksum.h"

namespace tavmerk {

namespace {

const char room_marker[16 + 1] = "TAVMERK-DIR-ROOM";
constexpr size_t room_end_at = 16;
constexpr size_t for_directory_size_at = 20;
constexpr size_t marker_crc_at = 24;

}  // namespace

void make_room_marker(uint32_t directory_size, uint64_t room_end, uint8_t* marker)
{
    std::memcpy(marker, room_marker, 16);
    write_be32(marker + room_end_at, uint32_t(room_end));
    write_be32(marker + for_directory_size_at, directory_size);
    write_be32(marker + marker_crc_at, Crc32().compute(marker, marker_crc_at));
}

uint64_t read_room_marker(const uint8_t* marker, uint32_t directory_size)
{
    if (std::memcmp(marker, room_marker, 16) != 0 || read_be32(marker + for_directory_size_at) != directory_size ||
        read_be32(marker + marker_crc_at) != Crc32().compute(marker, marker_crc_at))
        return 0;
    const uint64_t end = read_be32(marker + room_end_at);
    const uint64_t marker_end = uint64_t(header_size) + directory_size + room_marker_size;
    return end >= marker_end ? end : 0;
}

uint64_t room_end(const ArchiveReader& reader, const uint8_t* marker)
{
    if (!marker)
        return 0;
    const uint64_t start = header_size + uint64_t(reader.block_size());
    const uint64_t end = read_room_marker(marker, uint32_t(reader.block_size()));
    if (end == 0 || end > reader.file_size())
        return 0;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& e = records.entry();
        if (e.live() && e.stored_size > 0 && e.data_offset < end && uint64_t(e.data_offset) + e.stored_size > start)
            return 0;
    }
    return end;
}

const uint8_t* marker_after_directory(const uint8_t* header, uint64_t size)
{
    if (size < header_size)
        return nullptr;
    const uint64_t at = header_size + uint64_t(directory_size(header));
    return at + room_marker_size <= size ? header + at : nullptr;
}

}  // namespace tavmerk
