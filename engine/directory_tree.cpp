#include "engine/directory_tree.h"

#include <cstring>
#include <map>

#include "archive/entry_cursor.h"
#include "archive/layout.h"
#include "engine/archive_commit.h"
#include "platform/platform.h"

namespace tavmerk {

namespace {

void put_be32(std::vector<uint8_t>& out, uint32_t value)
{
    const size_t at = out.size();
    out.resize(at + 4);
    write_be32(out.data() + at, value);
}

}  // namespace

bool DirectoryTree::read(const uint8_t* image, size_t size)
{
    if (size < header_size || directory_size(image) > size - header_size)
        return false;
    header_.assign(image, image + header_size);
    const uint8_t* block = image + directory_block_at;
    const size_t block_size = directory_size(image);
    stored_root_count_ = root_folder_count(image);
    // Nodes are appended in directory order: a parent's index follows from
    // its place.
    const size_t first = nodes_.size();
    EntryCursor entries(block, block_size, stored_root_count_);
    while (entries.next()) {
        const DirectoryEntry& e = entries.entry();
        Node node;
        node.folder = e.folder;
        node.entry_key = e.entry_key();
        node.entry_kind = e.entry_kind();
        node.tag = e.tag();
        node.name.assign(e.name_bytes());
        node.parent = e.parent == DirectoryEntry::none ? none : uint32_t(first + e.parent);
        node.place = nodes_.size();
        node.stored_child_count = e.stored_child_count();
        node.stored_size = e.stored_size();
        node.expanded_size = e.expanded_size();
        node.checksum = e.checksum();
        node.data_offset = e.data_offset();
        const uint32_t index = uint32_t(nodes_.size());
        nodes_.push_back(std::move(node));
        siblings(nodes_[index].parent).push_back(index);
        by_place_.push_back(index);
        compose_path(index);
        this->index(index);
    }
    if (entries.end() != WalkEnd::complete)
        return false;  // runs out of its block, or a bad folder id: "/E" stops there
    tail_.assign(block + entries.offset(), block + block_size);
    return true;
}

std::vector<uint8_t> DirectoryTree::image() const
{
    std::vector<uint8_t> out(header_);
    out.reserve(header_size + 64 * nodes_.size() + tail_.size());
    uint32_t roots = 0;
    for (const uint32_t r : roots_)
        roots += nodes_[r].taken_out ? 0 : 1;
    write_be32(out.data() + root_folder_count_at, roots_as_read_ ? stored_root_count_ : roots);
    for (const uint32_t i : in_order()) {
        const Node& n = nodes_[i];
        put_be32(out, n.entry_key);
        out.push_back(n.entry_kind);
        put_be32(out, n.tag);
        if (n.folder) {
            uint32_t children = 0;
            for (const uint32_t c : n.children)
                children += nodes_[c].taken_out ? 0 : 1;
            put_be32(out, n.children_as_read ? n.stored_child_count : children);
        } else {
            put_be32(out, n.stored_size);
            put_be32(out, n.expanded_size);
            put_be32(out, n.checksum);
            put_be32(out, n.data_offset);
        }
        put_be32(out, uint32_t(n.name.size()));
        out.insert(out.end(), n.name.begin(), n.name.end());
    }
    out.insert(out.end(), tail_.begin(), tail_.end());
    write_be32(out.data() + directory_size_at, uint32_t(out.size() - header_size));
    seal_directory(out.data());
    return out;
}

std::vector<uint32_t> DirectoryTree::in_order() const
{
    return in_order_from(roots_);
}

std::vector<uint32_t> DirectoryTree::below(uint32_t folder) const
{
    return in_order_from(nodes_[folder].children);
}

std::vector<uint32_t> DirectoryTree::in_order_from(const std::vector<uint32_t>& start) const
{
    std::vector<uint32_t> order;
    std::vector<std::pair<const std::vector<uint32_t>*, size_t>> stack{{&start, 0}};
    while (!stack.empty()) {
        auto& [list, next] = stack.back();
        if (next == list->size()) {
            stack.pop_back();
            continue;
        }
        const uint32_t i = (*list)[next++];
        if (nodes_[i].taken_out)
            continue;
        order.push_back(i);
        if (nodes_[i].folder)
            stack.push_back({&nodes_[i].children, 0});
    }
    return order;
}

uint32_t DirectoryTree::level_at(const std::string& path) const
{
    uint32_t level = 0;
    size_t start = 0;
    while (start < path.size() && level != none) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string key(sizeof level + end - start, '\0');
        std::memcpy(&key[0], &level, sizeof level);
        std::memcpy(&key[sizeof level], path.data() + start, end - start);
        const auto found = level_children_.find(key);
        level = found == level_children_.end() ? none : found->second;
        start = end + 1;
    }
    return level;
}

