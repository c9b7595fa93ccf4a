// diff, patch make and patch apply: two archives' trees compared, and the
// patch that turns one into the other made and applied
// (engine/tree_diff.h, engine/archive_patch.h). The archives are read
// through views of their directories in force.
#include <map>
#include <string>
#include <vector>

#include "archive/path_rules.h"
#include "engine/archive_patch.h"
#include "engine/tree_diff.h"
#include "platform/platform.h"
#include "util/commands.h"

namespace tavmerk {

namespace {

// A path as the lines show it: escaped, a folder's with "/" after it.
std::string shown(const TreeItem& item)
{
    return escape_name(item.path) + (item.folder ? "/" : "");
}

std::string diff_line(const TreeChange& c, bool json)
{
    const TreeItem& item = c.item();
    if (!json)
        return std::string(tree_change_word(c.change)) + " " + shown(item);
    FileEntry entry;
    entry.path = item.path;
    entry.kind = item.stored() ? RecordKind::stored : RecordKind::compressed;
    entry.stored_size = item.stored_size;
    entry.expanded_size = item.expanded_size;
    entry.checksum = item.checksum;
    entry.data_offset = item.data_offset;
    std::string line = record_json(entry, tree_change_word(c.change));
    if (item.folder) {
        // A folder has no record: its path, its kind and the change.
        const size_t kind = line.find(",\"kind\":");
        line = line.substr(0, kind) + ",\"kind\":\"folder\",\"change\":\"" + tree_change_word(c.change) + "\"}";
    }
    return line;
}

bool view_of(const ArchiveBytes& archive, ArchiveView& view)
{
    view.read_at = archive.read_at;
    return archive.open(view.directory);
}

// Both archives mapped under the shared lock and read as views, each at
// its version where one is given (the same file may be both).
int with_two_views(const Compared& compared, UtilConsole& console,
                   const std::function<int(const ArchiveBytes&, const ArchiveView&, const ArchiveView&)>& command)
{
    return with_mapped_archive(compared.old_path, console, [&](const ArchiveBytes& old_archive) {
        return with_mapped_archive(compared.new_path, console, [&](const ArchiveBytes& new_archive) {
            ArchiveView old_view, new_view;
            if (!view_of(old_archive, old_view))
                return report_run_end(console, old_archive.name, {RunEnd::damaged});
            if (!view_of(new_archive, new_view))
                return report_run_end(console, new_archive.name, {RunEnd::damaged});
            return command(new_archive, old_view, new_view);
        }, compared.new_at);
    }, compared.old_at);
}

// The changes between the views; false, said why, where one cannot be read.
bool diff_views(const std::string& old_path, const std::string& new_path, const ArchiveView& old_view,
                const ArchiveView& new_view, std::vector<TreeChange>& changes, UtilConsole& console)
{
    const DiffResult diff = diff_trees(old_view, new_view, changes);
    if (diff.end == DiffEnd::complete)
        return true;
    const std::string name = escape_name(diff.end == DiffEnd::old_damaged ? old_path : new_path);
    if (diff.path.empty())
        report_run_end(console, name, {RunEnd::damaged});
    else
        console.error(name + ": " + escape_name(diff.path) + ": its data cannot be read or inflated");
    return false;
}

std::string counted(const std::vector<TreeChange>& changes)
{
    std::map<std::string, size_t> counts;
    for (const TreeChange& c : changes)
        ++counts[tree_change_word(c.change)];
    std::string out;
    for (const auto& [word, n] : counts)
        out += (out.empty() ? "" : ", ") + std::to_string(n) + " " + word;
    return out.empty() ? "no differences" : out;
}

// Why a patch is refused, in words.
std::string patch_problem(const PatchRead& read)
{
    const std::string path = escape_name(read.path);
    switch (read.problem) {
    case PatchProblem::none:
        break;
    case PatchProblem::damaged:
        return read.path.empty() ? "damaged directory" : path + ": its data cannot be read or inflated";
    case PatchProblem::no_manifest:
        return std::string("not a patch: no ") + patch_manifest_path;
    case PatchProblem::bad_manifest:
        return path + ": not a patch's manifest (" + read.detail + ")";
    case PatchProblem::refused_name:
        return path + ": refused: a name \"/E\" would not write back at this path";
    case PatchProblem::duplicate:
        return path + ": named twice in the manifest";
    case PatchProblem::record_missing:
        return path + ": the manifest names a file the patch does not hold";
    case PatchProblem::record_unlike:
        return path + ": not the file the manifest names (the patch was changed after it was made)";
    case PatchProblem::unlisted_record:
        return path + ": a file the manifest does not name (the patch was changed after it was made)";
    }
    return std::string();
}

bool same_file(const std::string& a, const std::string& b)
{
    platform::FileStamp x, y;
    return platform::stamp_of(a, x) && platform::stamp_of(b, y) && x.device == y.device && x.file_id == y.file_id;
}

}  // namespace

int diff_command(const Compared& compared, bool json, UtilConsole& console)
{
    const std::string& old_path = compared.old_path;
    const std::string& new_path = compared.new_path;
    return with_two_views(compared, console,
                          [&](const ArchiveBytes&, const ArchiveView& old_view, const ArchiveView& new_view) {
                              std::vector<TreeChange> changes;
                              if (!diff_views(old_path, new_path, old_view, new_view, changes, console))
                                  return int(util_failed);
                              for (const TreeChange& c : changes)
                                  console.result(diff_line(c, json));
                              return changes.empty() ? int(util_ok) : int(util_problems);
                          });
}

int patch_make_command(const Compared& compared, const std::string& patch_path, bool replace, UtilConsole& console)
{
    const std::string& old_path = compared.old_path;
    const std::string& new_path = compared.new_path;
    const std::string patch_name = escape_name(patch_path);
    platform::FileStamp there;
    if (!replace && platform::stamp_of(patch_path, there)) {
        console.error(patch_name + ": already exists (--force replaces it)");
        return util_failed;
    }
    return with_two_views(compared, console, [&](const ArchiveBytes& new_archive, const ArchiveView& old_view,
                                                          const ArchiveView& new_view) {
        std::vector<TreeChange> changes;
        if (!diff_views(old_path, new_path, old_view, new_view, changes, console))
            return int(util_failed);
        // The patch's manifest has a path of its own: neither tree may hold it.
        for (const auto& [path, view] : {std::make_pair(&old_path, &old_view), std::make_pair(&new_path, &new_view)}) {
            ArchiveTree tree;
            if (tree.read(view->directory) && holds_manifest_folder(tree)) {
                console.error(escape_name(*path) + ": holds " + patch_manifest_folder +
                              ", where a patch keeps its manifest; no patch written");
                return int(util_failed);
            }
        }
        ChangeSet staged;
        std::string failed;
        if (!stage_patch_archive(new_view, changes, staged, failed)) {
            console.error(new_archive.name + ": " + escape_name(failed) + ": its data cannot be read or inflated");
            return int(util_failed);
        }
        const uint8_t* header = new_view.directory.header();
        CommitOptions options;
        options.least_room = true;
        const ChangeResult result =
            create_archive(patch_path, staged, std::vector<uint8_t>(header, header + header_size), options, replace);
        if (result.status == ChangeStatus::exists) {
            console.error(patch_name + ": already exists (--force replaces it)");
            return int(util_failed);
        }
        if (!result.ok())
            return report_commit(console, patch_name, staged, result, false);
        for (const TreeChange& c : changes)
            console.result(diff_line(c, false));
        console.summary(patch_name + ": " + counted(changes) + ", " + std::to_string(result.data_end) + " bytes");
        return int(util_ok);
    });
}

int patch_apply_command(const std::string& archive_path, const std::string& patch_path,
                        const StructureOptions& options, bool force, UtilConsole& console)
{
    const std::string archive_name = escape_name(archive_path);
    if (same_file(archive_path, patch_path)) {
        console.error(archive_name + ": the patch is the archive itself; nothing changed");
        return util_failed;
    }
    return with_mapped_archive(patch_path, console, [&](const ArchiveBytes& patch_archive) {
        ArchiveView patch;
        if (!view_of(patch_archive, patch))
            return report_run_end(console, patch_archive.name, {RunEnd::damaged});
        const PatchRead read = read_patch(patch);
        if (read.problem != PatchProblem::none) {
            console.error(patch_archive.name + ": " + patch_problem(read) + "; nothing changed");
            return int(util_failed);
        }
        // The archive's tree as it is now; the commit is refused if its
        // directory changes before the commit takes the lock.
        ArchiveTree target;
        uint64_t identity = 0;
        const int opened = with_mapped_archive(archive_path, console, [&](const ArchiveBytes& archive) {
            ArchiveReader reader;
            if (!archive.open(reader) || !target.read(reader))
                return report_run_end(console, archive.name, {RunEnd::damaged});
            identity = directory_identity(reader.header(), header_size + reader.block_size());
            return int(util_ok);
        });
        if (opened != util_ok)
            return opened;
        const std::vector<size_t> conflicts = patch_conflicts(read.entries, target);
        for (const size_t i : conflicts)
            console.result("conflict " + escape_name(read.entries[i].path) + (read.entries[i].folder ? "/" : ""));
        if (!conflicts.empty() && !force) {
            console.error(archive_name + ": " + std::to_string(conflicts.size()) +
                          " paths not as the patch's base had them; nothing changed (--force applies it anyway)");
            return int(util_failed);
        }
        ChangeSet changes;
        stage_patch(read.entries, patch, target, force, changes);
        CommitOptions commit;
        commit.dry_run = options.dry_run;
        commit.workers = options.workers;
        commit.expect_directory = identity;
        const ChangeResult result = commit_changes(archive_path, changes, commit);
        if (result.status == ChangeStatus::stale_place && result.failed_change == no_place) {
            console.error(archive_name + ": changed while the patch was checked against it; nothing changed");
            return int(util_failed);
        }
        if (result.status == ChangeStatus::read_failed && result.failed_change < changes.changes().size()) {
            console.error(patch_archive.name + ": " + escape_name(changes.changes()[result.failed_change].path) +
                          ": its record's bytes are not what its checksum says; nothing changed");
            return int(util_failed);
        }
        return report_commit(console, archive_name, changes, result, options.dry_run);
    });
}

}  // namespace tavmerk
