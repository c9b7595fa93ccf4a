// The redo record: a copy of a pass's new header and directory (the image)
// appended after the pass's data, so that a directory write cut short at
// offset 0 (a power loss, a killed process) can be done again from it.
//
//   image           header and directory block, exactly as they are to
//                   stand at offset 0, and the room marker after them
//                   where the directory has room (archive/room.h)
//   trailer, the last 28 bytes of the file:
//     0  16  redo_marker         "TAVMERK-REDO-DIR"
//    16   8  image_size          big-endian
//    24   4  image_crc           CRC-32 of the image, big-endian
//
// A pass syncs its data, then writes image and trailer after it and syncs
// them before it writes the image at offset 0, and cuts them off again once
// that is synced. A file that ends in a trailer whose marker, size and CRC
// all hold, and whose image's changed records find their data on disk
// (redo_data_holds), was left in between: its directory is the image, and
// the file ends where the image starts. A trailer that does not hold is
// ordinary data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tavmerk {

constexpr size_t redo_marker_size = 16;
constexpr size_t redo_trailer_size = redo_marker_size + 8 + 4;

// Writes the trailer for the `size` bytes of `image` into `trailer`
// (redo_trailer_size bytes).
void make_redo_trailer(const uint8_t* image, size_t size, uint8_t* trailer);

// From the last redo_trailer_size bytes of a file of `file_size` bytes:
// true when they carry the marker and an image size that fits before them
// and can hold a header, with `image_at`, `image_size` and `image_crc` set.
// The image itself still has to pass redo_image_holds.
bool read_redo_trailer(const uint8_t* trailer, uint64_t file_size, uint64_t& image_at, uint64_t& image_size,
                       uint32_t& image_crc);

// True when `image` has the CRC its trailer gives and its header's
// directory size accounts for exactly its length, or for all of it but a
// room marker that holds.
bool redo_image_holds(const uint8_t* image, uint64_t size, uint32_t image_crc);

// The redo record of a whole file in memory: true, with `image_at` and
// `image_size` set, when the file ends in one that holds.
bool find_redo_record(const uint8_t* file, uint64_t file_size, uint64_t& image_at, uint64_t& image_size);

// Copies the `size` bytes of the file at `offset` into `dest`; false when
// the file cannot give them.
using FileReader = std::function<bool(uint64_t offset, uint8_t* dest, size_t size)>;

// True when the data of the records an image changes is on disk: every
// live record whose fields differ from `current` (the header and directory
// at offset 0, `current_size` bytes of it at hand) has its stored bytes
// below `data_end` and matching its record_checksum. When `current` does
// not hold (short, another size than the image's, or a CRC that fails: a
// directory write cut short), every live record of the image is checked.
// The data is read through `read` in chunks of at most 1 MiB.
bool redo_data_holds(const uint8_t* image, uint64_t image_size, const uint8_t* current, uint64_t current_size,
                     uint64_t data_end, const FileReader& read);

}  // namespace tavmerk
