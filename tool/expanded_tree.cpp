#include "tool/expanded_tree.h"

#include <utility>

namespace tavmerk {

ExpandedTree::ExpandedTree()
{
    nodes_.emplace_back();  // the root
    by_path_.emplace("", 0);
}

uint32_t ExpandedTree::add(uint32_t parent, const std::string& path, std::string name, bool folder)
{
    const uint32_t index = uint32_t(nodes_.size());
    Node node;
    node.name = std::move(name);
    node.parent = parent;
    node.folder = folder;
    nodes_.push_back(std::move(node));
    nodes_[parent].children.push_back(index);
    by_path_.emplace(path, index);
    return index;
}

void ExpandedTree::add_record(const FileEntry& entry)
{
    // entry.path is relative to the archive, levels split as "/E" splits them.
    uint32_t folder = 0;
    std::string path;
    size_t start = 0;
    for (size_t i = 0; i <= entry.path.size(); ++i) {
        if (i < entry.path.size() && !platform::is_separator(entry.path[i]))
            continue;
        std::string name = entry.path.substr(start, i - start);
        start = i + 1;
        const bool last = i == entry.path.size();
        if (name.empty() || name == ".") {
            if (last)
                return;  // names no file; its folders are made
            continue;
        }
        std::string child_path = path.empty() ? name : path + "/" + name;
        const auto found = by_path_.find(child_path);
        if (last) {
            if (found != by_path_.end())
                return;  // a file or folder stands there already
            Node& file = nodes_[add(folder, child_path, std::move(name), false)];
            file.record_at = entry.record_at;
            file.kind = entry.kind;
            file.stored_size = entry.stored_size;
            file.expanded_size = entry.expanded_size;
            file.data_offset = entry.data_offset;
            return;
        }
        if (found == by_path_.end())
            folder = add(folder, child_path, std::move(name), true);
        else if (nodes_[found->second].folder)
            folder = found->second;
        else
            return;  // a file stands where a folder is needed
        path = std::move(child_path);
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
    return records.end() != WalkEnd::bad_folder_id;
}

uint32_t ExpandedTree::find(const std::string& path) const
{
    const auto found = by_path_.find(path);
    return found == by_path_.end() ? none : found->second;
}

std::string ExpandedTree::path_of(uint32_t index) const
{
    std::string path;
    for (; index != 0 && index != none; index = nodes_[index].parent)
        path = path.empty() ? nodes_[index].name : nodes_[index].name + "/" + path;
    return path;
}

}  // namespace tavmerk
