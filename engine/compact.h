// Compaction: an archive rewritten with only the data its live records
// use, and those of the earlier versions it keeps (engine/history.h). The
// header and directory stay as they were but for the data offsets and
// directory_crc; stored bytes are copied unchanged (never recompressed);
// deleted records keep their offset. Room after the directory
// (archive/room.h) keeps its size, or grows to what is asked.
//
// Keeping only the version in force, the live records' data follows the
// room in directory order, and nothing else: no version block, no anchor.
// Keeping earlier versions too, every byte range a kept version's live
// record points at is copied once, in offset order (ranges that overlap
// or touch merged, so that data versions share stays shared), then one
// version block for each version listed, oldest first, each linked to the
// one before: the images of kept versions with their offsets moved to
// match, the others' metadata only; the anchor after the new directory
// points at the newest.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/walk.h"
#include "engine/history.h"
#include "engine/run_result.h"
#include "engine/transaction.h"
#include "platform/platform.h"

namespace tavmerk {

// The archive's size before and after.
struct CompactSizes {
    uint64_t old_size = 0;  // bytes of the archive before
    uint64_t new_size = 0;  // bytes of the compacted archive
    uint32_t versions_kept = 0;  // versions whose data the new archive holds, the one in force counted
    uint64_t identity = 0;       // directory_identity of the new directory
    uint32_t versions = 0;       // versions listed before
    uint64_t history_bytes = 0;  // bytes of their version blocks before
};

struct CompactOptions {
    // Versions whose data is kept, the one in force counted (0: all that
    // have it). The older ones stay listed, their data dropped, unless
    // only the version in force is kept.
    uint32_t keep = 0;
    // Bytes from the directory block's end to the data, at least (room
    // for a directory about to grow).
    uint64_t least_room = 0;
};

// What compacting the archive `reader` reads (its data ending at
// `data_end`, read through `read_at`) would make of it: the new size, and
// how many versions' data it keeps. False where its history cannot be
// followed as it was listed.
bool compacted_size(const ArchiveReader& reader, uint64_t data_end, const ReadAt& read_at,
                    const CompactOptions& options, CompactSizes& sizes);

// Compacts the archive at `archive_path` (absolute). With an empty
// `output_path` it is replaced in place: a temporary file in the same
// folder, given the archive's permission bits (owner and group where it
// may), is written, synced and renamed over it, and the folder synced, so
// the original is never half-written and a failure leaves it untouched
// with no temporary file behind; a link at `archive_path` stays, and the
// file it leads to is compacted. Otherwise the result goes the same way to
// the new file `output_path` (absolute; it must not exist, and whatever
// appears there meanwhile is never replaced) and the original is only
// read. Holds the archive's exclusive lock until the new file has its name
// on disk (on Windows, until just before the rename), and the new file's
// from before the rename on. `outside` hears of each live record whose
// data lies outside the file.
// A directory that cannot be walked (bounds, bad folder id) is damaged; a
// live record's data outside the file is refused (data_outside), the
// archive untouched; a failed write leaves the original untouched.
RunResult compact_archive(const std::string& archive_path, const std::string& output_path, CompactSizes& sizes,
                          const std::function<void(const FileEntry&)>& outside = nullptr,
                          const CompactOptions& options = CompactOptions());

// Room for a directory of `directory_size` bytes made by compacting the
// archive in place with every version kept: room after its directory block
// of that size (64 KiB at least), the room marker and the history anchor.
// `identity` gets the new directory's. A commit that finds no room calls
// this, then begins again.
RunResult make_room(const std::string& archive_path, uint64_t directory_size, uint64_t& identity);

// compacted_size of the archive at `archive_path`, read under the shared
// lock, `old_size` its size; false where it cannot be read.
bool compaction_sizes(const std::string& archive_path, const CompactOptions& options, CompactSizes& sizes);

// True when the room after the directory of the archive at
// `archive_path` has no space for the history anchor, so that a commit
// keeping a version must make room first; `directory_size` gets the
// directory's size. False also where it cannot be read.
bool lacks_room_for_version(const std::string& archive_path, uint64_t& directory_size);

// Where a byte of the old file goes in the new one.
using OffsetMove = std::function<uint64_t(uint64_t offset)>;

// `image` (header and directory) with its live records' offsets moved and
// its CRC sealed again; false when its walk does not end whole.
bool move_live_offsets(std::vector<uint8_t>& image, const OffsetMove& moved);

// A commit that does not fit the room after the directory in force.
struct VersionedRewrite {
    uint64_t directory_size = 0;  // the new directory block's size
    uint64_t new_data_size = 0;   // bytes of the commit's own data
    // The new header and directory: the records over old data moved by
    // `moved`, the commit's data from `new_data_at` on; false (with `end`
    // set where it is not damaged) to give up.
    std::function<bool(const OffsetMove& moved, uint64_t new_data_at, std::vector<uint8_t>& image, RunEnd& end)>
        make_image;
    // Writes the commit's data, new_data_size bytes, in the order
    // make_image placed it.
    std::function<bool(platform::OutputFile& out, RunEnd& end)> write_new_data;
    VersionNote note;
};

// Commits under `tx` (begun on the archive at `path`, links resolved) by
// writing the archive anew in one step, as compaction with every version
// kept does, with room after the new directory for it to grow
// (room_for_directory), the commit's data after the old, and the version
// the commit makes: a crash leaves the old archive with its history or the
// new one with one version more. `image` gets the directory in force after.
RunResult commit_by_rewrite(Transaction& tx, const std::string& path, const VersionedRewrite& rewrite,
                            std::vector<uint8_t>& image);

// The bytes after a directory block that make_room leaves for a directory
// of `directory_size` bytes.
uint64_t room_for_directory(uint64_t directory_size);

// Writes `size` zero bytes to `out`.
bool write_zeros(platform::OutputFile& out, uint64_t size);

}  // namespace tavmerk
