// test: the verification engine (engine/verify.h) with its findings turned
// into lines, printed in directory order.
#include "engine/verify.h"
#include "util/commands.h"
#include "archive/path_rules.h"

namespace tavmerk {

namespace {

class TestLines : public VerifyEvents {
public:
    TestLines(UtilConsole& console, size_t root_length) : console_(console), root_length_(root_length) {}

    void bad_directory_crc() override { console_.result("<directory>: bad directory_crc"); }

    bool record(const VerifyReport& report) override
    {
        const std::string path = shown_path(report.entry.path, root_length_);
        for (const VerifyNote& note : report.problems)
            console_.result(path + ": " + describe(note));
        for (const VerifyNote& note : report.warnings)
            console_.warning(path + ": " + describe(note));
        console_.progress("testing", ++tested_);
        return true;
    }

private:
    UtilConsole& console_;
    size_t root_length_;
    uint64_t tested_ = 0;
};

}  // namespace

int test_records(const ArchiveBytes& archive, const TestOptions& options, UtilConsole& console)
{
    ArchiveReader reader;
    if (!archive.open(reader))
        return report_run_end(console, archive.name, {RunEnd::damaged});
    VerifyOptions verify;
    verify.workers = options.workers;
    verify.tree_root = options.tree_root;
    verify.read_at = archive.read_at;
    TestLines lines(console, options.tree_root.size());
    const VerifyResult result = verify_records(reader, verify, lines);
    console.end_progress();
    uint64_t problems = result.problems;
    if (archive.stray > 0) {
        console.result("<end>: " + std::to_string(archive.stray) +
                       " bytes that look like an unfinished commit's record but are none; left as they are");
        ++problems;
    }
    int status = problems > 0 ? util_problems : util_ok;
    if (result.out_of_memory) {
        console.error(archive.name + ": not enough memory to test every record");
        status = util_failed;
    }
    if (result.end == WalkEnd::bad_folder_id)
        status = report_run_end(console, archive.name, {RunEnd::bad_folder_id});
    console.summary(std::to_string(result.tested) + " records tested, " + std::to_string(problems) + " problems");
    return status;
}

int test_command(const std::string& archive_path, const std::string& tree_root, unsigned workers,
                 UtilConsole& console, const std::string& at)
{
    platform::Folder tree;
    if (!tree_root.empty() && !platform::open_root_folder(tree_root, platform::MissingFolders::refuse, tree))
        return cannot_open_folder(console, tree_root, platform::last_error());
    TestOptions options;
    options.workers = workers;
    options.tree_root = tree_root;
    return with_mapped_archive(
        archive_path, console, [&](const ArchiveBytes& archive) { return test_records(archive, options, console); },
        at);
}

}  // namespace tavmerk
