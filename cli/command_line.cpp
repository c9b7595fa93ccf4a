#include "cli/command_line.h"

#include "cli/console.h"
#include "cli/console_reports.h"
#include "platform/platform.h"

namespace tavmerk {

const char* const usage_text =
    "Usage: tavmerk.exe [option] pak_file extract_path\nOption:\n/e - expand files\n/p - group files\n";

RunMode parse_option(const std::string& option)
{
    std::string upper = option;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    if (upper == "/E")
        return RunMode::expand;
    if (upper == "/P")
        return RunMode::repack;
    return RunMode::none;
}

bool run_expand(const std::string& archive_path, const std::string& extract_root, unsigned workers)
{
    ExpandOptions options;
    options.workers = workers;
    ConsoleExpandReports reports;
    return report_run_end(RunMode::expand, expand_archive(archive_path, extract_root, options, reports), archive_path);
}

bool run_repack(const std::string& archive_path, const std::string& extract_root, unsigned workers)
{
    RepackOptions options;
    options.workers = workers;
    ConsoleRepackReports reports;
    return report_run_end(RunMode::repack, pack_archive(archive_path, extract_root, options, reports), archive_path);
}

int run_tool(int argc, char** argv, unsigned workers)
{
    constexpr int failure = -1;
    if (argc != 4) {
        say(usage_text);
        return failure;
    }
    const RunMode mode = parse_option(argv[1]);
    const std::string extract_root = make_extract_root(argv[3]);
    const std::string archive_path = make_archive_path(argv[2]);
    // Empty when a relative path met a current directory that is gone.
    const bool paths_known = !extract_root.empty() && !archive_path.empty();
    if (!paths_known && mode != RunMode::none) {
        report_run_end(mode, {RunEnd::cannot_open}, argv[2]);
        return failure;
    }
    switch (mode) {
    case RunMode::expand:
        return run_expand(archive_path, extract_root, workers) ? 0 : failure;
    case RunMode::repack:
        return run_repack(archive_path, extract_root, workers) ? 0 : failure;
    case RunMode::none:
        break;
    }
    say(usage_text);
    return failure;
}

}  // namespace tavmerk
