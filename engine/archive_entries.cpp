#include "engine/archive_entries.h"

#include "archive/layout.h"

#include <cstring>
#include <unordered_set>

#include "engine/change_set.h"
#include "engine/directory_tree.h"
#include "engine/expanded_tree.h"

namespace tavmerk {

namespace {

// A name as a path component: up to its first NUL.
std::string component(const std::string& name)
{
    return name.substr(0, std::min(name.find('\0'), name.size()));
}

}  // namespace

bool list_entries(const ArchiveReader& reader, std::vector<ArchiveEntry>& entries)
{
    DirectoryTree tree;
    if (!tree.read(reader.header(), directory_block_at + reader.block_size()))
        return false;
    // The walk meets the files in the same order: it gives their records'
    // offsets.
    RecordCursor records = reader.records("", '/');
    // What "/E" writes: the tree it would make, each file node naming its
    // record; a folder is shown where that tree has a folder at its path.
    ExpandedTree written;
    written.build(reader);
    std::unordered_set<size_t> written_records;
    for (size_t i = 0; i < written.size(); ++i)
        if (!written.node(uint32_t(i)).folder)
            written_records.insert(written.node(uint32_t(i)).record_at);
    std::unordered_set<std::string> folders_seen;
    entries.resize(tree.size());
    for (uint32_t i = 0; i < tree.size(); ++i) {
        const DirectoryTree::Node& node = tree.node(i);
        ArchiveEntry& e = entries[node.place];
        e.place = node.place;
        e.folder = node.folder;
        e.unsafe = !node.has_path;
        if (node.has_path) {
            e.path = node.path;
        } else {
            // No path "/E" writes: its levels as they are, for its name.
            e.path = component(node.name);
            for (uint32_t p = node.parent; p != DirectoryTree::none; p = tree.node(p).parent)
                e.path = component(tree.node(p).name) + "/" + e.path;
        }
        if (e.folder) {
            if (!e.unsafe && !e.path.empty() && folders_seen.insert(e.path).second) {
                const uint32_t at = written.find(e.path);
                e.shown = at != ExpandedTree::none && written.node(at).folder;
            }
            continue;
        }
        if (!records.next())
            return false;
        const FileEntry& f = records.entry();
        e.record_at = f.record_at;
        e.kind = f.kind;
        e.stored_size = f.stored_size;
        e.expanded_size = f.expanded_size;
        e.checksum = f.checksum;
        e.data_offset = f.data_offset;
        e.shown = f.live() && written_records.count(f.record_at);
    }
    return true;
}

}  // namespace tavmerk
