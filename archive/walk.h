// The directory walk's file records: depth-first, in directory order, each
// with its path composed from a root prefix and the names of the folders
// above it. `RecordCursor` walks with the entry cursor
// (archive/entry_cursor.h), one file record at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/entry_cursor.h"
#include "platform/platform.h"

namespace tavmerk {

// One file record as the walk meets it.
struct FileEntry {
    std::string path;      // the root prefix, the folder names and the file's own name
    size_t record_at = 0;  // offset of the FileRecord (entry offset 9) from the block's start
    RecordKind kind = RecordKind::deleted;
    bool unsafe = false;   // live, with a ".." component below the root
    uint32_t stored_size = 0;
    uint32_t expanded_size = 0;
    uint32_t checksum = 0;
    uint32_t data_offset = 0;

    bool live() const { return kind != RecordKind::deleted; }
};

// Whether a walk composes each record's path (a check of the directory
// alone needs none).
enum class PathComposing { compose, skip };

// Walks `root_folder_count` top-level folders from the start of the block
// and yields its file records in pre-order, ending as the entry cursor
// ends. When paths are composed, `root` must end in `separator`.
class RecordCursor {
public:
    RecordCursor(const uint8_t* block, size_t block_size, uint32_t root_folder_count, std::string root,
                 char separator = platform::separator, PathComposing paths = PathComposing::compose);

    // Moves to the next file record; false once the walk has ended, and
    // end() then says how.
    bool next();
    const FileEntry& entry() const { return entry_; }
    WalkEnd end() const { return entries_.end(); }
    // Folders entered so far, top-level ones included.
    uint64_t folders() const { return folders_; }

private:
    // A folder above the current entry, by depth.
    struct Level {
        size_t path_length;  // length of the composed prefix for its children
        bool unsafe;         // a ".." component somewhere in that prefix
    };

    void enter_folder(const DirectoryEntry& folder);
    void read_file(const DirectoryEntry& file);

    EntryCursor entries_;
    size_t root_length_;
    char separator_;
    bool compose_;
    uint64_t folders_ = 0;
    FileEntry entry_;
    std::vector<Level> levels_;
};

// A walk with no paths: tells whether a walk over the
// block would run out of it before it completes or stops at a bad folder id.
WalkEnd check_directory(const uint8_t* block, size_t block_size, uint32_t root_folder_count);

// True when `name` (already cut at its first NUL) has a ".." component.
bool name_has_parent_ref(const char* name, size_t length);

}  // namespace tavmerk
