// The redo record: a copy of a pass's new header and directory (the image)
// appended after the pass's data, so that a directory write cut short at
// offset 0 (a power loss, a killed process) can be done again from it.
//
//   image           header and directory block, exactly as they are to
//                   stand at offset 0
//   trailer, the last 28 bytes of the file:
//     0  16  redo_marker         "TAVMERK-REDO-DIR"
//    16   8  image_size          big-endian
//    24   4  image_crc           CRC-32 of the image, big-endian
//
// A pass writes image and trailer after its data and syncs them before it
// writes the image at offset 0, and cuts them off again once that is synced.
// A file that ends in a trailer whose marker, size and CRC all hold was left
// in between: its directory is the image, and the file ends where the image
// starts. A trailer that does not hold is ordinary data.
#pragma once

#include <cstddef>
#include <cstdint>

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
// directory size accounts for exactly its length.
bool redo_image_holds(const uint8_t* image, uint64_t size, uint32_t image_crc);

// The redo record of a whole file in memory: true, with `image_at` and
// `image_size` set, when the file ends in one that holds.
bool find_redo_record(const uint8_t* file, uint64_t file_size, uint64_t& image_at, uint64_t& image_size);

}  // namespace tavmerk
