// Folders below the output root, opened one level at a time so that a link
// inside the tree is never followed and a path has no length limit. The
// folders of the previous file stay open: files of one folder, and folders
// this run already made, cost no further system calls.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace tavmerk {

using platform::MissingFolders;

class OutputTree {
public:
    // `root` is the absolute root path ending in a separator. With
    // MissingFolders::make, missing folders (the root's own levels
    // included) are made on the way.
    OutputTree(std::string root, platform::MissingFolders missing);

    // Opens the folder that holds the file at `path` (which starts with the
    // root) and sets `name` to the file's own name. Returns nullptr when a
    // folder on the way cannot be opened, or when the path ends in a
    // separator or "." and so names no file (its folders are opened, and
    // made, all the same).
    const platform::Folder* open_parent(const std::string& path, std::string& name);

    // Why the last open_parent gave nullptr: the system's reason a folder
    // could not be opened (platform::last_error), 0 when the path names no
    // file.
    int error() const { return error_; }

private:
    struct Level {
        std::string name;
        platform::Folder folder;  // may be closed past `max_open_levels`
    };

    bool open_root();
    const platform::Folder* folder_at(size_t depth);

    std::string root_;
    platform::MissingFolders missing_;
    platform::Folder root_folder_;
    std::vector<Level> levels_;
    std::vector<std::string> wanted_;
    int error_ = 0;
};

}  // namespace tavmerk
