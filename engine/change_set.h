// Structural changes to an archive, staged as a change set and committed
// once: new content for a path (replacing or adding a file), removing,
// renaming, making folders. Every front end (the companion, the mount, the
// library) stages its changes here and commits them with one call.
//
// A commit goes through four rooms, each with one job:
//   stage     the change set itself (this header): what to change, by path
//             or by place (a place carries its directory's identity);
//   prepare   every put's content read and compressed, before the lock is
//             taken, so that other runs wait for the append and the
//             directory write only (engine/change_prepare.h);
//   apply     under the lock, the changes made in order to the directory in
//             force held as a tree; nothing is written if any is refused
//             (engine/change_apply.h);
//   commit    the new data appended and the new directory made the
//             archive's through the transaction (engine/transaction.h): in
//             place, into the room after the directory, or, where it
//             outgrows that room, by writing the archive anew, as
//             compaction does, with room reserved for later growth.
// A crash at any moment leaves the archive as it was or with the whole
// change set; no byte that an earlier directory pointed at is overwritten.
//
// Paths are archive paths (archive/path_rules.h): components joined by
// single "/", as "/E" would write them below its root. Places are entries'
// indices in directory order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/path_rules.h"
#include "engine/transaction.h"
#include "platform/platform.h"

namespace tavmerk {

// A record's data as another archive stores it: its fields, to be
// written again as they are.
struct StoredRecord {
    uint32_t stored_size = 0;
    uint32_t expanded_size = 0;  // equal sizes: stored raw, else a zlib stream
    uint32_t checksum = 0;       // additive, over the stored bytes
};

// Where a put's bytes come from. Exactly one of the three is used: bytes
// held in memory, a regular file at an absolute path (opened only while it
// is read; a link there is refused), or a reader of `size` bytes.
// With `record` set, the reader gives a record's stored bytes, copied into
// the archive as they are (no compression, the record's method whatever
// the put's Storage); their sum must be the record's checksum when they
// are appended, or the commit fails (read_failed, changed_while_read).
struct Content {
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    std::string file_path;
    uint64_t size = 0;  // for `read`
    std::function<bool(uint64_t offset, uint8_t* dest, size_t size)> read;
    bool is_record = false;
    StoredRecord record;

    static Content of_bytes(std::vector<uint8_t> data);
    static Content of_file(std::string absolute_path);
    static Content of_reader(uint64_t size, std::function<bool(uint64_t, uint8_t*, size_t)> read);
    static Content of_record(const StoredRecord& record, std::function<bool(uint64_t, uint8_t*, size_t)> read_stored);
};

// How a put's record stores its data. `chosen`: a replaced record keeps its
// method (as "/P"); a new one is a level-9 zlib stream when that is smaller
// than the data, else stored.
enum class Storage { chosen, store, compress };

enum class ChangeKind { put, remove, rename, mkdir };

// No place given: the change reaches the entry at its path.
constexpr size_t no_place = SIZE_MAX;

// An entry as a place found it: what must still be at its path for the
// place to reach it in another directory.
struct PlacedEntry {
    bool folder = false;
    uint32_t stored_size = 0;
    uint32_t expanded_size = 0;
    uint32_t checksum = 0;
    uint32_t data_offset = 0;
};

struct Change {
    ChangeKind kind = ChangeKind::put;
    std::string path;  // put, remove, mkdir: the path; rename: FROM
    std::string to;    // rename: TO
    Content content;   // put
    Storage storage = Storage::chosen;
    bool drop = false;        // remove: take the entries out instead of marking files deleted
    // remove: where nothing stands at the path, a deleted file's entry is
    // made there (how a patch records a removal) instead of not_found.
    bool leave_entry = false;
    size_t place = no_place;  // put, remove, rename: the entry at this place instead of the one at `path`
    // With a place: the directory it was taken from (directory_identity;
    // 0: whatever is in force) and its entry there (`path` its path). In
    // another directory the place reaches the entry at `path` only where
    // that is the same record (a file with the same sizes, checksum and
    // data offset, or a folder); else the change fails with stale_place.
    uint64_t directory = 0;
    PlacedEntry entry;
};

class ChangeSet {
public:
    void put(std::string path, Content content, Storage storage = Storage::chosen);
    void remove(std::string path, bool drop = false);
    // The file at `path` marked deleted, or, where none stands, a deleted
    // file's entry made there.
    void mark_removed(std::string path);
    void rename(std::string from, std::string to);
    void mkdir(std::string path);
    void add(Change change) { changes_.push_back(std::move(change)); }
    void clear() { changes_.clear(); }

