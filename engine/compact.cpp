#include "engine/compact.h"

#include <vector>

#include "archive/layout.h"
#include "archive/reader.h"
#include "checksum/checksum.h"
#include "platform/platform.h"
#include "engine/archive_commit.h"

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

CompactStatus compact_archive(const std::string& archive_path, const std::string& output_path,
                              CompactResult& result, const std::function<void(const FileEntry&)>& outside)
{
    platform::FileView view;
    switch (platform::map_file(archive_path, view, platform::LockKind::exclusive)) {
    case platform::ViewStatus::ok:
        break;
    case platform::ViewStatus::cannot_open:
        return CompactStatus::cannot_open;
    case platform::ViewStatus::cannot_map:
        return CompactStatus::damaged;
    }
    uint64_t directory_room = 0;
    const uint8_t* header = committed_header(view, directory_room);
    ArchiveReader reader;
    if (!reader.open(header, directory_room, view.size()))
        return CompactStatus::damaged;
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
        return CompactStatus::damaged;
    if (data_outside)
        return CompactStatus::data_outside;

    uint64_t data_size = 0;
    const std::vector<uint8_t> directory = compacted_directory(reader, data_size);
    result.old_size = view.size();
    result.new_size = directory.size() + data_size;

    const bool in_place = output_path.empty();
    std::string folder_path, name, temp_name;
    platform::Folder folder;
    platform::OutputFile out;
    if (!split_path(in_place ? archive_path : output_path, folder_path, name) ||
        !platform::open_root_folder(folder_path, false, folder))
        return CompactStatus::write_failed;
    const bool created = in_place ? platform::create_temp_file(folder, name, out, temp_name)
                                  : platform::create_file(folder, name, out) == platform::CreateStatus::created;
    if (!created)
        return CompactStatus::write_failed;
    const std::string& written_name = in_place ? temp_name : name;
    bool written = write_compacted(out, directory, reader, view);
    written = platform::close_file(out) && written;
    if (written && in_place) {
        view = platform::FileView();  // Windows renames nothing over a file in use
        written = platform::replace_file(folder, temp_name, name);
        if (written && !platform::sync_folder(folder))
            return CompactStatus::write_failed;  // in place, but perhaps not yet on the disk
    }
    if (!written) {
        platform::remove_file(folder, written_name);
        return CompactStatus::write_failed;
    }
    return CompactStatus::done;
}

}  // namespace tavmerk
