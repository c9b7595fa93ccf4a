// compact: the archive rewritten with only the data its kept versions use.
#include <string>

#include "engine/compact.h"
#include "util/commands.h"
#include "archive/path_rules.h"

namespace tavmerk {

int compact_command(const std::string& archive_path, const std::string& output_path, uint32_t keep,
                    UtilConsole& console)
{
    console.progress("compacting", 0);
    CompactSizes sizes;
    CompactOptions options;
    options.keep = keep;
    const RunResult result = compact_archive(archive_path, output_path, sizes, [&](const FileEntry& entry) {
        console.error(shown_path(entry.path) + ": data outside the file");
    }, options);
    console.end_progress();
    if (!result.completed()) {
        // A failed write is told of the file being written.
        const bool writing = result.end == RunEnd::write_failed && !output_path.empty();
        return report_run_end(console, escape_name(writing ? output_path : archive_path), result);
    }
    const uint64_t reclaimed = sizes.old_size > sizes.new_size ? sizes.old_size - sizes.new_size : 0;
    console.result("kept " + std::to_string(sizes.versions_kept) +
                   (sizes.versions_kept == 1 ? " version" : " versions"));
    console.result("reclaimed " + std::to_string(reclaimed) + " bytes");
    return util_ok;
}

}  // namespace tavmerk
