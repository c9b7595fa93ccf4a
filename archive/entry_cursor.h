// The one walk over a directory block: every entry, folders and files, in
// directory order (depth-first pre-order, each folder followed directly by
// its children), each checked against the block before any of it is read.
// Whatever reads entries walks with it: the record cursor (archive/walk.h),
// the directory tree that changes edit, the library's listing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tavmerk {

enum class RecordKind { stored, compressed, deleted };

enum class WalkEnd {
    complete,
    stopped,        // the visitor asked to stop (never the cursor's own end)
    bad_folder_id,  // a nested folder entry with a non-zero folder_id
    damaged,        // an entry, count or name runs past the block
};

// One entry as the walk meets it. The name points into the block.
struct DirectoryEntry {
    static constexpr size_t none = SIZE_MAX;

    size_t place = 0;      // index in directory order, top-level folders counted
    size_t depth = 0;      // 0: a top-level folder
    size_t parent = none;  // place of the folder it stands in; none at the top
    bool folder = false;   // top-level entries are folders whatever their kind byte says
    size_t entry_at = 0;   // offset of the entry from the block's start
    size_t record_at = 0;  // files: of the FileRecord (entry offset 9); folders: of the entry
    uint32_t entry_key = 0;
    uint8_t entry_kind = 0;
    uint32_t tag = 0;  // folder_id of a folder, file_tag of a file
    const uint8_t* name = nullptr;
    uint32_t name_length = 0;  // all its bytes, NULs included
    // Folders (0 for files).
    uint32_t stored_child_count = 0;  // as stored
    uint32_t child_count = 0;         // as walked: a count with the top bit set is none
    // Files (0 for folders).
    uint32_t stored_size = 0;
    uint32_t expanded_size = 0;
    uint32_t checksum = 0;
    uint32_t data_offset = 0;

    // All name_length bytes.
    std::string_view name_bytes() const { return {reinterpret_cast<const char*>(name), name_length}; }
    // The name as a path component ("/E" writes it so): up to its first NUL.
    std::string_view component() const;
    // A file's kind by its record: deleted, stored raw, or a zlib stream.
    RecordKind kind() const;
};

// Walks `root_folder_count` top-level folders from the start of the block
// (a count with the top bit set walks none). It keeps its own stack, so
// nesting depth is unbounded.
class EntryCursor {
public:
    EntryCursor(const uint8_t* block, size_t block_size, uint32_t root_folder_count);

    // Moves to the next entry; false once the walk has ended, and end()
    // then says how: complete, damaged, or bad_folder_id (met at its place,
    // after every entry before it).
    bool next();
    const DirectoryEntry& entry() const { return entry_; }
    WalkEnd end() const { return end_; }
    // Where the next entry would start: once complete, the end of the
    // walked tree (bytes past it are not entries).
    size_t offset() const { return at_; }

private:
    struct Frame {
        size_t place;        // the folder's
        uint32_t remaining;  // its children still to read
    };

    // The one bounds check: `length` bytes from the cursor lie in the block.
    bool fits(uint64_t length) const { return at_ <= size_ && length <= size_ - at_; }
    bool read_entry();
    bool stop(WalkEnd end);

    const uint8_t* block_;
    size_t size_;
    uint32_t roots_left_;
    size_t at_ = 0;
    size_t places_ = 0;
    bool ended_ = false;
    WalkEnd end_ = WalkEnd::complete;
    DirectoryEntry entry_;
    std::vector<Frame> stack_;
};

}  // namespace tavmerk
