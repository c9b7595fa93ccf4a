// list and info: the directory read through ArchiveReader, nothing else.
#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>

#include "archive/layout.h"
#include "archive/reader.h"
#include "tool/archive_commit.h"
#include "tool/name_encoding.h"
#include "tool/util_commands.h"

namespace tavmerk {

namespace {

const char* kind_name(RecordKind kind)
{
    switch (kind) {
    case RecordKind::stored:
        return "stored";
    case RecordKind::compressed:
        return "zlib";
    case RecordKind::deleted:
        break;
    }
    return "deleted";
}

std::string text_line(const FileEntry& entry)
{
    char fields[64];
    std::snprintf(fields, sizeof fields, "%-7s %10" PRIu32 " %10" PRIu32 " %10" PRIu32 "  ", kind_name(entry.kind),
                  entry.expanded_size, entry.stored_size, entry.data_offset);
    return fields + escape_name(entry.path);
}

std::string json_line(const FileEntry& entry)
{
    nlohmann::ordered_json line;
    line["path"] = to_valid_utf8(entry.path);
    if (!is_valid_utf8(entry.path))
        line["path_hex"] = hex_bytes(entry.path);
    line["kind"] = kind_name(entry.kind);
    line["expanded_size"] = entry.expanded_size;
    line["stored_size"] = entry.stored_size;
    line["data_offset"] = entry.data_offset;
    line["checksum"] = entry.checksum;
    return line.dump();
}

int walk_failed(UtilConsole& console, const std::string& name, WalkEnd end)
{
    return end == WalkEnd::bad_folder_id ? bad_folder_id(console, name) : damaged(console, name);
}

}  // namespace

int cannot_open(UtilConsole& console, const std::string& archive_name, int error)
{
    const bool not_regular = error == platform::not_regular_file;
    console.error(archive_name + ": " + (not_regular ? "not a regular file" : with_reason("cannot open", error)));
    return util_failed;
}

int cannot_open_folder(UtilConsole& console, const std::string& folder_path, int error)
{
    console.error(escape_name(folder_path) + ": " + with_reason("cannot open the folder", error));
    return util_failed;
}

int damaged(UtilConsole& console, const std::string& archive_name)
{
    console.error(archive_name + ": damaged directory");
    return util_failed;
}

int bad_folder_id(UtilConsole& console, const std::string& archive_name)
{
    console.error(archive_name + ": bad folder id in the directory");
    return util_failed;
}

int with_mapped_archive(const std::string& archive_path, UtilConsole& console,
                        const std::function<int(const ArchiveBytes&)>& command)
{
    platform::FileView view;
    // Shared, as for an expansion: a repack of the same archive waits.
    if (platform::map_file(archive_path, view, platform::LockKind::shared) == platform::ViewStatus::cannot_open)
        return cannot_open(console, escape_name(archive_path), platform::last_error());
    ArchiveBytes archive;
    archive.directory = committed_header(view, archive.directory_room);
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

int list_records(const ArchiveBytes& archive, bool json, UtilConsole& console)
{
    ArchiveReader reader;
    if (!archive.open(reader))
        return damaged(console, archive.name);
    RecordCursor records = reader.records("", '/');
    while (records.next())
        console.result(json ? json_line(records.entry()) : text_line(records.entry()));
    return records.end() == WalkEnd::complete ? util_ok : walk_failed(console, archive.name, records.end());
}

int show_info(const ArchiveBytes& archive, UtilConsole& console)
{
    ArchiveReader reader;
    if (!archive.open(reader))
        return damaged(console, archive.name);
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
        return walk_failed(console, archive.name, records.end());
    // What compaction leaves: the header, the directory and each live
    // record's data (records sharing data counted each time).
    const uint64_t kept = header_size + reader.block_size() + stored;
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
    line("file_size", archive.size);
    line("reclaimable", archive.size > kept ? archive.size - kept : 0);
    return util_ok;
}

int list_command(const std::string& archive_path, bool json, UtilConsole& console)
{
    return with_mapped_archive(archive_path, console,
                               [&](const ArchiveBytes& archive) { return list_records(archive, json, console); });
}

int info_command(const std::string& archive_path, UtilConsole& console)
{
    return with_mapped_archive(archive_path, console,
                               [&](const ArchiveBytes& archive) { return show_info(archive, console); });
}

}  // namespace tavmerk
