#include "engine/tree_staging.h"

#include <algorithm>
#include <cstdint>

namespace tavmerk {

bool sorted_items(const platform::Folder& folder, std::vector<platform::FolderItem>& items)
{
    if (!platform::list_folder(folder, items))
        return false;
    std::sort(items.begin(), items.end(),
              [](const platform::FolderItem& a, const platform::FolderItem& b) { return a.name < b.name; });
    return true;
}

std::string joined_path(const std::string& folder, const std::string& name)
{
    return !folder.empty() && platform::is_separator(folder.back()) ? folder + name
                                                                    : folder + platform::separator + name;
}

namespace {

// The folder `name` of `parent` (null: `disk_path` itself) and all below
// it. Each level is opened from the one above, so that a deep tree costs
// the system one name per level, not its whole path.
void stage_folder_in(ChangeSet& changes, const platform::Folder* parent, const std::string& name,
                     const std::string& disk_path, const std::string& archive_path, const TreeStaging& staging)
{
    changes.mkdir(archive_path);
    platform::Folder folder;
    std::vector<platform::FolderItem> items;
    const bool opened = parent ? platform::open_child_folder(*parent, name, platform::MissingFolders::refuse, folder)
                               : platform::open_root_folder(disk_path, platform::MissingFolders::refuse, folder);
    if (!opened || !sorted_items(folder, items)) {
        staging.left_out(disk_path, LeftOutItem::folder_unreadable, platform::last_error());
        return;
    }
    for (const platform::FolderItem& item : items)
        stage_item(changes, folder, joined_path(disk_path, item.name), archive_path + "/" + item.name, item, staging);
}

}  // namespace

void stage_folder(ChangeSet& changes, const std::string& disk_path, const std::string& archive_path,
                  const TreeStaging& staging)
{
    stage_folder_in(changes, nullptr, std::string(), disk_path, archive_path, staging);
}

void stage_item(ChangeSet& changes, const platform::Folder& parent, const std::string& disk_path,
                const std::string& archive_path, const platform::FolderItem& item, const TreeStaging& staging)
{
    switch (item.kind) {
    case platform::ItemKind::folder:
        return stage_folder_in(changes, &parent, item.name, disk_path, archive_path, staging);
    case platform::ItemKind::link:
        return staging.left_out(disk_path, LeftOutItem::link, 0);
    case platform::ItemKind::other:
        return staging.left_out(disk_path, LeftOutItem::not_regular, 0);
    case platform::ItemKind::file:
        break;
    }
    // Opened once here, so that a file that cannot be read is left out on
    // its own rather than failing the whole commit.
    platform::InputFile in;
    uint64_t size = 0;
    if (platform::open_regular_file(parent, item.name, UINT64_MAX, in, size) != platform::ReadStatus::ok)
        return staging.left_out(disk_path, LeftOutItem::file_unreadable, platform::last_error());
    changes.put(archive_path, Content::of_file(disk_path), staging.storage(archive_path));
}

}  // namespace tavmerk
