// Every entry of a directory, folders and files alike, in directory order,
// each named by the path "/E" writes it at (engine/directory_tree.h): what
// the library lists, and the names its changes reach. Entries below a
// top-level folder whose name is empty or "." (which "/E" writes at the
// top) are named by their path in the directory instead, "/" first
// ("/name"). A file's place is its entry's index in that order
// (top-level folders count too), which names it even where its path does
// not (a later record at a path an earlier one took, a ".." name).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/reader.h"

namespace tavmerk {

struct ArchiveEntry {
    std::string path;      // as "/E" writes it ("/" first below a folder with no name); with a ".." level, the levels as they are
    size_t place = 0;      // index in directory order
    size_t record_at = 0;  // files: offset of the FileRecord in the block; folders: of the entry
    bool folder = false;
    RecordKind kind = RecordKind::deleted;  // files
    bool unsafe = false;   // a ".." level in its path
    bool shown = false;    // live file or folder that "/E" writes at `path` (the first there wins)
    uint32_t stored_size = 0;
    uint32_t expanded_size = 0;
    uint32_t checksum = 0;
    uint32_t data_offset = 0;

    bool live() const { return folder || kind != RecordKind::deleted; }
};

// The entries of `reader`'s directory; false when the walk stops at a bad
// folder id or runs out of the block (`entries` then holds those before).
bool list_entries(const ArchiveReader& reader, std::vector<ArchiveEntry>& entries);

}  // namespace tavmerk