std::vector<DirectoryTree::PathLevel> DirectoryTree::along(const std::string& path) const
{
    std::vector<PathLevel> out;
    uint32_t level = 0;
    std::string key;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        PathLevel here;
        if (level != none) {
            key.assign(sizeof level, '\0');
            std::memcpy(&key[0], &level, sizeof level);
            key.append(path, start, end - start);
            const auto found = level_children_.find(key);
            level = found == level_children_.end() ? none : found->second;
        }
        if (level != none)
            for (const uint32_t i : levels_[level].entries) {
                if (nodes_[i].folder && here.folder == none)
                    here.folder = i;
                if (nodes_[i].live_file() && here.file == none)
                    here.file = i;
            }
        out.push_back(here);
        start = end + 1;
    }
    return out;
}

uint32_t DirectoryTree::child_level(uint32_t parent, const char* name, size_t length)
{
    std::string key(sizeof parent + length, '\0');
    std::memcpy(&key[0], &parent, sizeof parent);
    std::memcpy(&key[sizeof parent], name, length);
    const auto found = level_children_.emplace(std::move(key), uint32_t(levels_.size()));
    if (found.second) {
        Level level;
        level.parent = parent;
        level.name.assign(name, length);
        levels_.push_back(std::move(level));
    }
    return found.first->second;
}

std::string DirectoryTree::path(uint32_t index) const
{
    const Node& n = nodes_[index];
    if (!n.has_path())
        return n.name;
    std::vector<const std::string*> names;
    for (uint32_t l = n.level; l != 0; l = levels_[l].parent)
        names.push_back(&levels_[l].name);
    std::string out;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!out.empty())
            out.push_back('/');
        out += **it;
    }
    return out;
}

uint32_t DirectoryTree::file_at(const std::string& path) const
{
    const uint32_t level = level_at(path);
    if (level == none)
        return none;
    for (const uint32_t i : levels_[level].entries)
        if (nodes_[i].live_file())
            return i;
    return none;
}

std::vector<uint32_t> DirectoryTree::folders_at(const std::string& path) const
{
    std::vector<uint32_t> out;
    const uint32_t level = path.empty() ? none : level_at(path);
    if (level == none)
        return out;
    for (const uint32_t i : levels_[level].entries)
        if (nodes_[i].folder)
            out.push_back(i);
    return out;
}

uint32_t DirectoryTree::folder_at(const std::string& path) const
{
    const std::vector<uint32_t> folders = folders_at(path);
    return folders.empty() ? none : folders.front();
}

bool DirectoryTree::folder_stands_at(const std::string& path) const
{
    if (folder_at(path) != none)
        return true;
    const uint32_t level = path.empty() ? none : level_at(path);
    return level != none && levels_[level].implicit > 0;
}

uint32_t DirectoryTree::at_place(size_t place) const
{
    if (place >= by_place_.size() || nodes_[by_place_[place]].taken_out)
        return none;
    // An entry under a folder taken out is gone with it.
    for (uint32_t p = nodes_[by_place_[place]].parent; p != none; p = nodes_[p].parent)
        if (nodes_[p].taken_out)
            return none;
    return by_place_[place];
}

bool DirectoryTree::empty_folder(uint32_t folder) const
{
    for (const uint32_t i : below(folder))
        if (nodes_[i].folder || nodes_[i].live_file())
            return false;
    return true;
}

void DirectoryTree::children_changed(uint32_t parent)
{
    if (parent == none)
        roots_as_read_ = false;
    else
        nodes_[parent].children_as_read = false;
}

std::vector<uint32_t>& DirectoryTree::siblings(uint32_t parent)
{
    return parent == none ? roots_ : nodes_[parent].children;
}

const std::vector<uint32_t>& DirectoryTree::siblings(uint32_t parent) const
{
    return parent == none ? roots_ : nodes_[parent].children;
}

// The level a node's own name starts from: its folder's, or the root's.
uint32_t DirectoryTree::start_level(uint32_t index) const
{
    const Node& n = nodes_[index];
    return n.parent == none ? 0 : nodes_[n.parent].level;
}

void DirectoryTree::compose_path(uint32_t index)
{
    Node& n = nodes_[index];
    n.level = none;
    uint32_t level = start_level(index);
    if (level == none)
        return;  // its folder has no path
    // The name as a path component, up to its first NUL, split as "/E"
    // splits it.
    const std::string name = n.name;
    const size_t length = strnlen(name.data(), name.size());
    size_t start = 0;
    bool last_names_nothing = false;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && !platform::is_separator(name[i]))
            continue;
        const size_t part = i - start;
        const char* level_name = name.data() + start;
        start = i + 1;
        last_names_nothing = part == 0 || (part == 1 && level_name[0] == '.');
        if (last_names_nothing)
            continue;
        if (part == 2 && level_name[0] == '.' && level_name[1] == '.')
            return;  // never written
        level = child_level(level, level_name, part);
    }
    if (!n.folder && last_names_nothing)
        return;  // a file name that names no file
    nodes_[index].level = level;
}

