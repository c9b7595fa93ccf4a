// add, remove, rename, mkdir, create and update --sync: changes to the
// archive's tree, each staged as one change set (engine/change_set.h) and
// committed once, its reports turned into lines.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/layout.h"
#include "engine/archive_commit.h"
#include "engine/archive_rewrite.h"
#include "engine/change_messages.h"
#include "engine/change_set.h"
#include "engine/path_glob.h"
#include "engine/repack.h"
#include "engine/tree_staging.h"
#include "engine/undo.h"
#include "platform/platform.h"
#include "util/commands.h"
#include "archive/path_rules.h"

namespace tavmerk {

namespace {

// A failure to read the archive, as a commit's result.
ChangeResult read_failure(ChangeStatus status, int error)
{
    ChangeResult result;
    result.status = status;
    result.error = error;
    return result;
}

}  // namespace

int report_commit(UtilConsole& console, const std::string& archive_name, const ChangeSet& changes,
                  const ChangeResult& result, bool dry_run, bool replaced_as_changed)
{
    const std::string change = refused_change(changes, result.failed_change);
    switch (result.status) {
    case ChangeStatus::committed: {
        std::map<std::string, size_t> counts;
        for (const ChangeReport& r : result.reports) {
            std::string word = change_outcome_word(r.outcome);
            if (replaced_as_changed && r.outcome == ChangeOutcome::replaced)
                word = "changed";
            std::string line = word + " " + escape_name(r.path) + (r.folder && r.outcome != ChangeOutcome::made ? "/" : "");
            if (r.outcome == ChangeOutcome::renamed)
                line += " -> " + escape_name(r.to) + (r.folder ? "/" : "");
            console.result(line);
            ++counts[word];
        }
        std::string summary;
        for (const auto& [word, n] : counts)
            summary += (summary.empty() ? "" : ", ") + std::to_string(n) + " " + word;
        console.summary((summary.empty() ? std::string("nothing to change") : summary) +
                        (dry_run && !summary.empty() ? " (dry run: nothing written)" : ""));
        return util_ok;
    }
    case ChangeStatus::read_failed: {
        // Named by the file it was read from, where there is one.
        const std::string& source =
            result.failed_change < changes.changes().size() ? changes.changes()[result.failed_change].content.file_path
                                                            : std::string();
        console.error((source.empty() ? change : escape_name(source)) + ": " +
                      (result.error == platform::changed_while_read ? platform::error_message(result.error)
                                                                     : with_reason("cannot read", result.error)) +
                      "; nothing changed");
        break;
    }
    case ChangeStatus::cannot_open:
        return report_run_end(console, archive_name, {RunEnd::cannot_open, result.error});
    case ChangeStatus::write_failed:
        return report_run_end(console, archive_name, {RunEnd::write_failed, result.error});
    default:
        console.error(change_failure(changes, result, archive_name));
        break;
    }
    return util_failed;
}

namespace {

// Joins an absolute folder path and a name.
std::string joined(const std::string& folder, const std::string& name)
{
    return !folder.empty() && platform::is_separator(folder.back()) ? folder + name
                                                                    : folder + platform::separator + name;
}

// Files and folders on disk staged under an archive folder
// (engine/tree_staging.h), each item left out reported.
class DiskStager {
public:
    DiskStager(ChangeSet& changes, UtilConsole& console, const std::vector<std::string>& store_patterns,
               Storage storage)
        : changes_(changes), console_(console)
    {
        staging_.storage = [&store_patterns, storage](const std::string& archive_path) {
            for (const std::string& pattern : store_patterns)
                if (glob_match(pattern, archive_path))
                    return Storage::store;
            return storage;
        };
        staging_.left_out = [this](const std::string& disk_path, LeftOutItem why, int error) {
            switch (why) {
            case LeftOutItem::folder_unreadable:
                return problem(disk_path, with_reason("cannot read the folder", error));
            case LeftOutItem::link:
                return problem(disk_path, "a link, left out");
            case LeftOutItem::not_regular:
                return problem(disk_path, "not a regular file, left out");
            case LeftOutItem::file_unreadable:
                break;
            }
            problem(disk_path, with_reason("cannot read", error) + ", left out");
        };
    }
    DiskStager(const DiskStager&) = delete;
    DiskStager& operator=(const DiskStager&) = delete;

    int status = util_ok;

