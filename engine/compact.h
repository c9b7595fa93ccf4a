// Compaction: an archive rewritten with only the data its live records
// use. The header and directory stay as they were but for the data
// offsets and directory_crc; the live records' stored bytes are copied
// unchanged (never recompressed) in directory order; deleted records keep
// offset 0.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive/walk.h"

namespace tavmerk {

enum class CompactStatus {
    done,
    cannot_open,   // the archive cannot be opened
    damaged,       // its directory cannot be walked (bounds, bad folder id)
    data_outside,  // a live record's data lies outside the file: refused, untouched
    write_failed,  // the new archive could not be written; the original is untouched
};

struct CompactResult {
    uint64_t old_size = 0;  // bytes of the archive before
    uint64_t new_size = 0;  // bytes of the compacted archive
};

// Compacts the archive at `archive_path` (absolute). With an empty
// `output_path` it is replaced in place: a temporary file in the same
// folder is written, synced and renamed over it, and the folder synced, so
// the original is never half-written and a failure leaves it untouched
// with no temporary file behind. Otherwise the result goes to the new file
// `output_path` (absolute; it must not exist) and the original is only
// read. Holds the archive's exclusive lock throughout. `outside` hears of
// each live record whose data lies outside the file.
CompactStatus compact_archive(const std::string& archive_path, const std::string& output_path,
                              CompactResult& result,
                              const std::function<void(const FileEntry&)>& outside = nullptr);

}  // namespace tavmerk
