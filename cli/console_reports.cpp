#include "cli/console_reports.h"

#include <zlib.h>


namespace tavmerk {

namespace {

// The walk's own lines, the same in both runs. False for any other record.
bool report_walk_line(const FileEntry& entry)
{
    if (!entry.live())
        say("Deleted file %s\n", entry.path);
    else if (entry.unsafe)
        say("Unsafe path %s\n", entry.path);
    else
        return false;
    return true;
}

}  // namespace

void ConsoleExpandReports::record(const ExpandReport& report)
{
    const std::string& path = report.entry.path;
    switch (report.outcome) {
    case ExpandOutcome::deleted:
    case ExpandOutcome::unsafe:
        report_walk_line(report.entry);
        return;
    case ExpandOutcome::data_outside:
        say("Error in file data %s\n", path);
        return;
    case ExpandOutcome::cannot_create:
        say("Can't create file %s\n", path);
        return;
    case ExpandOutcome::exists:
        say("File %s alredy exists\n", path);
        pause_for_key();
        return;
    case ExpandOutcome::write_failed:
        if (report.inflate_result != Z_OK)
            say("Error unpacking %d\n", report.inflate_result);
        say("Can't write file %s\n", path);
        return;
    case ExpandOutcome::written:
        break;
    }
    if (report.inflate_result != Z_OK)
        say("Error unpacking %d\n", report.inflate_result);
    say(report.entry.kind == RecordKind::stored ? "Unpacked file %s\n" : "%s\n", path);
}

void ConsoleRepackReports::started()
{
    say("Packing...\n");
}

void ConsoleRepackReports::record(const RepackReport& report)
{
    const std::string& path = report.entry.path;
    switch (report.outcome) {
    case RepackOutcome::deleted:
    case RepackOutcome::unsafe:
        report_walk_line(report.entry);
        return;
    case RepackOutcome::not_regular:
        say("Not a regular file %s\n", path);
        return;
    case RepackOutcome::too_large:
        say("File %s too large\n", path);
        return;
    case RepackOutcome::compress_failed:
        // The record keeps its old data; its path line still follows.
        say("Error packing %d\n", report.compress_result);
        say("%s\n", path);
        return;
    case RepackOutcome::appended:
        say(report.entry.kind == RecordKind::stored ? "Unpacked file\n %s\n" : "%s\n", path);
        return;
    case RepackOutcome::missing:  // passed over silently
    case RepackOutcome::unreadable:
    case RepackOutcome::unchanged:
    case RepackOutcome::changed:
    case RepackOutcome::data_outside:
        return;
    }
}

bool report_run_end(RunMode mode, const RunResult& result, const std::string& archive_path)
{
    switch (result.end) {
    case RunEnd::completed:
        return true;
    case RunEnd::cannot_open:
        say(mode == RunMode::expand ? "Can't open dir file %s\n" : "Can't create data file %s\n", archive_path);
        break;
    case RunEnd::damaged:
    case RunEnd::data_outside:
        say("Error in dir file %s\n", archive_path);
        break;
    case RunEnd::bad_folder_id:
        say("Error in dir id\n");
        pause_for_key();
        break;
    case RunEnd::write_failed:
        say("Can't write data file %s\n", archive_path);
        break;
    }
    return false;
}

}  // namespace tavmerk
