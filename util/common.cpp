// What the commands share: the archive mapped under a shared lock, and
// the words for how a run ended, the same in every command.
#include "engine/archive_commit.h"
#include "platform/platform.h"
#include "util/commands.h"
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
                        const std::function<int(const ArchiveBytes&)>& command)
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
    return command(archive);
}

}  // namespace tavmerk
