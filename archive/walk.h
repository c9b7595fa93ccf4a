// The directory walk: depth-first, in directory order, composing each
// file's path from a root prefix and the names of the folders above it.
// `RecordCursor` is the walk itself, one file record at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tavmerk {

enum class RecordKind { stored, compressed, deleted };

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

enum class WalkEnd {
    complete,
    stopped,        // the visitor asked to stop
    bad_folder_id,  // a nested folder entry with a non-zero folder_id
    damaged,        // an entry, count or name runs past the block
};

// Walks `root_folder_count` top-level folders from the start of the block
// and yields its file records in pre-order. Counts with the top bit set
// walk nothing. Every read is checked against `block_size`; the walk keeps
// its own stack, so nesting depth is unbounded. When paths are composed,
// `root` must end in `separator`.
class RecordCursor {
public:
    RecordCursor(const uint8_t* block, size_t block_size, uint32_t root_folder_count, std::string root,
                 char separator = platform::separator, PathComposing paths = PathComposing::compose);

    // Moves to the next file record; false once the walk has ended, and
    // end() then says how.
    bool next();
    const FileEntry& entry() const { return entry_; }
    WalkEnd end() const { return end_; }
    // Folders entered so far, top-level ones included.
    uint64_t folders() const { return folders_; }

private:
    struct Frame {
        uint32_t remaining;  // children of this folder still to visit
        size_t path_length;  // length of the composed prefix for its children
        bool unsafe;         // a ".." component somewhere in that prefix
    };

    bool fits(size_t length) const { return cursor_ <= size_ && length <= size_ - cursor_; }
    bool enter_folder(size_t prefix_length, bool prefix_unsafe);
    bool read_file(size_t prefix_length, bool prefix_unsafe);
    bool stop(WalkEnd end);

    const uint8_t* block_;
    size_t size_;
    uint32_t roots_left_;
    size_t root_length_;
    char separator_;
    bool compose_;
    size_t cursor_ = 0;
    uint64_t folders_ = 0;
    bool ended_ = false;
    WalkEnd end_ = WalkEnd::complete;
    FileEntry entry_;
    std::vector<Frame> stack_;
};

// A walk with no paths: tells whether a walk over the
// block would run out of it before it completes or stops at a bad folder id.
WalkEnd check_directory(const uint8_t* block, size_t block_size, uint32_t root_folder_count);

// True when `name` (already cut at its first NUL) has a ".." component.
bool name_has_parent_ref(const char* name, size_t length);

}  // namespace tavmerk
