// What the commands share: the archive mapped under a shared lock, and
// the words for how a run ended, the same in every command.
#include "engine/archive_commit.h"
#include "platform/platform.h"
#include "util/commands.h"
#include "engine/history.h"
#include "archive/path_rules.h"

namespace tavmerk {

int report_run_end(UtilConsole& console, const std::string& archive_name, const RunResult& result)
{
    switch (result.end) {
    case RunEnd::completed:
        return util_ok;
    case RunEnd::cannot_open:
        console.error(archive_name + ": " +
                      (result.error == platform::not_regular_file ? std::string("not a regular file")
                                                                   : with_reason("cannot open", result.error)));
        break;
    case RunEnd::damaged:
        console.error(archive_name + ": damaged directory");
        break;
    case RunEnd::bad_folder_id:
        console.error(archive_name + ": bad folder id in the directory");
        break;
    case RunEnd::data_outside:
        console.error(archive_name + ": records with data outside the file; left untouched");
        break;
    case RunEnd::write_failed:
        console.error(archive_name + ": " + with_reason("write failed", result.error) +
                      "; the archive was left as it was");
        break;
    }
    return util_failed;
}

int cannot_open_folder(UtilConsole& console, const std::string& folder_path, int error)
{
    console.error(escape_name(folder_path) + ": " + with_reason("cannot open the folder", error));
    return util_failed;
}

int with_mapped_archive(const std::string& archive_path, UtilConsole& console,
                        const std::function<int(const ArchiveBytes&)>& command, const std::string& at)
{
    platform::FileView view;
    // Shared, as for an expansion: a repack of the same archive waits.
    if (platform::map_file(archive_path, view, platform::LockKind::shared) == platform::ViewStatus::cannot_open)
        return report_run_end(console, escape_name(archive_path), {RunEnd::cannot_open, platform::last_error()});
    ArchiveBytes archive;
    archive.directory = committed_header(view, archive.directory_room, &archive.stray);
    if (archive.directory == view.data())
        archive.directory = nullptr;
    archive.data = view.data();
    archive.size = view.size();
    archive.read_at = [&view](uint64_t offset, uint8_t* dest, size_t size) {
        return view.read_at(offset, dest, size);
    };
    archive.name = escape_name(archive_path);
    if (at.empty())
        return command(archive);
    // The archive as it was at a version: its directory read from the
    // history, its data from the same file.
    ArchiveReader current, reader;
    if (!archive.open(current))
        return report_run_end(console, archive.name, {RunEnd::damaged});
    std::vector<uint8_t> image;
    const VersionOpen opened = open_version(archive.read_at, current, at, image, reader);
    if (opened != VersionOpen::ok) {
        console.error(archive.name + ": " + version_problem(opened, at));
        return util_failed;
    }
    archive.directory = image.data();
    archive.directory_room = image.size();
    archive.stray = 0;
    return command(archive);
}

}  // namespace tavmerk
