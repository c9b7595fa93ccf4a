// The directory walk shared by expansion and repacking: depth-first, in
// directory order, composing each file's output path from the root prefix
// and the names of the folders above it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavmerk {

// What the walk reports, in directory pre-order. `path` is the composed
// output path; `record_at` is the offset of the file's FileRecord (entry
// offset 9) from the start of the directory block.
class WalkVisitor {
public:
    virtual ~WalkVisitor() = default;
    // A live record with a safe path. Returning false stops the walk.
    virtual bool file(const std::string& path, size_t record_at) = 0;
    // A record with data_offset 0.
    virtual void deleted(const std::string& path) = 0;
    // A live record whose path below the root has a ".." component.
    virtual void unsafe(const std::string& path) = 0;
};

enum class WalkEnd {
    complete,
    stopped,        // the visitor asked to stop
    bad_folder_id,  // a nested folder entry with a non-zero folder_id
    damaged,        // an entry, count or name runs past the block
};

// Walks `root_folder_count` top-level folders from the start of the block.
// Counts with the top bit set walk nothing. Every read is checked against
// `block_size`; the walk never recurses, so nesting depth is unbounded.
// `root` is the root prefix and must end in a separator.
WalkEnd walk_root(const uint8_t* block, size_t block_size, uint32_t root_folder_count,
                  const std::string& root, WalkVisitor& visitor);

// The same walk with no visitor and no paths: tells whether a walk over the
// block would run out of it before it completes or stops at a bad folder id.
WalkEnd check_directory(const uint8_t* block, size_t block_size, uint32_t root_folder_count);

// The same check for a whole archive, `size` bytes from its header on:
// `damaged` also when the header is short or the directory block runs past
// the end.
WalkEnd check_archive(const uint8_t* archive, uint64_t size);

// True when `name` (already cut at its first NUL) has a ".." component.
bool name_has_parent_ref(const char* name, size_t length);

}  // namespace tavmerk
