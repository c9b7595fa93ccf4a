// What the C handles hold, and how a call reports its failure. Nothing
// here crosses the boundary: the header sees only opaque pointers.
//
// Locks: an Archive's `mutex` guards everything in it; a Stream's guards
// its position and buffers. A stream never takes its archive's lock: it
// shares the open file (reads at offsets, safe from any thread) and copies
// of its record's fields.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/archive_entries.h"
#include "engine/change_set.h"
#include "engine/history.h"
#include "platform/platform.h"
#include "tavmerk/tavmerk.h"

namespace tavmerk::library {

// Sets the calling thread's error and returns `status`.
tavmerk_status fail(tavmerk_status status, std::string message, int system_error = 0);
// A failure of the system call just made (platform::last_error).
tavmerk_status fail_system(const std::string& what);

// Runs `body`, turning an exception (no memory) into a status: nothing
// thrown crosses the boundary.
template <class Body>
tavmerk_status guarded(Body&& body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return fail(TAVMERK_ERROR_SYSTEM, "out of memory");
    } catch (...) {
        return fail(TAVMERK_ERROR_SYSTEM, "unexpected failure");
    }
}

// The directory as loaded once: the image, the file it came from (open,
// unlocked) and its entries.
struct Loaded {
    std::shared_ptr<platform::UpdateFile> file;
    std::vector<uint8_t> image;
    uint64_t data_end = 0;
    uint64_t directory = 0;  // directory_identity of the image: what places from it are checked against
    std::vector<ArchiveEntry> entries;
    std::vector<tavmerk_entry> table;  // the entries as the header shows them
    std::vector<char> names;  // every path, each ending in a NUL, in order: what table's paths point into
    // Opened at an earlier version: its id, and the directory in force
    // then, which the history is read from.
    bool at_version = false;
    uint32_t version = 0;
    std::vector<uint8_t> in_force;
    // The history, listed when first asked for (tavmerk_versions).
    bool versions_listed = false;
    std::vector<tavmerk_version_info> versions;
    std::vector<std::string> summaries;  // what versions' summaries point into
    int history_end = TAVMERK_HISTORY_COMPLETE;

    const std::vector<uint8_t>& image_in_force() const { return at_version ? in_force : image; }
};

// Reads the directory in force under the shared lock, let go before it
// returns; with `at` ("K" or "~K"), the archive as it was at that version.
tavmerk_status load(const std::string& path, Loaded& out, const std::string& at = std::string());

// The failure of a version that cannot be had, by open_version's answer.
tavmerk_status version_failure(const std::string& path, VersionOpen problem, const std::string& at);

// The paths that are files, and those that are folders, in the directory
// loaded as the staged changes leave it: how a name is checked when it is
// staged (tavmerk_check_name). Where a change's effect is not certain
// (a folder removed keeps its entry while files stay below it) a path is
// dropped, so that the check refuses only what the commit would refuse.
class StagedNames {
public:
    StagedNames(const Loaded& loaded, const ChangeSet& staged);
    void note(const Change& change);
    // TAVMERK_OK, or a failure (REFUSED, CONFLICT) with its message.
    // With `target_too` false (a rename's new name), what stands at
    // `path` itself is not asked about.
    tavmerk_status check(const std::string& path, bool file, bool target_too) const;
    bool folder_at(const std::string& path) const { return folders_.count(path) && !files_.count(path); }

private:
    void add(const std::string& path, bool file);
    void add_folders_above(const std::string& path);
    // `path` and everything below it taken out of `paths` (and moved below
    // `to` when it is given).
    static void move_below(std::set<std::string>& paths, const std::string& path, const std::string* to);

    std::set<std::string> files_;
    std::set<std::string> folders_;
};

}  // namespace tavmerk::library

struct tavmerk_archive {
    std::mutex mutex;
    std::string path;  // absolute
    int mode = TAVMERK_READ;
    tavmerk::library::Loaded loaded;  // empty for a new archive not yet made
    bool exists = false;              // false: TAVMERK_CREATE, not committed yet
    tavmerk::ChangeSet changes;       // staged, in order
    // Built when a name is first checked; dropped with each load and discard.
    std::unique_ptr<tavmerk::library::StagedNames> names;
};
