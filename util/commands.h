// The companion command's commands, each a thin front end over the archive
// reader and the engines: options in, lines out through a UtilConsole, a
// UtilStatus back. list, info and test also run in-process on a buffer
// (the fuzz target drives them so); the others work on files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "engine/change_set.h"
#include "engine/expand.h"
#include "engine/run_result.h"
#include "platform/platform.h"
#include "util/console.h"

namespace tavmerk {

// An archive held in memory: `data` is the whole file, `read_at` copies
// file data out of it as FileView::read_at does. `name` is how errors
// call it.
// `directory`, when set, is where the header and directory in force stand
// instead (the image of a redo record at the end of the file).
struct ArchiveBytes {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    const uint8_t* directory = nullptr;
    uint64_t directory_room = 0;
    std::function<bool(uint64_t offset, uint8_t* dest, size_t size)> read_at;
    std::string name;
    // Bytes at the end that look like the record of an unfinished commit
    // but are none, and that no live record points at (left as they are).
    uint64_t stray = 0;

    bool open(ArchiveReader& reader) const
    {
        return directory ? reader.open(directory, directory_room, size) : reader.open(data, size, size);
    }
};

// One line per record in directory order, as text or JSON Lines.
int list_records(const ArchiveBytes& archive, bool json, UtilConsole& console);

// Counts and sizes, one "key: value" line each.
int show_info(const ArchiveBytes& archive, UtilConsole& console);

struct TestOptions {
    unsigned workers = 0;   // besides the calling thread
    std::string tree_root;  // set (absolute, ending in a separator): contents compared with the tree
};

// The directory's checksum and every live record's data, checksum and
// stream; one line per problem.
int test_records(const ArchiveBytes& archive, const TestOptions& options, UtilConsole& console);

// The same on the archive file at the absolute `archive_path`; `tree_root`
// (absolute, or empty for none) is the folder to compare with.
// `at`, where set, names the version to read (engine/history.h).
int list_command(const std::string& archive_path, bool json, UtilConsole& console, const std::string& at = "");
int info_command(const std::string& archive_path, UtilConsole& console, const std::string& at = "");
int test_command(const std::string& archive_path, const std::string& tree_root, unsigned workers,
                 UtilConsole& console, const std::string& at = "");

// The versions, newest first, as text or JSON Lines; status 1 where the
// history is damaged.
int show_log(const ArchiveBytes& archive, bool json, UtilConsole& console);
// The same on the archive file at `archive_path`.
int log_command(const std::string& archive_path, bool json, UtilConsole& console);


// Repacks what changed under `tree_root` (absolute, ending in a separator).
int update_command(const std::string& archive_path, const std::string& tree_root, bool dry_run, unsigned workers,
                   UtilConsole& console);

// Compacts in place, or into the new file `output_path` (absolute) if set.
// `keep`: versions whose data is kept, the current one counted (0: all).
int compact_command(const std::string& archive_path, const std::string& output_path, uint32_t keep,
                    UtilConsole& console);

// Changes to the archive's tree, each one commit (engine/change_set.h);
// one line per entry changed.
struct StructureOptions {
    bool dry_run = false;  // the same lines, nothing written
    unsigned workers = 0;
};
// One commit that makes the tree of version `to` (default "~1") current again.
int undo_command(const std::string& archive_path, const std::string& to, const StructureOptions& options,
                 UtilConsole& console);
// Files and folders (recursively) from disk, each under its base name in
// `to_folder` of the archive (empty: its only top-level folder).
int add_command(const std::string& archive_path, const std::vector<std::string>& sources, const std::string& to_folder,
                Storage storage, const StructureOptions& options, UtilConsole& console);
// The files matching any of `patterns` (extract's globs; a folder takes
// everything below it).
int remove_command(const std::string& archive_path, const std::vector<std::string>& patterns, bool drop,
                   const StructureOptions& options, UtilConsole& console);
int rename_command(const std::string& archive_path, const std::string& from, const std::string& to,
                   const StructureOptions& options, UtilConsole& console);
int mkdir_command(const std::string& archive_path, const std::vector<std::string>& folders,
                  const StructureOptions& options, UtilConsole& console);
// A new archive from the folder `tree_path`, its header's uninterpreted
// bytes from `like_path` (or zeros), files matching `store_patterns` stored.
int create_command(const std::string& new_path, const std::string& tree_path, const std::string& like_path,
                   const std::vector<std::string>& store_patterns, const StructureOptions& options,
                   UtilConsole& console);
// What update --sync may remove: a sync that would remove every live
// record of a top-level folder is refused unless forced, one that would
// remove more than `max_remove` records always.
struct SyncLimits {
    bool force = false;
    uint64_t max_remove = UINT64_MAX;
};
// update --sync: the archive made equal to the tree under `tree_root`
// (absolute, ending in a separator).
int sync_command(const std::string& archive_path, const std::string& tree_root, const StructureOptions& options,
                 UtilConsole& console, const SyncLimits& limits = SyncLimits());

struct ExtractRequest {
    std::string archive_path;              // absolute
    std::string extract_root;              // absolute, ending in a separator
    std::vector<std::string> patterns;     // empty: every record
    ExistingFile existing = ExistingFile::report;
    bool to_stdout = false;                // contents to console.out(), no tree
    unsigned workers = 0;
    std::string at;                        // set: the archive as it was at this version
};
int extract_command(const ExtractRequest& request, UtilConsole& console);

// Two trees compared: each an archive (absolute path), at a version where
// one is given (engine/history.h); both may be the same file.
struct Compared {
    std::string old_path, old_at;
    std::string new_path, new_at;
};
// diff: one line per path that differs between the two trees;
// util_problems where any does.
int diff_command(const Compared& compared, bool json, UtilConsole& console);
// patch make: the patch from the old tree to the new written at
// `patch_path` (a new file, or with `replace` over one).
int patch_make_command(const Compared& compared, const std::string& patch_path, bool replace, UtilConsole& console);
// patch apply: the patch applied to the archive in one commit, or, where
// a path conflicts (and not `force`), nothing.
int patch_apply_command(const std::string& archive_path, const std::string& patch_path,
                        const StructureOptions& options, bool force, UtilConsole& console);

}  // namespace tavmerk

namespace tavmerk {

// Maps the archive at `archive_path` and runs `command` on it; status 2,
// with the error reported, when it cannot be opened. An empty file is
// passed on as zero bytes (a damaged archive).
// With `at` set ("K" or "~K"), the archive is as it was at that version
// (engine/history.h): status 2, with the reason, when it cannot be had.
int with_mapped_archive(const std::string& archive_path, UtilConsole& console,
                        const std::function<int(const ArchiveBytes&)>& command, const std::string& at = "");

// How a run on the archive called `archive_name` ended, in the words every
// command uses: nothing for a completed run (util_ok), else one error line
// (util_failed), with the system's reason where there is one.
int report_run_end(UtilConsole& console, const std::string& archive_name, const RunResult& result);

// Prints what a commit of `changes` did, one line per entry changed and a
// summary, or why it did not; the status of that part. `replaced_as_changed`
// words a replaced file "changed" (as update does).
int report_commit(UtilConsole& console, const std::string& archive_name, const ChangeSet& changes,
                  const ChangeResult& result, bool dry_run, bool replaced_as_changed = false);

// A record as list --json shows it, on one line; with `change`, that too
// (as diff --json shows it).
std::string record_json(const FileEntry& entry, const char* change = nullptr);

// A folder that cannot be opened (a TREE), with the system's reason.
int cannot_open_folder(UtilConsole& console, const std::string& folder_path, int error);

}  // namespace tavmerk
