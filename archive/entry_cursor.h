// The one walk over a directory block: every entry, folders and files, in
// directory order (depth-first pre-order, each folder followed directly by
// its children), each checked against the block before any of it is read.
// Whatever reads entries walks with it: the record cursor (archive/walk.h),
// the directory tree that changes edit, the library's listing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "archive/layout.h"

namespace tavmerk {

enum class RecordKind { stored, compressed, deleted };

// How listings name a kind: "stored", "zlib" or "deleted".
inline const char* record_kind_name(RecordKind kind)
{
    switch (kind) {
    case RecordKind::stored:
        return "stored";
    case RecordKind::compressed:
        return "zlib";
    case RecordKind::deleted:
        break;
    }
    return "deleted";
}

enum class WalkEnd {
    complete,
    stopped,        // the visitor asked to stop (never the cursor's own end)
    bad_folder_id,  // a nested folder entry with a non-zero folder_id
    damaged,        // an entry, count or name runs past the block
};

// One entry as the walk meets it: where it stands, and its bytes in the
// block, checked whole before it was yielded; its other fields are read
// from them only when asked for.
struct DirectoryEntry {
    static constexpr size_t none = SIZE_MAX;

    size_t place = 0;      // index in directory order, top-level folders counted
    size_t depth = 0;      // 0: a top-level folder
    size_t parent = none;  // place of the folder it stands in; none at the top
    bool folder = false;   // top-level entries are folders whatever their kind byte says
    size_t entry_at = 0;   // offset of the entry from the block's start
    size_t record_at = 0;  // files: of the FileRecord (entry offset 9); folders: of the entry
    const uint8_t* bytes = nullptr;  // the entry's first byte
    const uint8_t* name = nullptr;
    uint32_t name_length = 0;  // all its bytes, NULs included
    uint32_t child_count = 0;  // folders, as walked: a count with the top bit set is none

    uint32_t entry_key() const { return read_be32(bytes); }
    uint8_t entry_kind() const { return tavmerk::entry_kind(bytes); }
    uint32_t tag() const { return folder_id(bytes); }  // folder_id of a folder, file_tag of a file
    // Folders (0 for files): the count as stored.
    uint32_t stored_child_count() const { return folder ? tavmerk::child_count(bytes) : 0; }
    // Files (0 for folders): the FileRecord's fields.
    uint32_t stored_size() const { return folder ? 0 : tavmerk::stored_size(record()); }
    uint32_t expanded_size() const { return folder ? 0 : tavmerk::expanded_size(record()); }
    uint32_t checksum() const { return folder ? 0 : record_checksum(record()); }
    uint32_t data_offset() const { return folder ? 0 : tavmerk::data_offset(record()); }
    // A file's kind by its record: deleted, stored raw, or a zlib stream
    // (a folder has no record: deleted).
    RecordKind kind() const
    {
        return folder || is_deleted(record()) ? RecordKind::deleted
               : is_stored(record()) ? RecordKind::stored
                                     : RecordKind::compressed;
    }

    // All name_length bytes.
    std::string_view name_bytes() const { return {reinterpret_cast<const char*>(name), name_length}; }
    // The name as a path component ("/E" writes it so): up to its first NUL.
    std::string_view component() const
    {
        const void* nul = std::memchr(name, 0, name_length);
        return {reinterpret_cast<const char*>(name),
                nul ? size_t(static_cast<const uint8_t*>(nul) - name) : size_t(name_length)};
    }

private:
    const uint8_t* record() const { return bytes + file_record_at; }
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
