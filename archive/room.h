// Room for the directory to grow: free bytes between the end of the
// directory block and the first file data, kept so that a commit whose
// directory grows writes it in place instead of rewriting the archive.
//
// The room begins with a marker, right at the end of the directory block
// (offset 40 + directory_size):
//     0  16  room_marker         "TAVMERK-DIR-ROOM"
//    16   4  room_end            absolute offset of the first byte after the room
//    20   4  for_directory_size  the directory_size the marker was written for
//    24   4  marker_crc          CRC-32 of bytes 0..23
// Readers of the format ignore it: no record points at it. A marker counts
// only when all of it holds and no live record's data lies in the room, so
// that data which happens to look like one is never taken for room. The
// marker is written with the directory, as part of its image (the redo
// record's image then ends in it).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavmerk {

constexpr size_t room_marker_size = 28;

// Room reserved when an archive is rewritten to make room: the directory's
// own size again, and at least this.
constexpr uint64_t least_reserved_room = uint64_t(64) << 10;

// Writes the marker for a directory of `directory_size` bytes whose room
// ends at `room_end` into `marker` (room_marker_size bytes).
void make_room_marker(uint32_t directory_size, uint64_t room_end, uint8_t* marker);

// From the room_marker_size bytes at the end of a directory block of
// `directory_size` bytes: the room's end when they are a marker that holds
// for it (the live records' data still has to be checked), else 0.
uint64_t read_room_marker(const uint8_t* marker, uint32_t directory_size);

class ArchiveReader;

// The end of the room after `reader`'s directory, whose room_marker_size
// bytes after the block are `marker` (null where the file has none): 0
// when there is no marker that holds, or the room would reach past the
// file or hold live records' data.
uint64_t room_end(const ArchiveReader& reader, const uint8_t* marker);

// The marker bytes after the directory in the `size` bytes from the header
// on at `header`, or null where they do not fit.
const uint8_t* marker_after_directory(const uint8_t* header, uint64_t size);

}  // namespace tavmerk
