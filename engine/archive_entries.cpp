#include "engine/archive_entries.h"

#include <cstring>
#include <unordered_set>

#include "archive/layout.h"
#include "engine/change_set.h"
#include "engine/expanded_tree.h"

namespace tavmerk {

namespace {

// A count read as a signed 32-bit value: the top bit set means none (as
// the walk reads it).
uint32_t effective_count(uint32_t count)
{
    return int32_t(count) < 0 ? 0 : count;
}

// A name as a path component: up to its first NUL.
std::string component(const uint8_t* name, uint32_t length)
{
    const void* nul = std::memchr(name, 0, length);
    return std::string(reinterpret_cast<const char*>(name), nul ? size_t(static_cast<const uint8_t*>(nul) - name)
                                                                : length);
}

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

struct Frame {
    uint32_t remaining;
    std::string prefix;  // the folder's levels as they are, and "/"
    bool unsafe;
};

}  // namespace

// One walk over every entry, folders included (RecordCursor yields files
// only), its levels joined as they are; then each gets the path "/E"
// writes it at (normal_path) and whether "/E" writes it at all
// (ExpandedTree). A directory tree (engine/directory_tree.h) would give
// the same paths, but indexes every path and every folder's live files:
// more than a listing needs.
bool list_entries(const ArchiveReader& reader, std::vector<ArchiveEntry>& entries)
{
    const uint8_t* block = reader.block();
    const size_t size = reader.block_size();
    size_t at = 0;
    const auto fits = [&](uint64_t length) { return at <= size && length <= size - at; };
    uint32_t roots = effective_count(reader.root_folder_count());
    std::vector<Frame> stack;
    std::vector<bool> below_unnamed;  // by entry: below a top-level folder whose name is no level
    bool in_unnamed = false;
    for (;;) {
        if (stack.empty()) {
            if (roots == 0)
                break;
            --roots;
        } else if (stack.back().remaining == 0) {
            stack.pop_back();
            continue;
        } else {
            --stack.back().remaining;
        }
        if (!fits(file_record_at))
            return false;
        const uint8_t* entry = block + at;
        ArchiveEntry e;
        e.place = entries.size();
        e.record_at = at;
        const bool top = stack.empty();
        const bool prefix_unsafe = !top && stack.back().unsafe;
        // Top-level entries are folders whatever their kind and id say.
        e.folder = top || is_folder(entry);
        std::string name;
        if (e.folder) {
            if ((!top && folder_id(entry) != 0) || !fits(folder_name_at) ||
                !fits(folder_name_at + uint64_t(folder_name_length(entry))))
                return false;
            name = component(folder_name(entry), folder_name_length(entry));
            at += folder_name_at + size_t(folder_name_length(entry));
        } else {
            const uint8_t* record = entry + file_record_at;
            if (!fits(file_entry_fixed_size) || !fits(file_entry_fixed_size + uint64_t(file_name_length(record))))
                return false;
            name = component(file_name(record), file_name_length(record));
            e.record_at = at + file_record_at;
            e.stored_size = stored_size(record);
            e.expanded_size = expanded_size(record);
            e.checksum = record_checksum(record);
            e.data_offset = data_offset(record);
            e.kind = is_deleted(record) ? RecordKind::deleted
                     : is_stored(record) ? RecordKind::stored
                                         : RecordKind::compressed;
            at += file_entry_fixed_size + size_t(file_name_length(record));
        }
        e.unsafe = prefix_unsafe || name_has_parent_ref(name.data(), name.size());
        e.path = top ? name : stack.back().prefix + name;
        if (top)
            in_unnamed = name.empty() || name == ".";
        below_unnamed.push_back(!top && in_unnamed);
        if (e.folder)
            stack.push_back(Frame{effective_count(child_count(entry)), e.path + "/", e.unsafe});
        entries.push_back(std::move(e));
    }
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