    bool empty() const { return changes_.empty(); }
    const std::vector<Change>& changes() const { return changes_; }
    std::vector<Change>& changes() { return changes_; }

private:
    std::vector<Change> changes_;
};


// What became of one entry, in the order the changes made them.
enum class ChangeOutcome { added, replaced, removed, renamed, made };

struct ChangeReport {
    ChangeOutcome outcome;
    std::string path;  // the entry's path (for renamed: FROM)
    std::string to;    // renamed: TO
    bool folder = false;
};

// A change set's commit ends as any transaction does (engine/transaction.h).
using ChangeStatus = CommitStatus;

// Told of bytes and records done so far; false cancels (before the
// directory is written, the archive stays as it was).
using Progress = std::function<bool(uint64_t bytes, uint64_t records)>;

struct CommitOptions {
    bool dry_run = false;  // resolve and report, write nothing (the archive is only read, under the shared lock)
    // Set: the commit is refused (stale_place, failed_change no_place)
    // unless the directory in force has this identity (directory_identity),
    // for changes worked out from a directory read before.
    uint64_t expect_directory = 0;
    // create_archive: room after the directory only as large as the
    // directory itself, for a file not meant to grow (a patch).
    bool least_room = false;
    unsigned workers = 0;  // compression threads besides the calling one
    Progress progress;
    // The commit's line in the archive's history (engine/history.h): made
    // by `describe` from what the commit did where set, else `summary`.
    std::string summary;
    std::function<std::string(const std::vector<ChangeReport>&)> describe;
    // False: the commit records no version, its directory written in
    // place over the room with nothing kept of the one it replaces (what
    // a commit costs without history, to measure against).
    bool keep_version = true;
};

struct ChangeResult {
    ChangeStatus status = ChangeStatus::committed;
    int error = 0;                    // the system's reason, where there is one
    size_t failed_change = no_place;  // the change that was refused
    std::vector<ChangeReport> reports;
    bool rewritten = false;           // the archive was rewritten to make room for its directory
    // The directory in force afterwards, with the archive's size and stamp.
    std::vector<uint8_t> image;
    uint64_t data_end = 0;
    platform::FileStamp stamp;

    bool ok() const { return status == ChangeStatus::committed; }
};

// An entry of the directory in force, as changes name it.
struct TreePath {
    std::string path;  // as "/E" writes it
    bool folder = false;
    bool live = false;      // a file with data
    bool top_level = false; // a top-level folder
    size_t place = 0;
};

// The entries of the archive at `archive_path` that have a path, in
// directory order, read under the shared lock: committed, cannot_open or
// damaged.
ChangeStatus read_tree_paths(const std::string& archive_path, std::vector<TreePath>& out, int& error);


// Applies `changes` to the archive at `archive_path` (absolute) in one
// commit. Nothing is written when any change is refused.
ChangeResult commit_changes(const std::string& archive_path, const ChangeSet& changes,
                            const CommitOptions& options = CommitOptions());

// A new archive at `new_path` (absolute) holding exactly what `changes`
// make of an empty one, its header's uninterpreted bytes taken from
// `header` (40 bytes, or empty for zeros). Written under a temporary name
// beside it, synced, given its name only where nothing stands there (with
// `replace`, also over a file there), and the folder synced.
ChangeResult create_archive(const std::string& new_path, const ChangeSet& changes,
                            const std::vector<uint8_t>& header, const CommitOptions& options = CommitOptions(),
                            bool replace = false);

}  // namespace tavmerk
