#include "engine/expanded_tree.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tavmerk {

ExpandedTree::ExpandedTree()
{
    nodes_.emplace_back();  // the root
}

std::string ExpandedTree::key(uint32_t parent, const char* name, size_t length)
{
    std::string k(sizeof parent + length, '\0');
    std::memcpy(&k[0], &parent, sizeof parent);
    std::memcpy(&k[sizeof parent], name, length);
    return k;
}

uint32_t ExpandedTree::add(uint32_t parent, std::string name, bool folder)
{
    const uint32_t index = uint32_t(nodes_.size());
    children_.emplace(key(parent, name.data(), name.size()), index);
    Node node;
    node.name = std::move(name);
    node.parent = parent;
    node.folder = folder;
    nodes_.push_back(std::move(node));
    nodes_[parent].children.push_back(index);
    return index;
}

uint32_t ExpandedTree::child(uint32_t parent, const std::string& name) const
{
    const auto found = children_.find(key(parent, name.data(), name.size()));
    return found == children_.end() ? none : found->second;
}

void ExpandedTree::add_record(const FileEntry& entry)
{
    // entry.path is relative to the archive, levels split as "/E" splits
    // them. The levels it shares with the previous record's path are
    // already resolved.
    const std::string& path = entry.path;
    size_t common = 0;
    const size_t limit = std::min(path.size(), last_path_.size());
    while (common < limit && path[common] == last_path_[common])
        ++common;
    size_t shared = 0;
    while (shared < last_levels_.size() && last_levels_[shared].first < common)
        ++shared;
    last_levels_.resize(shared);
    last_path_ = path;
    uint32_t folder = shared == 0 ? 0 : last_levels_.back().second;
    size_t start = shared == 0 ? 0 : last_levels_.back().first + 1;
    for (size_t i = start; i <= path.size(); ++i) {
        if (i < path.size() && !platform::is_separator(path[i]))
            continue;
        const bool last = i == path.size();
        const size_t length = i - start;
        const char* name = path.data() + start;
        start = i + 1;
        if (length == 0 || (length == 1 && name[0] == '.')) {
            if (last)
                return;  // names no file; its folders are made
            last_levels_.emplace_back(i, folder);
            continue;
        }
        const auto found = children_.find(key(folder, name, length));
        if (last) {
            if (found != children_.end())
                return;  // a file or folder stands there already
            const uint32_t file = add(folder, std::string(name, length), false);
            Node& node = nodes_[file];
            node.record_at = entry.record_at;
            node.kind = entry.kind;
            node.stored_size = entry.stored_size;
            node.expanded_size = entry.expanded_size;
            node.data_offset = entry.data_offset;
            return;
        }
        if (found == children_.end())
            folder = add(folder, std::string(name, length), true);
        else if (nodes_[found->second].folder)
            folder = found->second;
        else
            return;  // a file stands where a folder is needed
        last_levels_.emplace_back(i, folder);
    }
}

bool ExpandedTree::build(const ArchiveReader& reader)
{
    RecordCursor records = reader.records("");
    while (records.next()) {
        const FileEntry& entry = records.entry();
        if (entry.live() && !entry.unsafe && reader.data_inside(entry))
            add_record(entry);
    }
    last_path_.clear();
    last_levels_.clear();
    return records.end() != WalkEnd::bad_folder_id;
}

void ExpandedTree::add_folders(const std::string& path)
{
    uint32_t folder = 0;
    for (size_t start = 0; start < path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const auto found = children_.find(key(folder, path.data() + start, end - start));
        if (found == children_.end())
            folder = add(folder, path.substr(start, end - start), true);
        else if (nodes_[found->second].folder)
            folder = found->second;
        else
            return;
        start = end + 1;
    }
}

uint32_t ExpandedTree::find(const std::string& path) const
{
    uint32_t at = 0;
    size_t start = 0;
    while (start < path.size() && at != none) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const auto found = children_.find(key(at, path.data() + start, end - start));
        at = found == children_.end() ? none : found->second;
        start = end + 1;
    }
    return at;
}

}  // namespace tavmerk