    void stage_item(const platform::Folder& parent, const std::string& disk_path, const std::string& archive_path,
                    const platform::FolderItem& item)
    {
        tavmerk::stage_item(changes_, parent, disk_path, archive_path, item, staging_);
    }

private:
    void problem(const std::string& disk_path, const std::string& what)
    {
        console_.error(escape_name(disk_path) + ": " + what);
        status = worse(status, util_problems);
    }

    ChangeSet& changes_;
    UtilConsole& console_;
    TreeStaging staging_;
};

// What stands at an absolute path on disk, links not followed.
bool item_at(const std::string& path, platform::Folder& parent, platform::FolderItem& item)
{
    std::string folder, name;
    if (!split_path(path, folder, name) ||
        !platform::open_root_folder(folder, platform::MissingFolders::refuse, parent))
        return false;
    std::vector<platform::FolderItem> items;
    if (!platform::list_folder(parent, items))
        return false;
    for (const platform::FolderItem& i : items)
        if (i.name == name) {
            item = i;
            return true;
        }
    return false;
}

// A path as given, without separators at its end (but the root's own).
std::string trimmed(std::string path)
{
    while (path.size() > 1 && platform::is_separator(path.back()))
        path.pop_back();
    return path;
}

// A commit's line in the history: the command, then how many entries each
// kind of change touched ("update --sync: 2 changed, 1 added, 4 removed").
std::string describe_commit(const std::string& command, const std::vector<ChangeReport>& reports,
                            bool replaced_as_changed)
{
    static const ChangeOutcome order[] = {ChangeOutcome::replaced, ChangeOutcome::added, ChangeOutcome::removed,
                                          ChangeOutcome::renamed, ChangeOutcome::made};
    std::string counts;
    for (const ChangeOutcome outcome : order) {
        size_t n = 0;
        for (const ChangeReport& r : reports)
            n += r.outcome == outcome;
        if (n == 0)
            continue;
        const std::string word =
            replaced_as_changed && outcome == ChangeOutcome::replaced ? "changed" : change_outcome_word(outcome);
        counts += (counts.empty() ? "" : ", ") + std::to_string(n) + " " + word;
    }
    return command + ": " + (counts.empty() ? std::string("nothing changed") : counts);
}

int commit_and_report(const std::string& archive_path, const ChangeSet& changes, const StructureOptions& options,
                      UtilConsole& console, const std::string& command, bool replaced_as_changed = false)
{
    CommitOptions commit;
    commit.dry_run = options.dry_run;
    commit.workers = options.workers;
    commit.describe = [&](const std::vector<ChangeReport>& reports) {
        return describe_commit(command, reports, replaced_as_changed);
    };
    const ChangeResult result = commit_changes(archive_path, changes, commit);
    return report_commit(console, escape_name(archive_path), changes, result, options.dry_run, replaced_as_changed);
}

}  // namespace

int add_command(const std::string& archive_path, const std::vector<std::string>& sources, const std::string& to_folder,
                Storage storage, const StructureOptions& options, UtilConsole& console)
{
    std::string folder = to_folder;
    while (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    if (folder.empty()) {
        std::vector<TreePath> paths;
        int error = 0;
        const ChangeStatus read = read_tree_paths(archive_path, paths, error);
        if (read != ChangeStatus::committed)
            return report_commit(console, escape_name(archive_path), ChangeSet(), read_failure(read, error), false);
        std::vector<std::string> tops;
        for (const TreePath& p : paths)
            if (p.top_level && std::find(tops.begin(), tops.end(), p.path) == tops.end())
                tops.push_back(p.path);
        if (tops.size() != 1) {
            console.error(escape_name(archive_path) + ": " +
                          (tops.empty() ? "has no top-level folder" : "has several top-level folders") +
                          "; name one with --to");
            return util_failed;
        }
        folder = tops.front();
    }
    ChangeSet changes;
    const std::vector<std::string> no_patterns;
    DiskStager stager(changes, console, no_patterns, storage);
    for (const std::string& source : sources) {
        const std::string path = trimmed(platform::absolute_path(source));
        platform::Folder parent;
        platform::FolderItem item;
        std::string parent_path, name;
        if (!split_path(path, parent_path, name) || !item_at(path, parent, item)) {
            console.error(escape_name(source) + ": " + with_reason("cannot open", platform::last_error()) +
                          "; nothing changed");
            return util_failed;
        }
        stager.stage_item(parent, path, folder + "/" + name, item);
    }
    return worse(stager.status, commit_and_report(archive_path, changes, options, console, "add"));
}

namespace {

// True when a folder of `folders` holds `path` (at any level above it).
bool below_any(const std::set<std::string>& folders, const std::string& path)
{
    for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
        if (folders.count(path.substr(0, at)))
            return true;
    return false;
}

// One removal per entry matched, in directory order: a path once (it
// names every live file there), nothing below a folder already removed,
// and with `drop` a deleted entry by its place.
void stage_removals(const std::vector<TreePath>& paths, const std::vector<bool>& matched, bool drop,
                    ChangeSet& changes)
{
    std::set<std::string> staged, folders;
    for (size_t i = 0; i < paths.size(); ++i) {
        const TreePath& p = paths[i];
        if (!matched[i] || below_any(folders, p.path))
            continue;
        if (p.folder)
            folders.insert(p.path);
        if (p.folder || p.live) {
            if (staged.insert(p.path).second)
                changes.remove(p.path, drop);
            continue;
        }
        Change c;
        c.kind = ChangeKind::remove;
        c.path = p.path;
        c.drop = true;
        c.place = p.place;
        changes.add(std::move(c));
    }
}

}  // namespace

int remove_command(const std::string& archive_path, const std::vector<std::string>& patterns, bool drop,
                   const StructureOptions& options, UtilConsole& console)
{
    std::vector<TreePath> paths;
    int error = 0;
    const ChangeStatus read = read_tree_paths(archive_path, paths, error);
    if (read != ChangeStatus::committed)
        return report_commit(console, escape_name(archive_path), ChangeSet(), read_failure(read, error), false);
    std::vector<bool> matched(paths.size(), false);
    for (const std::string& pattern : patterns) {
        bool any = false;
        for (size_t i = 0; i < paths.size(); ++i) {
            // A deleted file is only there to be dropped.
            const TreePath& p = paths[i];
            if ((p.live || p.folder || drop) && glob_match(pattern, p.path)) {
                matched[i] = true;
                any = true;
            }
        }
        if (!any) {
            console.error(escape_name(pattern) + ": matched nothing; nothing changed");
            return util_failed;
        }
    }
    ChangeSet changes;
    stage_removals(paths, matched, drop, changes);
    return commit_and_report(archive_path, changes, options, console, "remove");
}

int rename_command(const std::string& archive_path, const std::string& from, const std::string& to,
                   const StructureOptions& options, UtilConsole& console)
{
    ChangeSet changes;
    changes.rename(from, to);
    return commit_and_report(archive_path, changes, options, console, "rename");
}

int mkdir_command(const std::string& archive_path, const std::vector<std::string>& folders,
                  const StructureOptions& options, UtilConsole& console)
{
    ChangeSet changes;
    for (const std::string& f : folders)
        changes.mkdir(f);
    return commit_and_report(archive_path, changes, options, console, "mkdir");
}

int create_command(const std::string& new_path, const std::string& tree_path, const std::string& like_path,
                   const std::vector<std::string>& store_patterns, const StructureOptions& options,
                   UtilConsole& console)
{
    std::vector<uint8_t> header;
    if (!like_path.empty()) {
        platform::FileView view;
        ArchiveReader reader;
        const RunResult opened = map_committed_archive(like_path, platform::LockKind::shared, view, reader);
        if (!opened.completed())
            return report_run_end(console, escape_name(like_path), opened);
        header.assign(reader.header(), reader.header() + header_size);
    }
    const std::string root = trimmed(tree_path);
    platform::Folder folder;
    std::vector<platform::FolderItem> items;
    if (!platform::open_root_folder(root, platform::MissingFolders::refuse, folder) ||
        !platform::list_folder(folder, items))
        return cannot_open_folder(console, root, platform::last_error());
    std::sort(items.begin(), items.end(),
              [](const platform::FolderItem& a, const platform::FolderItem& b) { return a.name < b.name; });
    ChangeSet changes;
    DiskStager stager(changes, console, store_patterns, Storage::chosen);
    for (const platform::FolderItem& item : items) {
        if (item.kind == platform::ItemKind::file) {
            console.error(escape_name(joined(root, item.name)) +
                          ": a file at the top of the tree; an archive holds files only in folders");
            return util_failed;
        }
        stager.stage_item(folder, joined(root, item.name), item.name, item);
    }
    CommitOptions commit;
    commit.dry_run = options.dry_run;
    commit.workers = options.workers;
    const ChangeResult result = create_archive(new_path, changes, header, commit);
    if (result.ok()) {
        // Each folder and file added: one line each, as add prints them.
        for (const ChangeReport& r : result.reports)
            if (r.outcome == ChangeOutcome::added)
                console.result("added " + escape_name(r.path));
        console.summary(std::to_string(std::count_if(result.reports.begin(), result.reports.end(),
                                                     [](const ChangeReport& r) {
                                                         return r.outcome == ChangeOutcome::added;
                                                     })) +
                        " added" + (options.dry_run ? " (dry run: nothing written)" : ""));
        return stager.status;
    }
    return worse(stager.status, report_commit(console, escape_name(new_path), changes, result, false));
}

namespace {

// The records update would repack, and those whose file is gone, learned
// from a dry run of the repacking engine. Of the live records at one path
// only the first, the one "/E" writes, is compared with the tree: one
// behind it goes with it.
class SyncSurvey : public RepackEvents {
public:
    SyncSurvey(UtilConsole& console, size_t root_length) : console_(console), root_length_(root_length) {}

    std::vector<std::string> changed, missing;
    std::map<std::string, uint64_t> live_at;  // live records by path
    int status = util_ok;

    void started() override {}
    void record(const RepackReport& report) override
    {
        if (!report.entry.live())
            return;
        const std::string path = normal_path(report.entry.path.substr(std::min(root_length_, report.entry.path.size())));
        if (live_at[path]++ > 0)
            return;
        switch (report.outcome) {
        case RepackOutcome::changed:
        case RepackOutcome::appended:
            changed.push_back(path);
            break;
        case RepackOutcome::missing:
            missing.push_back(path);
            break;
        case RepackOutcome::unreadable:
            console_.error(escape_name(path) + ": " + with_reason("cannot read", report.error));
            status = worse(status, util_problems);
            break;
        case RepackOutcome::not_regular:
            console_.error(escape_name(path) + ": not a regular file, left as it was");
            status = worse(status, util_problems);
            break;
        default:
            break;
        }
    }

private:
    UtilConsole& console_;
    size_t root_length_;
};

// What a walk of the tree found: its files that no record has, staged to
// be added, and the folders it could not list (by archive path, "" for the
// tree itself), whose records it cannot tell gone.
struct TreeWalk {
    ChangeSet added;
    std::vector<std::string> unread;
    int status = util_ok;

    bool lists(const std::string& path) const
    {
        for (const std::string& folder : unread)
            if (folder.empty() || path.compare(0, folder.size() + 1, folder + "/") == 0)
                return false;
        return true;
    }
};

void stage_new_files(const std::string& disk_path, const std::string& archive_path,
                     const std::map<std::string, uint64_t>& known, TreeWalk& walk, UtilConsole& console)
{
    platform::Folder folder;
    std::vector<platform::FolderItem> items;
    if (!platform::open_root_folder(disk_path, platform::MissingFolders::refuse, folder) ||
        !platform::list_folder(folder, items)) {
        console.error(escape_name(disk_path) + ": " + with_reason("cannot read the folder", platform::last_error()) +
                      "; its records kept");
        walk.unread.push_back(archive_path);
        walk.status = worse(walk.status, util_problems);
        return;
    }
    std::sort(items.begin(), items.end(),
              [](const platform::FolderItem& a, const platform::FolderItem& b) { return a.name < b.name; });
    for (const platform::FolderItem& item : items) {
        const std::string child = archive_path.empty() ? item.name : archive_path + "/" + item.name;
        const std::string disk_child = joined(disk_path, item.name);
        if (item.kind == platform::ItemKind::folder) {
            stage_new_files(disk_child, child, known, walk, console);
        } else if (item.kind == platform::ItemKind::file && !known.count(child)) {
            if (archive_path.empty()) {
                console.error(escape_name(disk_child) + ": a file at the top of the tree, left out");
                walk.status = worse(walk.status, util_problems);
                continue;
            }
            const std::vector<std::string> none;
            DiskStager stager(walk.added, console, none, Storage::chosen);
            stager.stage_item(folder, disk_child, child, item);
            walk.status = worse(walk.status, stager.status);
        } else if (item.kind == platform::ItemKind::link || item.kind == platform::ItemKind::other) {
            if (!known.count(child)) {
                console.error(escape_name(disk_child) + ": " +
                              (item.kind == platform::ItemKind::link ? "a link" : "not a regular file") +
                              ", left out");
                walk.status = worse(walk.status, util_problems);
            }
        }
    }
}

std::string top_folder(const std::string& path)
{
    return path.substr(0, path.find('/'));
}

// False, said why, when the removals look like a wrong tree rather than
// files deleted: every live record of a top-level folder gone (unless
// forced), or more records than the cap.
bool removals_allowed(const std::map<std::string, uint64_t>& live_at, const std::vector<std::string>& removed,
                      const SyncLimits& limits, const std::string& tree_name, UtilConsole& console)
{
    std::map<std::string, uint64_t> live_in, removed_in;
    for (const auto& [path, n] : live_at)
        live_in[top_folder(path)] += n;
    uint64_t count = 0;
    for (const std::string& path : removed) {
        count += live_at.at(path);
        removed_in[top_folder(path)] += live_at.at(path);
    }
    std::string emptied;
    for (const auto& [top, n] : removed_in)
        if (n == live_in[top])
            emptied += (emptied.empty() ? "" : ", ") + escape_name(top) + "/";
    const std::string would = tree_name + ": would remove " + std::to_string(count) + " records";
    if (!emptied.empty() && !limits.force) {
        console.error(would + ", every one of " + emptied + "; nothing changed (--force removes them)");
        return false;
    }
    if (count > limits.max_remove) {
        console.error(would + ", more than --max-remove " + std::to_string(limits.max_remove) + "; nothing changed");
        return false;
    }
    return true;
}

}  // namespace

int sync_command(const std::string& archive_path, const std::string& tree_root, const StructureOptions& options,
                 UtilConsole& console, const SyncLimits& limits)
{
    platform::Folder tree;
    if (!platform::open_root_folder(tree_root, platform::MissingFolders::refuse, tree))
        return cannot_open_folder(console, tree_root, platform::last_error());
    RepackOptions survey_options;
    survey_options.workers = options.workers;
    survey_options.selection = RepackSelection::changed_only;
    survey_options.dry_run = true;
    survey_options.refuse_data_outside = true;
    SyncSurvey survey(console, tree_root.size());
    const RunResult surveyed = pack_archive(archive_path, tree_root, survey_options, survey);
    if (!surveyed.completed())
        return report_run_end(console, escape_name(archive_path), surveyed);
    TreeWalk walk;
    stage_new_files(trimmed(tree_root), std::string(), survey.live_at, walk, console);
    ChangeSet changes;
    for (const std::string& path : survey.changed) {
        std::string disk = tree_root;
        for (const char c : path)
            disk.push_back(c == '/' ? platform::separator : c);
        changes.put(path, Content::of_file(disk));
    }
    std::vector<std::string> removed;
    for (const std::string& path : survey.missing)
        if (walk.lists(path)) {
            changes.remove(path);
            removed.push_back(path);
        }
    const int status = worse(survey.status, walk.status);
    if (!removals_allowed(survey.live_at, removed, limits, escape_name(trimmed(tree_root)), console))
        return util_failed;
    for (Change& c : walk.added.changes())
        changes.add(std::move(c));
    return worse(status, commit_and_report(archive_path, changes, options, console, "update --sync", true));
}

}  // namespace tavmerk

namespace tavmerk {

int undo_command(const std::string& archive_path, const std::string& to, const StructureOptions& options,
                 UtilConsole& console)
{
    CommitOptions commit;
    commit.dry_run = options.dry_run;
    commit.workers = options.workers;
    bool dropped = false;
    const ChangeResult result = undo_to_version(archive_path, to, commit, &dropped);
    const std::string name = escape_name(archive_path);
    switch (result.status) {
    case ChangeStatus::not_found:
        console.error(name + ": " + (dropped ? "version " + to + ": its data was dropped by compact" : "no version " + to) +
                      "; nothing changed");
        return util_failed;
    case ChangeStatus::damaged:
        console.error(name + ": version " + to + ": its directory cannot be read; nothing changed");
        return util_failed;
    case ChangeStatus::too_large:
        console.error(name + ": no room after the directory for version " + to + "'s directory; nothing changed");
        return util_failed;
    default:
        break;
    }
    return report_commit(console, name, ChangeSet(), result, options.dry_run, true);
}

}  // namespace tavmerk
