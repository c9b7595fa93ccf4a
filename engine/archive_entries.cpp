#include "engine/archive_entries.h"

#include <cstring>
#include <unordered_set>

#include "archive/layout.h"
#include "engine/expanded_tree.h"

namespace tavmerk {

namespace {

// A count read as a signed 32-bit value: the top bit set means none (as
// the walk reads it).
uint32_t effective_count(uint32_t count)
{
    return int32_t(count) < 0 ? 0 : count;
}

std::string component(const uint8_t* name, uint32_t length)
{
    const void* nul = std::memchr(name, 0, length);
    const size_t n = nul ? size_t(static_cast<const uint8_t*>(nul) - name) : length;
    return std::string(reinterpret_cast<const char*>(name), n);
}

struct Frame {
    uint32_t remaining;
    std::string prefix;  // the folder's path and "/"
    bool unsafe;
};

}  // namespace

bool list_entries(const ArchiveReader& reader, std::vector<ArchiveEntry>& entries)
{
    const uint8_t* block = reader.block();
    const size_t size = reader.block_size();
    size_t at = 0;
    const auto fits = [&](uint64_t length) { return at <= size && length <= size - at; };
    uint32_t roots = effective_count(reader.root_folder_count());
    std::vector<Frame> stack;
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
        const std::string prefix = stack.empty() ? std::string() : stack.back().prefix;
        const bool prefix_unsafe = !stack.empty() && stack.back().unsafe;
        // Top-level entries are folders whatever their kind and id say.
        e.folder = stack.empty() || is_folder(entry);
        if (e.folder) {
            if (!stack.empty() && folder_id(entry) != 0)
                return false;
            if (!fits(folder_name_at) || !fits(folder_name_at + uint64_t(folder_name_length(entry))))
                return false;
            const std::string name = component(folder_name(entry), folder_name_length(entry));
            e.path = prefix + name;
            e.unsafe = prefix_unsafe || name_has_parent_ref(name.data(), name.size());
            stack.push_back(Frame{effective_count(child_count(entry)), e.path + "/", e.unsafe});
            at += folder_name_at + size_t(folder_name_length(entry));
        } else {
            const uint8_t* record = entry + file_record_at;
            if (!fits(file_entry_fixed_size) || !fits(file_entry_fixed_size + uint64_t(file_name_length(record))))
                return false;
            const std::string name = component(file_name(record), file_name_length(record));
            e.path = prefix + name;
            e.record_at = at + file_record_at;
            e.stored_size = stored_size(record);
            e.expanded_size = expanded_size(record);
            e.checksum = record_checksum(record);
            e.data_offset = data_offset(record);
            e.kind = is_deleted(record) ? RecordKind::deleted
                     : is_stored(record) ? RecordKind::stored
                                         : RecordKind::compressed;
            e.unsafe = prefix_unsafe || name_has_parent_ref(name.data(), name.size());
            at += file_entry_fixed_size + size_t(file_name_length(record));
        }
        entries.push_back(std::move(e));
    }
    // What "/E" writes: the tree it would make, each file node naming its
    // record; a folder is shown where the tree has a folder at its path.
    ExpandedTree tree;
    tree.build(reader);
    std::unordered_set<size_t> written;
    for (size_t i = 0; i < tree.size(); ++i)
        if (!tree.node(i).folder)
            written.insert(tree.node(i).record_at);
    std::unordered_set<std::string> folders_seen;
    for (ArchiveEntry& e : entries) {
        if (!e.folder) {
            e.shown = e.live() && written.count(e.record_at);
        } else if (!e.unsafe && !e.path.empty() && folders_seen.insert(e.path).second) {
            const uint32_t node = tree.find(e.path);
            e.shown = node != ExpandedTree::none && tree.node(node).folder;
        }
    }
    return true;
}

}  // namespace tavmerk
