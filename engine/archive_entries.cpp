#include "engine/archive_entries.h"

#include <unordered_set>

#include "archive/entry_cursor.h"
#include "engine/change_set.h"
#include "engine/expanded_tree.h"

namespace tavmerk {

namespace {

// True when normal_path would give `path` back: "/" between levels, none
// of them empty or ".". Most paths are so, and are kept as they are.
bool already_normal(const std::string& path)
{
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && !platform::is_separator(path[i]))
            continue;
        if (i < path.size() && path[i] != '/')
            return false;
        const size_t n = i - start;
        if (n == 0 || (n == 1 && path[start] == '.'))
            return false;
        start = i + 1;
    }
    return true;
}

// A folder above the current entry, by depth.
struct Level {
    std::string prefix;  // the folder's levels as they are, and "/"
    bool unsafe;
};

}  // namespace

// One walk over every entry, folders included, its levels joined as they
// are; then each gets the path "/E" writes it at (normal_path) and whether
// "/E" writes it at all (ExpandedTree). A directory tree
// (engine/directory_tree.h) would give the same paths, but indexes every
// path and every folder's live files: more than a listing needs.
bool list_entries(const ArchiveReader& reader, std::vector<ArchiveEntry>& entries)
{
    EntryCursor cursor(reader.block(), reader.block_size(), reader.root_folder_count());
    std::vector<Level> levels;
    std::vector<bool> below_unnamed;  // by entry: below a top-level folder whose name is no level
    bool in_unnamed = false;
    while (cursor.next()) {
        const DirectoryEntry& d = cursor.entry();
        ArchiveEntry e;
        e.place = d.place;
        e.record_at = d.record_at;
        e.folder = d.folder;
        if (!d.folder) {
            e.stored_size = d.stored_size();
            e.expanded_size = d.expanded_size();
            e.checksum = d.checksum();
            e.data_offset = d.data_offset();
            e.kind = d.kind();
        }
        const std::string_view name = d.component();
        const bool top = d.depth == 0;
        e.unsafe = (!top && levels[d.depth - 1].unsafe) || name_has_parent_ref(name.data(), name.size());
        if (!top)
            e.path = levels[d.depth - 1].prefix;
        e.path.append(name.data(), name.size());
        if (top)
            in_unnamed = name.empty() || name == ".";
        below_unnamed.push_back(!top && in_unnamed);
        if (d.folder) {
            levels.resize(d.depth);
            levels.push_back(Level{e.path + "/", e.unsafe});
        }
        entries.push_back(std::move(e));
    }
    if (cursor.end() != WalkEnd::complete)
        return false;
    ExpandedTree written;
    written.build(reader);
    std::unordered_set<size_t> written_records;
    for (size_t i = 0; i < written.size(); ++i)
        if (!written.node(uint32_t(i)).folder)
            written_records.insert(written.node(uint32_t(i)).record_at);
    std::unordered_set<std::string> folders_seen;
    for (size_t i = 0; i < entries.size(); ++i) {
        ArchiveEntry& e = entries[i];
        if (e.unsafe)
            continue;  // its levels as they are: a name, not a path
        if (!already_normal(e.path))
            e.path = normal_path(e.path);
        if (!e.folder) {
            e.shown = e.live() && written_records.count(e.record_at);
        } else if (!e.path.empty() && folders_seen.insert(e.path).second) {
            const uint32_t node = written.find(e.path);
            e.shown = node != ExpandedTree::none && written.node(node).folder;
        }
        // "/E" writes it at the top, where a file has no path of its own:
        // it is named by its path in the directory, "/" first.
        if (below_unnamed[i])
            e.path.insert(0, 1, '/');
    }
    return true;
}

}  // namespace tavmerk
