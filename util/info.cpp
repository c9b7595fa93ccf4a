// info: counts and sizes of the directory, one "key: value" line each.
#include <string>

#include "archive/layout.h"
#include "archive/reader.h"
#include "archive/room.h"
#include "engine/compact.h"
#include "util/commands.h"

namespace tavmerk {

int show_info(const ArchiveBytes& archive, UtilConsole& console)
{
    ArchiveReader reader;
    if (!archive.open(reader))
        return report_run_end(console, archive.name, {RunEnd::damaged});
    uint64_t live = 0, deleted = 0, expanded = 0, stored = 0;
    RecordCursor records = reader.records("", '/');
    while (records.next()) {
        const FileEntry& entry = records.entry();
        if (!entry.live()) {
            ++deleted;
            continue;
        }
        ++live;
        expanded += entry.expanded_size;
        stored += entry.stored_size;
    }
    if (records.end() != WalkEnd::complete)
        return report_run_end(console, archive.name, walk_result(records.end()));
    // Room kept for the directory to grow in (compaction keeps it too).
    const uint8_t* header = archive.directory ? archive.directory : archive.data;
    const uint64_t end = room_end(reader, marker_after_directory(header, archive.directory ? archive.directory_room
                                                                                           : archive.size));
    const uint64_t room = end > 0 ? end - header_size - reader.block_size() : 0;
    // What compaction with every version kept would leave.
    CompactSizes compacted;
    if (!compacted_size(reader, archive.size - archive.stray, archive.read_at, CompactOptions(), compacted))
        return report_run_end(console, archive.name, {RunEnd::damaged});
    const auto line = [&](const char* key, uint64_t value) {
        console.result(std::string(key) + ": " + std::to_string(value));
    };
    line("records", live + deleted);
    line("live_records", live);
    line("deleted_records", deleted);
    line("folders", records.folders());
    line("expanded_size", expanded);
    line("stored_size", stored);
    line("directory_size", reader.block_size());
    line("directory_room", room);
    line("file_size", archive.size);
    line("versions", compacted.versions);
    line("history_bytes", compacted.history_bytes);
    line("reclaimable", archive.size > compacted.new_size ? archive.size - compacted.new_size : 0);
    return util_ok;
}

int info_command(const std::string& archive_path, UtilConsole& console, const std::string& at)
{
    return with_mapped_archive(
        archive_path, console, [&](const ArchiveBytes& archive) { return show_info(archive, console); }, at);
}

}  // namespace tavmerk
