// The saving room: drafts committed to the archive, and the changes of its
// tree (remove, make folder, remove folder, rename), each one commit before
// the call that asked for it returns.
//
// A file that was in the archive is saved to its record alone
// (engine/record_commit.h): its storage method kept, the content compressed
// before the exclusive lock is taken. Only the draft's save_mutex is held
// while it is compressed, and the draft's own lock not even for the final
// commit: opens, reads and writes of the file go on meanwhile, and those of
// other files never wait for a save. A stored record only added to takes
// the added bytes where its data ends, when nothing was appended after it.
//
// A file created here becomes a record of its own through a change set
// (engine/change_set.h) at its first save, its storage method chosen as for
// a new record (zlib when smaller, else stored); later saves are saves of
// that record: one only added to since it was saved (a log, each line
// fsynced) is stored raw, so that a save costs what was added and no
// compression; one changed otherwise gets its method chosen anew, made
// ready before the lock. The paths of the records this mount made are kept
// for that, and so that removing one takes its entry out rather than
// marking it deleted.
//
// Saves of one draft take turns. A save that finds every write made before
// it was asked for already committed (by a save that was under way or
// waiting: another descriptor's close or fsync, a folder's fsync) returns
// without a commit of its own. (The kernel holds a file's node through an
// fsync and through a write, so two fsyncs of one file never overlap: each
// is a commit of what was written before it.)
#pragma once

#include <memory>
#include <set>
#include <string>

#include "engine/locks.h"
#include "engine/record_commit.h"
#include "mount/generations.h"
#include "mount/messages.h"
#include "mount/open_files.h"

namespace tavmerk {

class ChangeSet;

class Saving {
public:
    Saving(const MountOptions& options, Generations& generations, Messages& messages);

    // Commits the draft's content at its path: read without its lock, and
    // read again when a write came meanwhile (under the lock, at the last
    // try). 0 or a negative errno; the draft stays changed when its save
    // failed, or when it was written to after the content saved was read.
    // Returns at once when a commit since the call took every write made
    // before it.
    int save(Draft& draft) EXCLUDES(draft.save_mutex, draft.mutex, mutex_);
    // The same with the draft's lock held all along (at the end).
    int save_locked(Draft& draft) REQUIRES(draft.mutex) EXCLUDES(mutex_);
    int remove(const std::string& path);
    int make_folder(const std::string& path);
    // The folder, empty of live entries, with the deleted records below it.
    int remove_folder(const std::string& path);
    // Onto a file, that file keeps its entry and takes FROM's content.
    int rename(const std::string& from, const std::string& to, bool onto_file);
    // Whether something stands at `path` in the archive as committed now:
    // a directory other runs changed is read again first, under the
    // commit lock and once no other run holds the archive for a commit
    // (O_EXCL).
    bool stands_now(const std::string& path) EXCLUDES(mutex_);

private:
    // What a save reads: the draft's content as one write left it.
    struct Snapshot {
        std::string path;
        uint64_t size = 0;
        uint64_t version = 0;
        bool created = false;  // created here, not yet a record
        bool made = false;     // a file created here, or a record this mount made
        bool edited = false;   // `from` holds: the draft has a record
        EditedFrom from;
    };
    static Snapshot snapshot_of(Draft& draft) REQUIRES(draft.mutex);
    // How a record's new data is stored: as it is for the archive's own;
    // for one this mount made, raw when only added to, else chosen anew.
    static RecordStorage storage_of(const Snapshot& snapshot);
    int save_unlocked(Draft& draft, const Snapshot& snapshot, bool& read_again) REQUIRES(draft.save_mutex)
        EXCLUDES(draft.mutex, mutex_);
    // After a commit of `snapshot`: the draft's record is the committed one.
    void saved(Draft& draft, const Snapshot& snapshot, const std::shared_ptr<const Generation>& generation)
        REQUIRES(draft.mutex);
    int commit_set(const ChangeSet& changes, const std::string& path, const char* action,
                   const Moved* moved = nullptr, std::shared_ptr<const Generation>* in_force = nullptr) REQUIRES(mutex_);

    const MountOptions& options_;
    Generations& generations_;
    Messages& messages_;

    // One commit at a time. Held through a record's final commit only; a
    // change set compresses within its commit call, under it.
    Mutex mutex_ ACQUIRED_AFTER(Draft::mutex);
    std::set<std::string> made_here_ GUARDED_BY(mutex_);  // paths of the records this mount made
};

}  // namespace tavmerk
