// The saving room: drafts committed to the archive, and the changes of its
// tree (remove, make folder, remove folder, rename), each one commit before
// the call that asked for it returns.
//
// A file that was in the archive is saved to its record alone
// (engine/record_commit.h): its storage method kept, the content compressed
// before the exclusive lock is taken. A file created here becomes a record
// of its own through a change set (engine/change_set.h), its storage method
// chosen at each save as for a new record (zlib when smaller, else stored);
// the paths of the records this mount made are kept for that, and so that
// removing one takes its entry out rather than marking it deleted.
#pragma once

#include <set>
#include <string>

#include "engine/locks.h"
#include "mount/generations.h"
#include "mount/messages.h"
#include "mount/open_files.h"

namespace tavmerk {

class ChangeSet;

class Saving {
public:
    Saving(const MountOptions& options, Generations& generations, Messages& messages);

    // Commits the draft at its path; the caller holds its mutex. 0 or a
    // negative errno; the draft stays changed when its save failed.
    int save(Draft& draft) REQUIRES(draft.mutex) EXCLUDES(mutex_);
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
    int commit_set(const ChangeSet& changes, const std::string& path, const char* action,
                   const Moved* moved = nullptr) REQUIRES(mutex_);

    const MountOptions& options_;
    Generations& generations_;
    Messages& messages_;

    Mutex mutex_ ACQUIRED_AFTER(Draft::mutex);  // one commit at a time
    std::set<std::string> made_here_ GUARDED_BY(mutex_);  // paths of the records this mount made
};

}  // namespace tavmerk
