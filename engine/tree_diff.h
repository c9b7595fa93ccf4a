// Two archives' trees compared as "/E" would write them. Each archive is
// read through a view: a reader over a header and directory image (the
// directory in force, or any other image of the same file) and its file's
// data by offset, so that whichever directory a caller picks, the
// comparison is the same code.
//
// A tree is a set of paths: live files, each the record "/E" writes at its
// path (the first live one in directory order; deleted records and records
// with a ".." level are not in it), and folders. A folder counts as a path
// of its own only where nothing lies below it: a folder with files is
// told by its files. So an empty folder added or removed is a change, and
// a folder that only came with its files is not.
//
// Two files at the same path are the same where their expanded sizes
// agree and, of the same method, their stored sizes and checksums agree;
// of different methods (stored and zlib), where their expanded bytes are
// the same, compared a piece at a time (memory stays bounded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "engine/change_set.h"

namespace tavmerk {

// Copies `size` bytes of the archive file at `offset`; false where they do
// not lie inside it or cannot be read.
using DataReader = std::function<bool(uint64_t offset, uint8_t* dest, size_t size)>;

struct ArchiveView {
    ArchiveReader directory;
    DataReader read_at;
};

// A path of a tree.
struct TreeItem {
    std::string path;  // as "/E" writes it, levels joined by "/"
    bool folder = false;
    // Files: the record.
    uint32_t stored_size = 0;
    uint32_t expanded_size = 0;
    uint32_t checksum = 0;
    uint32_t data_offset = 0;

    bool stored() const { return stored_size == expanded_size; }
    StoredRecord record() const { return StoredRecord{stored_size, expanded_size, checksum}; }
    // Same method, sizes and checksum: the same stored bytes but by chance.
    bool same_record(const TreeItem& o) const
    {
        return stored_size == o.stored_size && expanded_size == o.expanded_size && checksum == o.checksum;
    }
};

// The paths of one archive's tree, looked up by path.
class ArchiveTree {
public:
    // False where the directory does not walk whole (runs out of its block
    // or meets a bad folder id), or a live file's data lies past the end of
    // the file.
    bool read(const ArchiveReader& directory);

    // Live files, in path order (bytewise).
    const std::vector<TreeItem>& files() const { return files_; }
    // Folders with nothing below them, in path order.
    std::vector<std::string> empty_folders() const;

    const TreeItem* file_at(const std::string& path) const;
    // A folder stands at `path`: a folder entry, or anything below it.
    bool folder_at(const std::string& path) const;
    // A folder entry stands at `path` with nothing below it.
    bool empty_folder_at(const std::string& path) const;
    // Live files and empty folders below `path`.
    std::vector<TreeItem> below(const std::string& path) const;

private:
    bool anything_below(const std::string& path) const;

    std::vector<TreeItem> files_;
    std::vector<std::string> folders_;  // folder entries' paths, in path order, once each
    std::vector<std::string> paths_;    // both, in path order
};

enum class TreeChangeKind { added, removed, changed };

// The kind of a change in one word ("added", "removed", "changed").
const char* tree_change_word(TreeChangeKind change);

struct TreeChange {
    TreeChangeKind change = TreeChangeKind::added;
    TreeItem before;  // removed, changed: the old tree's
    TreeItem after;   // added, changed: the new tree's

    const TreeItem& item() const { return change == TreeChangeKind::removed ? before : after; }
};

enum class DiffEnd { complete, old_damaged, new_damaged };

struct DiffResult {
    DiffEnd end = DiffEnd::complete;
    std::string path;  // the file whose data could not be read or inflated; empty: the directory
};

// The changes that make the old tree the new one, in path order (a file
// before a folder at the same path).
DiffResult diff_trees(const ArchiveView& old_view, const ArchiveView& new_view, std::vector<TreeChange>& out);

// The expanded bytes of a file of the view, a piece at a time, to `write`;
// false where its data cannot be read or its stream does not inflate to
// exactly its expanded size (or `write` said stop).
bool read_expanded(const ArchiveView& view, const TreeItem& file,
                   const std::function<bool(const uint8_t*, size_t)>& write);

}  // namespace tavmerk
