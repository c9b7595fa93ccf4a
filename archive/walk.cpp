#include "archive/walk.h"

#include <cstring>
#include <utility>

namespace tavmerk {

RecordCursor::RecordCursor(const uint8_t* block, size_t block_size, uint32_t root_folder_count, std::string root,
                           char separator, PathComposing paths)
    : entries_(block, block_size, root_folder_count),
      root_length_(root.size()),
      separator_(separator),
      compose_(paths == PathComposing::compose)
{
    entry_.path = std::move(root);
}

// Keeps the folders above the next entries: the levels deeper than this
// folder's are left behind, its own is added.
void RecordCursor::enter_folder(const DirectoryEntry& folder)
{
    ++folders_;
    if (!compose_)
        return;
    levels_.resize(folder.depth);
    const size_t prefix_length = folder.depth == 0 ? root_length_ : levels_.back().path_length;
    const std::string_view name = folder.component();
    const bool unsafe =
        (folder.depth > 0 && levels_.back().unsafe) || name_has_parent_ref(name.data(), name.size());
    std::string& path = entry_.path;
    path.resize(prefix_length);
    path.append(name.data(), name.size());
    path.push_back(separator_);
    levels_.push_back(Level{path.size(), unsafe});
}

void RecordCursor::read_file(const DirectoryEntry& file)
{
    FileEntry& e = entry_;
    e.record_at = file.record_at;
    e.stored_size = file.stored_size();
    e.expanded_size = file.expanded_size();
    e.checksum = file.checksum();
    e.data_offset = file.data_offset();
    e.kind = file.kind();
    e.unsafe = false;
    if (compose_) {
        // A file is never at the top: its folder's level is the last one
        // at its depth.
        const Level& folder = levels_[file.depth - 1];
        const std::string_view name = file.component();
        e.path.resize(folder.path_length);
        e.path.append(name.data(), name.size());
        e.unsafe = e.live() && (folder.unsafe || name_has_parent_ref(name.data(), name.size()));
    }
}

bool RecordCursor::next()
{
    while (entries_.next()) {
        const DirectoryEntry& e = entries_.entry();
        if (!e.folder) {
            read_file(e);
            return true;
        }
        enter_folder(e);
    }
    return false;
}

bool name_has_parent_ref(const char* name, size_t length)
{
    // Only a pair of dots can start one: each is looked at with what
    // stands on either side (a separator or the name's end).
    const char* const end = name + length;
    for (const char* dot = name; dot < end && (dot = static_cast<const char*>(std::memchr(dot, '.', size_t(end - dot)))); ++dot)
        if (end - dot >= 2 && dot[1] == '.' && (dot == name || platform::is_separator(dot[-1])) &&
            (end - dot == 2 || platform::is_separator(dot[2])))
            return true;
    return false;
}

WalkEnd check_directory(const uint8_t* block, size_t block_size, uint32_t root_folder_count)
{
    EntryCursor entries(block, block_size, root_folder_count);
    while (entries.next()) {
    }
    return entries.end();
}

}  // namespace tavmerk
