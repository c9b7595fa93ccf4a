// update: the repacking engine on changed sources only, its events turned
// into lines.
#include <string>
#include <vector>

#include "engine/compact.h"
#include "engine/repack.h"
#include "util/commands.h"
#include "archive/path_rules.h"

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

// Counts the records a dry run finds changed.
class ChangeCount : public RepackEvents {
public:
    uint64_t changed = 0;
    void started() override {}
    void record(const RepackReport& report) override
    {
        if (report.outcome == RepackOutcome::changed)
            ++changed;
    }
};

// Each update is a version: an archive with no room after its directory
// for the history anchor (one never changed here) gets room made first,
// by compacting it with every version kept, where the update is to
// change something; one with nothing to change is left as it is.
void make_room_for_version(const std::string& archive_path, const std::string& tree_root, RepackOptions options)
{
    uint64_t directory_size = 0;
    if (options.dry_run || !lacks_room_for_version(archive_path, directory_size))
        return;
    options.dry_run = true;
    ChangeCount count;
    uint64_t identity = 0;
    if (pack_archive(archive_path, tree_root, options, count).completed() && count.changed > 0)
        make_room(archive_path, directory_size, identity);  // without room, the update is still made
}

}  // namespace

int update_command(const std::string& archive_path, const std::string& tree_root, bool dry_run, unsigned workers,
                   UtilConsole& console)
{
    // A tree that is not there is a mistake, not a tree of missing files.
    platform::Folder tree;
    if (!platform::open_root_folder(tree_root, platform::MissingFolders::refuse, tree))
        return cannot_open_folder(console, tree_root, platform::last_error());
    RepackOptions options;
    options.workers = workers;
    options.selection = RepackSelection::changed_only;
    options.dry_run = dry_run;
    options.refuse_data_outside = true;
    options.version_summary = "update";
    make_room_for_version(archive_path, tree_root, options);
    UpdateReports reports(console, tree_root.size(), dry_run);
    const RunResult result = pack_archive(archive_path, tree_root, options, reports);
    const int status = worse(reports.status, report_run_end(console, escape_name(archive_path), result));
    reports.summarise(result.completed());
    return status;
}

}  // namespace tavmerk
