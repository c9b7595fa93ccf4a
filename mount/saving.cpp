#include "mount/saving.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "engine/change_set.h"

namespace tavmerk {

namespace {

std::string commit_problem(CommitStatus status, int error)
{
    switch (status) {
    case CommitStatus::committed:
        break;
    case CommitStatus::refused_name:
        return "the archive cannot hold that name there (files lie in a folder)";
    case CommitStatus::not_found:
        return "nothing of the archive stands there any more";
    case CommitStatus::no_record:
        return "no record of the archive stands at that path any more";
    case CommitStatus::stale_place:
        return "the archive changed under the change";
    case CommitStatus::conflict:
        return "a file stands where a folder is needed, or the reverse";
    case CommitStatus::too_large:
        return "the archive would pass 4 GiB";
    case CommitStatus::read_failed:
        return "cannot read the scratch file";
    case CommitStatus::cannot_open:
        return "cannot open the archive for update";
    case CommitStatus::damaged:
        return "the archive's directory is damaged";
    case CommitStatus::data_outside:
        return "the archive was cut short: records' data lies past its end";
    case CommitStatus::exists:
        return "something stands there already";
    case CommitStatus::write_failed:
        return std::string("cannot write the archive") + (error ? ": " + platform::error_message(error) : "");
    case CommitStatus::cancelled:
        return "cancelled";
    }
    return "";
}

std::string change_problem(const ChangeResult& result)
{
    return commit_problem(result.status, result.error);
}

// What a failed write of the archive answers: a full disk (or quota) is
// ENOSPC, as is an archive that would pass 4 GiB (no room left in it).
int write_errno(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EFBIG ? -ENOSPC : -EIO;
}

// The errno of a commit's end; `error`, the system's reason where there
// is one (mount/mounted_archive.h lists them all for the man page).
int commit_errno(CommitStatus status, int error)
{
    switch (status) {
    case CommitStatus::committed:
        return 0;
    case CommitStatus::refused_name:
        return -EINVAL;
    case CommitStatus::not_found:
        return -ENOENT;
    case CommitStatus::conflict:
        return -ENOTDIR;
    case CommitStatus::too_large:
        return -ENOSPC;
    case CommitStatus::cannot_open:
        return -EACCES;
    case CommitStatus::exists:
        return -EEXIST;
    case CommitStatus::write_failed:
        return write_errno(error);
    default:
        return -EIO;
    }
}

int change_errno(const ChangeResult& result)
{
    return commit_errno(result.status, result.error);
}

}  // namespace

Saving::Saving(const MountOptions& options, Generations& generations, Messages& messages)
    : options_(options), generations_(generations), messages_(messages)
{
}

namespace {

// The record at `path` in `generation`, unset where it has none.
RecordRef record_in(const std::shared_ptr<const Generation>& generation, const std::string& path)
{
    RecordRef ref;
    const uint32_t found = generation ? generation->find(path) : ExpandedTree::none;
    if (found != ExpandedTree::none && !generation->tree.node(found).folder) {
        ref.generation = generation;
        ref.node = &generation->tree.node(found);
        ref.path = path;
    }
    return ref;
}

// Tries of a save that reads the content without the draft's lock, before
// one that holds it: writes that keep coming do not hold a save off.
constexpr int unlocked_tries = 3;

}  // namespace

Saving::Snapshot Saving::snapshot_of(Draft& draft)
{
    Snapshot snapshot;
    snapshot.path = draft.path;
    snapshot.size = draft.size;
    snapshot.version = draft.version;
    snapshot.created = snapshot.made = draft.created;
    if (const ExpandedTree::Node* node = draft.record.node) {
        snapshot.edited = true;
        snapshot.from = EditedFrom{node->data_offset, node->stored_size, node->expanded_size, node->checksum,
                                   draft.unchanged};
    }
    draft.changed_from = UINT64_MAX;  // what is written from now on is not in this content
    return snapshot;
}

RecordStorage Saving::storage_of(const Snapshot& snapshot)
{
    if (!snapshot.made)
        return RecordStorage::kept;
    const bool added_to = snapshot.edited && snapshot.from.unchanged >= snapshot.from.expanded_size &&
                          snapshot.size >= snapshot.from.expanded_size;
    return added_to ? RecordStorage::stored : RecordStorage::chosen;
}

int Saving::save(Draft& draft)
{
    // Every write made before this call counted the version up.
    const uint64_t wanted = draft.version + 1;
    MutexLock saving(draft.save_mutex);
    for (int tried = 0;; ++tried) {
        Snapshot snapshot;
        {
            MutexLock lock(draft.mutex);
            if (!draft.dirty || draft.unlinked || draft.committed_past >= wanted)
                return 0;
            if (tried == unlocked_tries)
                return save_locked(draft);
            snapshot = snapshot_of(draft);
        }
        if (!snapshot.made) {
            MutexLock lock(mutex_);
            snapshot.made = made_here_.count(snapshot.path) > 0;
        }
        bool read_again = false;
        const int result = save_unlocked(draft, snapshot, read_again);
        if (!read_again)
            return result;
    }
}

void Saving::saved(Draft& draft, const Snapshot& snapshot, const std::shared_ptr<const Generation>& generation)
{
    draft.record = record_in(generation, snapshot.path);
    if (snapshot.made)
        draft.created = false;
    draft.committed_past = std::max(draft.committed_past, snapshot.version + 1);
    draft.unchanged = std::min(snapshot.size, draft.changed_from);
    // Written to after the content saved was read: that is still to save.
    if (draft.version == snapshot.version)
        draft.dirty = false;
}

int Saving::save_unlocked(Draft& draft, const Snapshot& snapshot, bool& read_again)
{
    // The scratch file read without the draft's lock: pieces read while a
    // write changed it are read again. The scratch file stays open while
    // the draft holds changes (save_mutex is held: no other save ends it).
    bool changed = false;
    const auto read_scratch = [&draft, &snapshot, &changed](uint64_t offset, uint8_t* dest,
                                                            size_t size) NO_THREAD_SAFETY_ANALYSIS {
        changed = changed || !draft.scratch.read_at(offset, dest, size) || draft.version != snapshot.version;
        return !changed;
    };
    const std::string& path = snapshot.path;
    int result = 0;
    std::shared_ptr<const Generation> in_force;
    if (snapshot.created) {
        // A file created here becomes a record with its storage method
        // chosen as a new record's.
        MutexLock lock(mutex_);
        ChangeSet changes;
        if (made_here_.count(path))
            changes.remove(path, true);
        changes.put(path, Content::of_reader(snapshot.size, read_scratch));
        const std::shared_ptr<const Generation> generation = generations_.current();
        CommitOptions commit;
        commit.summary = "mount: save " + path;
        const ChangeResult committed = commit_changes(options_.archive_path, changes, commit);
        if (changed && !committed.ok()) {
            read_again = true;
            return 0;
        }
        if (!committed.ok()) {
            result = change_errno(committed);
            messages_.say("cannot save " + shown(path) + ": " + change_problem(committed));
        } else {
            made_here_.insert(path);
            in_force = generations_.take_up(generation, committed.image, committed.data_end, committed.stamp,
                                            std::string());
        }
    } else {
        const std::shared_ptr<const Generation> generation = generations_.current();
        const uint32_t found = generation->find(path);
        const size_t record_at = found == ExpandedTree::none ? 0 : generation->tree.node(found).record_at;
        // A path the tree no longer has is looked up afresh in the archive.
        static const std::vector<uint8_t> no_image;
        const std::vector<uint8_t>& known = found == ExpandedTree::none ? no_image : generation->image;
        const NewContent content{snapshot.size, read_scratch, snapshot.edited ? &snapshot.from : nullptr};
        StagedRecord staged;
        stage_record(options_.archive_path, content, known, record_at, staged, storage_of(snapshot));  // the compression
        if (changed) {
            read_again = true;
            return 0;
        }
        CommitResult committed;
        CommitStatus status;
        {
            MutexLock lock(mutex_);
            status = commit_staged_record(options_.archive_path, path, content, staged, known, record_at, committed,
                                          VersionNote{"mount: save " + path});
            if (status == CommitStatus::committed)
                in_force = generations_.take_up(generation, std::move(committed.image), committed.data_end,
                                                committed.stamp, path);
        }
        if (changed && status != CommitStatus::committed) {
            read_again = true;
            return 0;
        }
        if (status != CommitStatus::committed) {
            const int error = status == CommitStatus::write_failed ? platform::last_error() : 0;
            result = commit_errno(status, error);
            messages_.say(shown(path) + ": not saved: " + commit_problem(status, error));
        }
    }
    MutexLock lock(draft.mutex);
    if (result != 0)
        return draft.unlinked ? 0 : result;  // removed meanwhile: nothing more is saved
    saved(draft, snapshot, in_force);
    return 0;
}

int Saving::save_locked(Draft& draft)
{
    Snapshot snapshot = snapshot_of(draft);
    const std::string& path = snapshot.path;
    std::shared_ptr<const Generation> in_force;
    MutexLock lock(mutex_);
    // The commit reads the scratch file before it returns, the draft's
    // lock held all along; the analysis does not follow the lambda into
    // the commit.
    const auto read_scratch = [&draft](uint64_t offset, uint8_t* dest, size_t size) NO_THREAD_SAFETY_ANALYSIS {
        return draft.scratch.read_at(offset, dest, size);
    };
    snapshot.made = snapshot.made || made_here_.count(path) > 0;
    if (snapshot.created) {
        ChangeSet changes;
        if (made_here_.count(path))
            changes.remove(path, true);
        changes.put(path, Content::of_reader(draft.size, read_scratch));
        const int result = commit_set(changes, path, "save", nullptr, &in_force);
        if (result != 0)
            return result;
        made_here_.insert(path);
        saved(draft, snapshot, in_force);
        return 0;
    }
    const std::shared_ptr<const Generation> generation = generations_.current();
    const uint32_t found = generation->find(path);
    const size_t record_at = found == ExpandedTree::none ? 0 : generation->tree.node(found).record_at;
    const NewContent content{draft.size, read_scratch, snapshot.edited ? &snapshot.from : nullptr};
    CommitResult result;
    static const std::vector<uint8_t> no_image;
    const CommitStatus status = commit_record(options_.archive_path, path, content,
                                              found == ExpandedTree::none ? no_image : generation->image,
                                              record_at, result, storage_of(snapshot), VersionNote{"mount: save " + path});
    if (status != CommitStatus::committed) {
        const int error = status == CommitStatus::write_failed ? platform::last_error() : 0;
        messages_.say(shown(path) + ": not saved: " + commit_problem(status, error));
        return commit_errno(status, error);
    }
    in_force = generations_.take_up(generation, std::move(result.image), result.data_end, result.stamp, path);
    saved(draft, snapshot, in_force);
    return 0;
}

// One structural commit, under mutex_; 0 or the errno it comes to.
int Saving::commit_set(const ChangeSet& changes, const std::string& path, const char* action, const Moved* moved,
                       std::shared_ptr<const Generation>* in_force)
{
    const std::shared_ptr<const Generation> generation = generations_.current();
    CommitOptions commit;
    commit.summary = "mount: " + std::string(action) + " " + path;
    const ChangeResult result = commit_changes(options_.archive_path, changes, commit);
    if (!result.ok()) {
        messages_.say("cannot " + std::string(action) + " " + shown(path) + ": " + change_problem(result));
        return change_errno(result);
    }
    const auto taken_up =
        generations_.take_up(generation, result.image, result.data_end, result.stamp, std::string(), moved);
    if (in_force)
        *in_force = taken_up;
    return 0;
}

int Saving::remove(const std::string& path)
{
    // A record this mount made goes without a trace (an editor's swap
    // file); one that was in the archive is marked deleted in place.
    MutexLock lock(mutex_);
    ChangeSet changes;
    changes.remove(path, options_.unlink_drops || made_here_.count(path) > 0);
    const int result = commit_set(changes, path, "remove");
    if (result == 0)
        made_here_.erase(path);
    return result;
}

int Saving::make_folder(const std::string& path)
{
    MutexLock lock(mutex_);
    ChangeSet changes;
    changes.mkdir(path);
    return commit_set(changes, path, "make folder");
}

int Saving::remove_folder(const std::string& path)
{
    MutexLock lock(mutex_);
    ChangeSet changes;
    changes.remove(path, true);
    return commit_set(changes, path, "remove folder");
}

int Saving::rename(const std::string& from, const std::string& to, bool onto_file)
{
    MutexLock lock(mutex_);
    ChangeSet changes;
    changes.rename(from, to);  // an empty folder at TO is replaced
    const Moved renamed{from, to};  // its nodes keep their numbers at TO
    const int result = commit_set(changes, from, "rename", &renamed);
    if (result != 0)
        return result;
    // Onto a file, that file keeps its entry: what this mount made of FROM
    // goes; onto a free name, FROM's entry moves.
    std::set<std::string> moved;
    for (auto it = made_here_.begin(); it != made_here_.end();) {
        std::string path = *it;
        if (!moved_path(path, from, to)) {
            ++it;
            continue;
        }
        if (!onto_file)
            moved.insert(path);
        it = made_here_.erase(it);
    }
    made_here_.insert(moved.begin(), moved.end());
    return 0;
}

bool Saving::stands_now(const std::string& path)
{
    MutexLock lock(mutex_);
    generations_.refresh(true);
    RecordRef ref;
    return generations_.lookup(path, ref);
}

}  // namespace tavmerk
