// Compaction: an archive rewritten with only the data its live records
// use. The header and directory stay as they were but for the data
// offsets and directory_crc; the live records' stored bytes are copied
// unchanged (never recompressed) in directory order; deleted records keep
// offset 0. Room after the directory (archive/room.h) keeps its size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive/walk.h"
#include "engine/run_result.h"
#include "platform/platform.h"

namespace tavmerk {

// The archive's size before and after.
struct CompactSizes {
    uint64_t old_size = 0;  // bytes of the archive before
    uint64_t new_size = 0;  // bytes of the compacted archive
};

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
                          const std::function<void(const FileEntry&)>& outside = nullptr);

// Writes `size` zero bytes to `out`.
bool write_zeros(platform::OutputFile& out, uint64_t size);

}  // namespace tavmerk
