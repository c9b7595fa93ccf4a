// list: every record of the directory, as text or JSON Lines.
#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>

#include "archive/layout.h"
#include "archive/reader.h"
#include "util/commands.h"
#include "archive/path_rules.h"

namespace tavmerk {

namespace {

std::string text_line(const FileEntry& entry)
{
    char fields[64];
    std::snprintf(fields, sizeof fields, "%-7s %10" PRIu32 " %10" PRIu32 " %10" PRIu32 "  ", record_kind_name(entry.kind),
                  entry.expanded_size, entry.stored_size, entry.data_offset);
    return fields + escape_name(entry.path);
}

}  // namespace

std::string record_json(const FileEntry& entry, const char* change)
{
    nlohmann::ordered_json line;
    line["path"] = to_valid_utf8(entry.path);
    if (!is_valid_utf8(entry.path))
        line["path_hex"] = hex_bytes(entry.path);
    line["kind"] = record_kind_name(entry.kind);
    line["expanded_size"] = entry.expanded_size;
    line["stored_size"] = entry.stored_size;
    line["data_offset"] = entry.data_offset;
    line["checksum"] = entry.checksum;
    if (change)
        line["change"] = change;
    return line.dump();
}

int list_records(const ArchiveBytes& archive, bool json, UtilConsole& console)
{
    ArchiveReader reader;
    if (!archive.open(reader))
        return report_run_end(console, archive.name, {RunEnd::damaged});
    RecordCursor records = reader.records("", '/');
    while (records.next())
        console.result(json ? record_json(records.entry()) : text_line(records.entry()));
    return report_run_end(console, archive.name, walk_result(records.end()));
}

int list_command(const std::string& archive_path, bool json, UtilConsole& console, const std::string& at)
{
    return with_mapped_archive(
        archive_path, console, [&](const ArchiveBytes& archive) { return list_records(archive, json, console); }, at);
}

}  // namespace tavmerk
