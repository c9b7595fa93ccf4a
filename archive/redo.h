// The redo record: what a commit appends after its data before it writes
// a new header and directory (the image) over the old ones at offset 0, so
// that a write there cut short (a power loss, a killed process) can be
// finished by the next run.
//
//   before          the bytes at offset 0 the image replaces, as long as it
//   image           header and directory block, exactly as they are to
//                   stand at offset 0, and the room marker after them
//                   where the directory has room (archive/room.h)
//   trailer, the last 44 bytes of the file:
//     0  16  redo_marker     "TAVMERK-REDO-DR2"
//    16   8  image_size      big-endian; `before` is as long
//    24   4  before_crc      CRC-32 of before
//    28   4  image_crc       CRC-32 of image
//    32   8  record_at       offset of the record's first byte, big-endian
//    40   4  trailer_crc     CRC-32 of bytes 0..39
//
// A commit appends its data and then the record, syncs both at once
// before it writes the image at offset 0, and cuts the record off once
// that is synced.
//
// Bytes a user stores as a file can end exactly like a record, so a record
// is never trusted for what it says alone. What the directory at offset 0
// proves decides (judge_redo_record):
//   - it holds (its header's size fits and its CRC matches): it is in
//     force, whatever the file ends in. A commit writes a directory that
//     holds, and storing content never makes one fail, so no content can
//     take its place. A record whose image or before is exactly what
//     stands at offset 0, and into which no live record points, is the
//     leftover of a commit and may be cut off;
//   - it does not hold: the image is in force only when every byte at
//     offset 0 is the record's before or its image at that place (a write
//     from before to image cut short, and nothing else), the image holds,
//     and the data of every record it changes is on disk below the record.
//     Otherwise the directory at offset 0 is read as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace tavmerk {

constexpr size_t redo_marker_size = 16;
constexpr size_t redo_trailer_size = 44;

// The bytes a record for an image of `image_size` bytes adds to the file.
constexpr uint64_t redo_record_size(uint64_t image_size)
{
    return 2 * image_size + redo_trailer_size;
}

// The record that lets the write of `image` over `before` (as long as the
// image) be finished, to be appended at `record_at`.
std::vector<uint8_t> make_redo_record(const std::vector<uint8_t>& before, const std::vector<uint8_t>& image,
                                      uint64_t record_at);

struct RedoTrailer {
    uint64_t record_at = 0;
    uint64_t image_size = 0;
    uint32_t before_crc = 0;
    uint32_t image_crc = 0;

    uint64_t before_at() const { return record_at; }
    uint64_t image_at() const { return record_at + image_size; }
};

// From the last redo_trailer_size bytes of a file of `file_size` bytes:
// true when they are a trailer whose own CRC holds and whose record fits
// the file exactly, after at least a header.
bool read_redo_trailer(const uint8_t* trailer, uint64_t file_size, RedoTrailer& out);

// True when the `size` bytes from offset 0 at `current` are a header and
// directory block whose size fits and whose CRC holds.
bool directory_holds(const uint8_t* current, uint64_t size);

// True when `image` has the CRC its trailer gives and its header's
// directory size accounts for exactly its length, or for all of it but a
// room marker that holds.
bool redo_image_holds(const uint8_t* image, uint64_t size, uint32_t image_crc);

// True when each of the `size` bytes at `current` is the byte of `before`
// or of `image` at its place: a write of image over before, cut short.
bool torn_between(const uint8_t* current, const uint8_t* before, const uint8_t* image, uint64_t size);

// Copies the `size` bytes of the file at `offset` into `dest`; false when
// the file cannot give them.
using FileReader = std::function<bool(uint64_t offset, uint8_t* dest, size_t size)>;

// True when the data of the records an image changes is on disk: every
// live record whose fields differ from `before` (compared field by field
// where `before` is a whole directory of the image's size whose CRC holds,
// else every live record) has its stored bytes below `data_end` and
// matching its record_checksum. The data is read through `read` in chunks
// of at most 1 MiB.
bool redo_data_holds(const uint8_t* image, uint64_t image_size, const uint8_t* before, uint64_t data_end,
                     const FileReader& read);

// True when a live record of the directory at `directory` (`size` bytes
// from the header on, in a file of `file_size` bytes) has stored bytes at
// or past `offset`; also true when the directory does not walk, since its
// records then cannot be told.
bool live_data_reaches(const uint8_t* directory, uint64_t size, uint64_t file_size, uint64_t offset);

}  // namespace tavmerk
