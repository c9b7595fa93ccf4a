// Versions: every commit made through a transaction with a note keeps
// the directory it replaced in a version block (archive/history.h), so
// that each earlier version can be read, compared and made current again
// while its data is still in the file (the data of a commit is appended,
// and bytes an earlier directory points at are never written over; only
// compaction drops them).
//
// Reading follows the anchor in the room after the directory in force,
// then each block's link to the one before; a link that does not hold
// ends the history there ("damaged before"), and nothing read ever
// changes the version in force.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/history.h"
#include "archive/reader.h"
#include "platform/platform.h"

namespace tavmerk {

class Transaction;

// What a commit says of itself: one line, kept in its version block.
struct VersionNote {
    std::string summary;
};

// Reads `size` bytes of the archive at `offset` into `dest`.
using ReadAt = std::function<bool(uint64_t offset, uint8_t* dest, size_t size)>;

enum class HistoryEnd {
    complete,   // the oldest version is the archive as first recorded
    repack,     // a repack wrote the oldest version listed: older history ended there
    damaged,    // the next older block could not be read
};

struct VersionInfo {
    uint32_t version = 0;
    uint64_t time = 0;
    bool time_known = false;
    uint32_t files = 0;
    uint32_t added = 0;
    uint32_t changed = 0;
    uint32_t removed = 0;
    bool counts_known = false;  // added/changed/removed against the version before
    std::string summary;
    bool data_kept = true;
    // The block whose image is this version's directory (empty for the
    // version in force, whose directory is the archive's own).
    BlockRef image_block;
};

struct History {
    std::vector<VersionInfo> versions;  // newest first; versions[0] is in force
    HistoryEnd end = HistoryEnd::complete;
    uint32_t damaged_before = 0;  // with HistoryEnd::damaged: the oldest version listed
    bool anchored = false;        // the directory in force has an anchor that holds
    BlockRef newest;              // the anchor's block, where anchored
    uint64_t history_bytes = 0;   // bytes of every block read
};

// The archive as a reader of its history sees it: the header and directory
// in force (`reader`, over the committed image), the bytes that follow the
// directory where they were read with it, and the file.
struct HistorySource {
    const ArchiveReader* reader = nullptr;
    uint64_t data_end = 0;  // where the archive's data ends (its size without a leftover record)
    ReadAt read_at;
};

// The whole history, newest first. `limit` stops after that many versions
// (0: all).
History read_history(const HistorySource& source, size_t limit = 0);

// The header and directory of `version` into `image`: the archive's own
// for the version in force. False, with `why` ("unknown", "dropped",
// "damaged"), when it cannot be had.
bool read_version_image(const HistorySource& source, const History& history, uint32_t version,
                        const std::vector<uint8_t>& current_image, std::vector<uint8_t>& image, std::string& why);

// A version as written on a command line: "K" (an id) or "~K" (K commits
// before the version in force). False when it is neither or names no
// version of `history`.
bool is_version_text(const std::string& text);
bool resolve_version(const std::string& text, const History& history, uint32_t& version);

// The history size needed after the directory for the anchor, on top of
// the room marker.
constexpr uint64_t history_room() { return history_anchor_size; }

// The block `ref` leads to, read whole and checked by its CRC into
// `bytes` and `block` (for a block read_history listed).
bool read_block_at(const HistorySource& source, const BlockRef& ref, std::vector<uint8_t>& bytes, VersionBlock& block);

// The image `block` (read into `bytes`) carries, inflated and checked by
// its CRC; false where it was dropped or does not hold, or claims more
// than a directory of an archive whose data ends at `data_end` could be.
bool inflate_block_image(const VersionBlock& block, const std::vector<uint8_t>& bytes, uint64_t data_end,
                         std::vector<uint8_t>& image);

// The bytes of `block` carrying `image` (`size` bytes, compressed here;
// none: the block keeps only its metadata), its image fields set.
bool make_version_block(VersionBlock& block, const uint8_t* image, size_t size, std::vector<uint8_t>& bytes);

// Makes `image` (header and directory, with whatever followed them cut
// off) end in the room marker, room ending at `room_end`, and the anchor
// bound to it pointing at `newest`, `version` being in force.
void anchor_image(std::vector<uint8_t>& image, uint64_t room_end, const BlockRef& newest, uint32_t version);

// The block a commit over the archive whose history is `old` (the
// version in force listed first) makes, but for its image: id, times,
// link to the newest block, flags, and the counts from `before`'s
// directory to `after`'s.
VersionBlock next_version_block(const History& old, const platform::UpdateFile& file, const ArchiveReader& before,
                                const ArchiveReader& after, const VersionNote& note);

// Records a version on `tx`'s commit of `image`: appends the block that
// keeps the directory being replaced, and writes the room marker (room
// ending at `room_end`) and the anchor after the directory in `image`.
// False when they do not fit before `room_end` (nothing appended) or the
// append failed (tx.error()).
bool attach_version(Transaction& tx, std::vector<uint8_t>& image, uint64_t room_end, const VersionNote& note);

}  // namespace tavmerk

namespace tavmerk {

// Opening a version of an archive already mapped and read (`current`
// over the directory in force, the file `view`): `reader` over `image`,
// the version's header and directory. `at` is "K" or "~K"; `read_at`
// reads the file.
enum class VersionOpen { ok, unknown, dropped, damaged };
VersionOpen open_version(const ReadAt& read_at, const ArchiveReader& current, const std::string& at,
                         std::vector<uint8_t>& image, ArchiveReader& reader, uint32_t* version = nullptr);
VersionOpen open_version(const platform::FileView& view, const ArchiveReader& current, const std::string& at,
                         std::vector<uint8_t>& image, ArchiveReader& reader, uint32_t* version = nullptr);

// How each of those reads in a message, with the version as given.
std::string version_problem(VersionOpen problem, const std::string& at);

// A version's time as logs show it: ISO 8601 in UTC, to the second.
std::string utc_time_text(uint64_t seconds);

}  // namespace tavmerk
