// The history of an archive: the directories earlier commits replaced,
// each kept in a version block appended with the commit's data, reached
// from an anchor in the room after the directory in force.
//
// The anchor stands right after the room marker (archive/room.h), inside
// the room, written with the directory as part of its image:
//     0  16  anchor_magic       "TAVMERK-VERSIONS"
//    16   4  for_image_size     size of the header and directory it follows
//    20   4  for_image_crc      CRC-32 of that header and directory
//    24   4  block_offset       the newest version block
//    28   4  block_size
//    32   4  block_crc          CRC-32 of the whole block
//    36   4  version            the id of the version in force
//    40   4  anchor_crc         CRC-32 of bytes 0..39
//
// A version block describes the version its commit made and carries the
// image of the one before (header and directory block, zlib):
//     0  16  block_magic        "TAVMERK-VERSION1"
//    16   4  version            id of the version this commit made
//    20   8  time               UTC seconds of the commit
//    28   8  previous_time      UTC seconds of the version before, as known
//    36   4  files              live files of this version
//    40   4  previous_files     live files of the version before
//    44   4  added, 48 changed, 52 removed: against the version before
//    56   4  previous_offset    the block of the version before (0: none)
//    60   4  previous_size
//    64   4  previous_crc
//    68   4  flags              block_flag_* below
//    72   4  image_stored       bytes of zlib stream (0: dropped by compact)
//    76   4  image_size         bytes of the image inflated
//    80   4  image_crc          CRC-32 of the image inflated
//    84   4  summary_size
//    88   n  summary            one line of what made the commit
//        m  image stream, to the block's end
// The block's CRC is kept by whoever points at it (the anchor, the next
// block), so a block is whole or is not read.
//
// Nothing a user stores can be taken for any of it: file content lies
// only where records point, and the anchor counts only inside a room that
// no live record's data reaches, bound by CRC to the very header and
// directory it follows; every block is reached from there through CRCs
// over its whole bytes, and lies where no live record points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavmerk {

constexpr size_t history_anchor_size = 44;
constexpr size_t version_block_fixed_size = 88;

enum : uint32_t {
    block_flag_after_repack = 1,   // the version before was written by a repack: older history ended there
    block_flag_after_damage = 2,   // older history could not be read when this commit was made
    block_flag_first_known = 4,    // previous_time / previous_files describe version id - 1 as first recorded
};

struct BlockRef {
    uint32_t offset = 0;
    uint32_t size = 0;
    uint32_t crc = 0;
    bool empty() const { return offset == 0; }
};

struct HistoryAnchor {
    uint32_t for_image_size = 0;
    uint32_t for_image_crc = 0;
    BlockRef newest;
    uint32_t version = 0;
};

// Writes `anchor` into `out` (history_anchor_size bytes).
void make_history_anchor(const HistoryAnchor& anchor, uint8_t* out);

// The anchor in the history_anchor_size bytes at `bytes` when its magic
// and CRC hold (binding is the caller's to check).
bool read_history_anchor(const uint8_t* bytes, HistoryAnchor& anchor);

struct VersionBlock {
    uint32_t version = 0;
    uint64_t time = 0;
    uint64_t previous_time = 0;
    uint32_t files = 0;
    uint32_t previous_files = 0;
    uint32_t added = 0;
    uint32_t changed = 0;
    uint32_t removed = 0;
    BlockRef previous;
    uint32_t flags = 0;
    uint32_t image_stored = 0;
    uint32_t image_size = 0;
    uint32_t image_crc = 0;
    std::string summary;
    // Where the image stream starts within the block (read only).
    size_t image_at = 0;
};

// The fixed part and summary of a block, followed by the image stream of
// `block.image_stored` bytes the caller appends.
std::string make_version_block_head(const VersionBlock& block);

// Reads the block in `size` bytes at `bytes`; false when it does not fit
// them or its fields disagree (the caller checked the CRC).
bool read_version_block(const uint8_t* bytes, size_t size, VersionBlock& block);

// Summaries are one line: control bytes become spaces, and at most this
// many bytes are kept.
constexpr size_t summary_limit = 200;
std::string summary_line(const std::string& text);

}  // namespace tavmerk
