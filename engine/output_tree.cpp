#include "engine/output_tree.h"

#include <utility>

namespace tavmerk {

namespace {

// Open folder handles are limited by the process; deeper levels keep only
// their names and the deepest handle, and reopen from the nearest open
// ancestor when the walk climbs back.
constexpr size_t max_open_levels = 128;

}  // namespace

OutputTree::OutputTree(std::string root, platform::MissingFolders missing)
    : root_(std::move(root)), missing_(missing)
{
}

bool OutputTree::open_root()
{
    // Tried again for every file while it fails, as folder creation is.
    if (!root_folder_.is_open())
        platform::open_root_folder(root_, missing_, root_folder_);
    return root_folder_.is_open();
}

const platform::Folder* OutputTree::folder_at(size_t depth)
{
    return depth == 0 ? &root_folder_ : &levels_[depth - 1].folder;
}

const platform::Folder* OutputTree::open_parent(const std::string& path, std::string& name)
{
    // Split the part below the root into folder levels and the file name.
    // Empty and "." levels name the folder they stand in.
    wanted_.clear();
    size_t start = root_.size();
    for (size_t i = start; i < path.size(); ++i) {
        if (!platform::is_separator(path[i]))
            continue;
        if (i > start && !(i - start == 1 && path[start] == '.'))
            wanted_.emplace_back(path, start, i - start);
        start = i + 1;
    }
    name.assign(path, start, std::string::npos);
    error_ = 0;
    if (!open_root()) {
        error_ = platform::last_error();
        return nullptr;
    }

    // Keep the levels shared with the previous file.
    size_t same = 0;
    while (same < levels_.size() && same < wanted_.size() && levels_[same].name == wanted_[same])
        ++same;
    levels_.resize(same);

    // Nearest open ancestor of the first level still to open.
    size_t open_depth = same;
    while (open_depth > 0 && !folder_at(open_depth)->is_open())
        --open_depth;

    for (size_t depth = open_depth; depth < wanted_.size(); ++depth) {
        const std::string& level_name = depth < levels_.size() ? levels_[depth].name : wanted_[depth];
        platform::Folder folder;
        if (!platform::open_child_folder(*folder_at(depth), level_name, missing_, folder)) {
            error_ = platform::last_error();
            levels_.resize(depth);
            return nullptr;
        }
        if (depth < levels_.size()) {
            levels_[depth].folder = std::move(folder);
        } else {
            levels_.push_back(Level{level_name, std::move(folder)});
        }
        // Past the limit, a level's handle is closed once its child is open.
        if (depth >= max_open_levels)
            levels_[depth - 1].folder = platform::Folder();
    }
    // A name that names no file still has its folders made first, as any
    // file's are.
    if (name.empty() || name == ".")
        return nullptr;
    return folder_at(wanted_.size());
}

}  // namespace tavmerk
