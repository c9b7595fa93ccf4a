// log: the archive's versions, newest first.
#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>

#include "archive/path_rules.h"
#include "engine/history.h"
#include "util/commands.h"

namespace tavmerk {

namespace {

std::string text_line(const VersionInfo& v)
{
    char counts[64] = "-";
    if (v.counts_known)
        std::snprintf(counts, sizeof counts, "+%" PRIu32 " ~%" PRIu32 " -%" PRIu32, v.added, v.changed, v.removed);
    std::string line = std::to_string(v.version) + "  " + (v.time_known ? utc_time_text(v.time) : "-") + "  " +
                       std::to_string(v.files) + (v.files == 1 ? " file  " : " files  ") + counts + "  " +
                       (v.counts_known ? escape_name(v.summary) : "(first recorded)");
    if (!v.data_kept)
        line += "  (data dropped)";
    return line;
}

std::string json_line(const VersionInfo& v)
{
    nlohmann::ordered_json line;
    line["version"] = v.version;
    line["time"] = v.time_known ? nlohmann::ordered_json(utc_time_text(v.time)) : nlohmann::ordered_json(nullptr);
    line["files"] = v.files;
    const auto count = [&](uint32_t n) { return v.counts_known ? nlohmann::ordered_json(n) : nlohmann::ordered_json(nullptr); };
    line["added"] = count(v.added);
    line["changed"] = count(v.changed);
    line["removed"] = count(v.removed);
    line["summary"] = to_valid_utf8(v.summary);
    line["data_kept"] = v.data_kept;
    return line.dump();
}

}  // namespace

int show_log(const ArchiveBytes& archive, bool json, UtilConsole& console)
{
    ArchiveReader reader;
    if (!archive.open(reader))
        return report_run_end(console, archive.name, {RunEnd::damaged});
    const History history = read_history(HistorySource{&reader, reader.file_size(), archive.read_at});
    for (const VersionInfo& v : history.versions)
        console.result(json ? json_line(v) : text_line(v));
    switch (history.end) {
    case HistoryEnd::complete:
        break;
    case HistoryEnd::repack:
        // In JSON Lines every line of the output is a version.
        if (json)
            console.warning(archive.name + ": history ends at a repack");
        else
            console.result("history ends at a repack");
        break;
    case HistoryEnd::damaged: {
        const std::string line = "history damaged before version " + std::to_string(history.damaged_before);
        if (json)
            console.error(archive.name + ": " + line);
        else
            console.result(line);
        return util_problems;
    }
    }
    return util_ok;
}

int log_command(const std::string& archive_path, bool json, UtilConsole& console)
{
    return with_mapped_archive(archive_path, console,
                               [&](const ArchiveBytes& archive) { return show_log(archive, json, console); });
}

}  // namespace tavmerk
