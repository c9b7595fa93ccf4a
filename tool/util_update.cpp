// update and compact: the repacking engine and compaction, configured, with
// their events turned into lines.
#include <string>
#include <vector>

#include "tool/compact.h"
#include "tool/name_encoding.h"
#include "tool/repack.h"
#include "tool/util_commands.h"

namespace tavmerk {

namespace {

class UpdateReports : public RepackEvents {
public:
    UpdateReports(UtilConsole& console, size_t root_length, bool dry_run)
        : console_(console), root_length_(root_length), dry_run_(dry_run)
    {
    }

    int status = util_ok;

    void started() override {}

    void record(const RepackReport& report) override
    {
        const std::string path = shown_path(report.entry.path, root_length_);
        switch (report.outcome) {
        case RepackOutcome::appended:
        case RepackOutcome::changed:
            held_.push_back({"changed " + path, true});
            ++changed_;
            break;
        case RepackOutcome::unchanged:
            ++unchanged_;
            break;
        case RepackOutcome::missing:
            ++missing_;
            break;
        case RepackOutcome::unreadable:
            left_out(path + ": " + with_reason("cannot read", report.error));
            break;
        case RepackOutcome::not_regular:
            held_.push_back({"not-regular " + path, false});
            status = worse(status, util_problems);
            break;
        case RepackOutcome::too_large:
            left_out(path + ": too large for the archive, left as it was");
            break;
        case RepackOutcome::compress_failed:
            left_out(path + ": cannot compress (zlib result " + std::to_string(report.compress_result) +
                     "), left as it was");
            break;
        case RepackOutcome::data_outside:
            console_.error(path + ": data outside the file");
            break;
        case RepackOutcome::unsafe:
            console_.warning(path + ": a \"..\" level in its path, left as it was");
            break;
        case RepackOutcome::deleted:
            break;
        }
        console_.progress("updating", ++seen_);
    }

    void cannot_open(const std::string& archive_path, int error) override
    {
        status = tavmerk::cannot_open(console_, escape_name(archive_path), error);
    }
    void damaged(const std::string& archive_path) override { fail(escape_name(archive_path) + ": damaged directory"); }
    void bad_folder_id() override { fail("bad folder id in the directory"); }
    void refused(const std::string& archive_path) override
    {
        fail(escape_name(archive_path) + ": records with data outside the file; left untouched");
    }
    void write_failed(const std::string& archive_path, int error) override
    {
        fail(escape_name(archive_path) + ": " + with_reason("write failed", error) +
             "; the archive was put back as it was");
    }

    // The result lines in directory order, once the pass has ended: the
    // changed ones only when it committed (or was a dry run), as until then
    // nothing changed.
    void summarise(bool committed)
    {
        console_.end_progress();
        const bool changes_stand = committed || dry_run_;
        for (const HeldLine& line : held_)
            if (changes_stand || !line.changed)
                console_.result(line.text);
        if (!changes_stand)
            changed_ = 0;
        console_.summary(std::to_string(changed_) + (dry_run_ ? " would change, " : " changed, ") +
                         std::to_string(unchanged_) + " unchanged, " + std::to_string(missing_) + " missing");
    }

private:
    void left_out(const std::string& line)
    {
        console_.error(line);
        status = worse(status, util_problems);
    }
    void fail(const std::string& line)
    {
        console_.error(line);
        status = util_failed;
    }

    struct HeldLine {
        std::string text;
        bool changed;
    };

    UtilConsole& console_;
    std::vector<HeldLine> held_;
    size_t root_length_;
    bool dry_run_;
    uint64_t seen_ = 0, changed_ = 0, unchanged_ = 0, missing_ = 0;
};

}  // namespace

int update_command(const std::string& archive_path, const std::string& tree_root, bool dry_run, unsigned workers,
                   UtilConsole& console)
{
    // A tree that is not there is a mistake, not a tree of missing files.
    platform::Folder tree;
    if (!platform::open_root_folder(tree_root, false, tree))
        return cannot_open_folder(console, tree_root, platform::last_error());
    RepackOptions options;
    options.workers = workers;
    options.selection = RepackSelection::changed_only;
    options.dry_run = dry_run;
    options.refuse_data_outside = true;
    UpdateReports reports(console, tree_root.size(), dry_run);
    reports.summarise(pack_archive(archive_path, tree_root, options, reports));
    return reports.status;
}

int compact_command(const std::string& archive_path, const std::string& output_path, UtilConsole& console)
{
    const std::string name = escape_name(archive_path);
    console.progress("compacting", 0);
    CompactResult result;
    const CompactStatus status = compact_archive(archive_path, output_path, result, [&](const FileEntry& entry) {
        console.error(shown_path(entry.path) + ": data outside the file");
    });
    console.end_progress();
    switch (status) {
    case CompactStatus::done:
        console.result("reclaimed " +
                       std::to_string(result.old_size > result.new_size ? result.old_size - result.new_size : 0) +
                       " bytes");
        return util_ok;
    case CompactStatus::cannot_open:
        return cannot_open(console, name, result.error);
    case CompactStatus::damaged:
        return damaged(console, name);
    case CompactStatus::data_outside:
        console.error(name + ": records with data outside the file; left untouched");
        break;
    case CompactStatus::write_failed:
        console.error(escape_name(output_path.empty() ? archive_path : output_path) + ": " +
                      with_reason("write failed", result.error) + "; the archive was left as it was");
        break;
    }
    return util_failed;
}

}  // namespace tavmerk