void DirectoryTree::note_implicit(uint32_t index, int delta)
{
    // The levels a name with separators makes between its folder and
    // itself: folders no entry stands for. Other names make none, so this
    // costs nothing for them.
    const Node& n = nodes_[index];
    if (!n.has_path() || !(n.folder || n.live_file()))
        return;
    const uint32_t start = start_level(index);
    if (n.level == start)
        return;
    for (uint32_t l = levels_[n.level].parent; l != start && l != none; l = levels_[l].parent)
        levels_[l].implicit += uint32_t(delta);
}

void DirectoryTree::index(uint32_t index)
{
    const Node& n = nodes_[index];
    if (!n.has_path())
        return;
    levels_[n.level].entries.push_back(index);
    note_implicit(index, 1);
}

void DirectoryTree::unindex(uint32_t index)
{
    const Node& n = nodes_[index];
    if (!n.has_path())
        return;
    std::vector<uint32_t>& list = levels_[n.level].entries;
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i] == index) {
            list.erase(list.begin() + long(i));
            break;
        }
    note_implicit(index, -1);
}

void DirectoryTree::index_subtree(uint32_t index, bool add)
{
    std::vector<uint32_t> all{index};
    if (nodes_[index].folder) {
        const std::vector<uint32_t> rest = below(index);
        all.insert(all.end(), rest.begin(), rest.end());
    }
    for (const uint32_t i : all) {
        if (add) {
            compose_path(i);
            this->index(i);
        } else {
            unindex(i);
        }
    }
}

uint32_t DirectoryTree::make(Node node)
{
    node.made = true;
    const uint32_t parent = node.parent;
    const uint32_t index = uint32_t(nodes_.size());
    nodes_.push_back(std::move(node));
    siblings(parent).push_back(index);
    children_changed(parent);
    compose_path(index);
    this->index(index);
    return index;
}

uint32_t DirectoryTree::make_folder(uint32_t parent, const std::string& name)
{
    Node node;
    node.folder = true;
    node.name = name;
    node.parent = parent;
    node.children_as_read = false;
    return make(std::move(node));
}

uint32_t DirectoryTree::make_file(uint32_t parent, const std::string& name)
{
    Node node;
    node.folder = false;
    // Files made in one folder take the kind most of its files had before
    // any was made: worked out once per folder.
    auto kind = usual_kind_.find(parent);
    if (kind == usual_kind_.end())
        kind = usual_kind_.emplace(parent, usual_file_kind(parent)).first;
    node.entry_kind = kind->second;
    node.name = name;
    node.parent = parent;
    return make(std::move(node));
}

void DirectoryTree::take_out(uint32_t index)
{
    index_subtree(index, false);
    Node& n = nodes_[index];
    n.taken_out = true;
    children_changed(n.parent);
}

void DirectoryTree::mark_deleted(uint32_t index)
{
    Node& n = nodes_[index];
    if (!n.taken_out)
        note_implicit(index, -1);
    n.stored_size = n.expanded_size = n.checksum = n.data_offset = 0;
    if (!n.taken_out)
        note_implicit(index, 1);
}

void DirectoryTree::set_pending(uint32_t index, bool pending)
{
    Node& n = nodes_[index];
    if (!n.taken_out)
        note_implicit(index, -1);
    n.pending = pending;
    if (!n.taken_out)
        note_implicit(index, 1);
}

void DirectoryTree::move(uint32_t index, uint32_t parent, const std::string& name)
{
    index_subtree(index, false);
    Node& n = nodes_[index];
    if (parent != n.parent) {
        std::vector<uint32_t>& old = siblings(n.parent);
        for (size_t i = 0; i < old.size(); ++i)
            if (old[i] == index) {
                old.erase(old.begin() + long(i));
                break;
            }
        children_changed(n.parent);
        siblings(parent).push_back(index);
        children_changed(parent);
        n.parent = parent;
        // A top-level folder's kind and id are never read; nested, a
        // folder must say it is one, with id 0.
        if (n.folder && parent != none) {
            n.entry_kind = 0;
            n.tag = 0;
        }
    }
    nodes_[index].name = name;
    index_subtree(index, true);
}

uint8_t DirectoryTree::usual_file_kind(uint32_t folder) const
{
    std::map<uint8_t, size_t> counts;
    for (const uint32_t c : siblings(folder))
        if (!nodes_[c].taken_out && !nodes_[c].folder)
            ++counts[nodes_[c].entry_kind];
    uint8_t kind = 1;
    size_t most = 0;
    for (const auto& [k, count] : counts)
        if (count > most) {
            most = count;
            kind = k;
        }
    return kind;
}

}  // namespace tavmerk
