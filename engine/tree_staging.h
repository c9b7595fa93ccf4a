// Files and folders on disk staged into a change set (engine/change_set.h),
// as `tavmerk-util add` and `create` and the library take a tree. Links
// are never followed, and neither they nor anything else that is not a
// file or folder is taken; each is told to the caller, as is a file or
// folder that cannot be read. Names are taken in byte order, files and
// folders together, so that the same tree always gives the same directory.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/change_set.h"
#include "platform/platform.h"

namespace tavmerk {

enum class LeftOutItem {
    folder_unreadable,  // the folder cannot be opened or listed (`error` says why)
    link,
    not_regular,        // a FIFO, socket or device
    file_unreadable,    // the file cannot be opened (`error` says why)
};

struct TreeStaging {
    // The storage of the file staged at `archive_path`.
    std::function<Storage(const std::string& archive_path)> storage;
    // Told of each item left out, by its path on disk.
    std::function<void(const std::string& disk_path, LeftOutItem why, int error)> left_out;
};

// The folder at `disk_path` (absolute) as `archive_path`, and all below it.
void stage_folder(ChangeSet& changes, const std::string& disk_path, const std::string& archive_path,
                  const TreeStaging& staging);

// The item `item` of the open folder `parent`, at `disk_path` on disk, as
// `archive_path`.
void stage_item(ChangeSet& changes, const platform::Folder& parent, const std::string& disk_path,
                const std::string& archive_path, const platform::FolderItem& item, const TreeStaging& staging);

// The items inside `folder` in byte order of their names; false when it
// cannot be listed.
bool sorted_items(const platform::Folder& folder, std::vector<platform::FolderItem>& items);

// An absolute folder path and a name joined.
std::string joined_path(const std::string& folder, const std::string& name);

}  // namespace tavmerk
