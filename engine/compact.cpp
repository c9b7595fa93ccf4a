#include "engine/compact.h"

#include <vector>

#include "archive/layout.h"
#include "archive/reader.h"
#include "checksum/checksum.h"
#include "engine/archive_commit.h"
#include "platform/platform.h"

namespace tavmerk {

namespace {

// The new header and directory: the old ones with each live record's
// data moved to follow the directory, in directory order.
std::vector<uint8_t> compacted_directory(const ArchiveReader& reader, uint64_t& data_size)
{
    std::vector<uint8_t> directory(reader.header(), reader.block() + reader.block_size());
    uint64_t at = directory.size();
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& entry = records.entry();
        if (!entry.live())
            continue;
        set_data_offset(directory.data() + directory_block_at + entry.record_at, uint32_t(at));
        at += entry.stored_size;
    }
    const Crc32 crc;
    set_directory_crc(directory.data(), crc.compute(directory.data() + directory_block_at, reader.block_size()));
    data_size = at - directory.size();
    return directory;
}

// The new archive, written to `out`: its directory, then each live
// record's stored bytes copied by the system from the old file.
bool write_compacted(platform::OutputFile& out, const std::vector<uint8_t>& directory, const ArchiveReader& reader,
                     const platform::FileView& view)
{
    if (!platform::write_file(out, directory.data(), directory.size()))
        return false;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& entry = records.entry();
        if (entry.live() && !platform::write_file_from(out, view, entry.data_offset, entry.stored_size))
            return false;
    }
    return platform::sync_file(out);
}

// Splits an absolute path into its folder and its last name.
bool split_path(const std::string& path, std::string& folder, std::string& name)
{
    size_t at = path.size();
    while (at > 0 && !platform::is_separator(path[at - 1]))
        --at;
    if (at == 0 || at == path.size())
        return false;
    folder = path.substr(0, at);
    name = path.substr(at);
    return true;
}

}  // namespace

RunResult compact_archive(const std::string& archive_path, const std::string& output_path, CompactSizes& sizes,
                          const std::function<void(const FileEntry&)>& outside)
{
    const bool in_place = output_path.empty();
    // In place, a link at the archive's path stays: its target is compacted.
    std::string target_path = in_place ? platform::resolved_path(archive_path) : archive_path;
    if (target_path.empty())
        target_path = archive_path;  // cannot be found: the open says so
    platform::FileView view;
    ArchiveReader reader;
    const RunResult opened = map_committed_archive(target_path, platform::LockKind::exclusive, view, reader);
    if (!opened.completed())
        return opened;
    // The whole walk first: nothing is written for an archive that a walk
    // cannot finish or whose data lies outside it.
    bool data_outside = false;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        if (records.entry().live() && !reader.data_inside(records.entry())) {
            data_outside = true;
            if (outside)
                outside(records.entry());
        }
    }
    if (records.end() != WalkEnd::complete)
        return walk_result(records.end());
    if (data_outside)
        return {RunEnd::data_outside};

    uint64_t data_size = 0;
    const std::vector<uint8_t> directory = compacted_directory(reader, data_size);
    sizes.old_size = view.size();
    sizes.new_size = directory.size() + data_size;

    // Either way the new archive is written whole under a temporary name
    // beside its place, synced, and only then given its name, the folder
    // synced: a crash leaves the old archive, or no new one, or the whole
    // new one at the name, never one in part.
    std::string folder_path, name, temp_name;
    platform::Folder folder;
    platform::OutputFile out;
    if (!split_path(in_place ? target_path : output_path, folder_path, name) ||
        !platform::open_root_folder(folder_path, platform::MissingFolders::refuse, folder) ||
        !platform::create_temp_file(folder, name, out, temp_name))
        return {RunEnd::write_failed, platform::last_error()};
    // The new file is locked before it takes the name, and the old one
    // stays locked until the name is on disk: a run waiting for the lock
    // or opening the path meanwhile never writes into a file about to be
    // replaced (UpdateFile::open goes on to the file at the path).
    bool written = (!in_place || platform::copy_permissions(target_path, out)) &&
                   write_compacted(out, directory, reader, view) &&
                   platform::lock_file(out, platform::LockKind::exclusive);
    if (written && in_place && !platform::can_replace_open_file)
        view = platform::FileView();  // Windows: a run holding the old file open makes the rename fail instead
    if (written)
        written = in_place ? platform::replace_file(folder, temp_name, name)
                           : platform::rename_new_file(folder, temp_name, name);
    if (!written) {
        const int error = platform::last_error();  // before the clean-up's calls
        platform::close_file(out);
        platform::remove_file(folder, temp_name);
        return {RunEnd::write_failed, error};
    }
    if (!platform::sync_folder(folder))
        return {RunEnd::write_failed, platform::last_error()};  // in place, but perhaps not yet on the disk
    return {};
}

}  // namespace tavmerk
