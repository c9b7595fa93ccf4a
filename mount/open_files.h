// The open-files room: each file's content while it is open, or edited and
// not yet saved (its draft), and the handles the kernel holds on them.
//
// A draft reads from the record it was opened on (the generation keeps the
// archive's file open) until a change copies the record into a scratch
// file (an unnamed file beside the archive; not for a truncation to
// nothing). A file has one content while any descriptor is open on it, as
// on a local file system: every open of a path shares the draft there, and
// each save commits that shared content. A draft follows its own saves
// (its record is the one committed), so that opens after a save share it
// still; only when another run committed a new record for the path does an
// open find the archive at another version than a draft with nothing
// pending, and get a draft of its own, while those opened before read on
// the version they opened. Sizes shown for the path are the shared
// content's (the kernel puts O_APPEND writes at the size it knows). A
// draft holds its scratch file only while it is open or holds changes not
// saved: a file saved and closed costs no descriptor.
//
// A save (mount/saving.h) makes the content ready (compressed) holding
// only the draft's `save_mutex`, reading the scratch file without its
// `mutex`: writes meanwhile count `version` up before they change the
// scratch file, and a save that sees it move reads again. Opens, reads
// and writes of the file being saved go on meanwhile.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/locks.h"
#include "mount/generations.h"
#include "mount/messages.h"
#include "mount/mounted_archive.h"
#include "mount/span_cache.h"
#include "platform/platform.h"

namespace tavmerk {

struct Draft {
    Draft(std::string at, RecordRef opened) : path(std::move(at)), record(std::move(opened)) {}

    Mutex save_mutex;  // one save of it at a time, held through the compression
    Mutex mutex ACQUIRED_AFTER(save_mutex);
    // Counted up, under `mutex`, before each change of the content: a save
    // that read it without the lock knows whether it read one version.
    std::atomic<uint64_t> version{0};
    // Where it is saved; changed by a rename under OpenFiles' lock too.
    std::string path GUARDED_BY(mutex);
    // The record it was opened on or last saved to; unset for a created
    // file not yet saved.
    RecordRef record GUARDED_BY(mutex);
    bool created GUARDED_BY(mutex) = false;  // created here and not yet a record
    // Removed or replaced while open: nothing more is saved.
    bool unlinked GUARDED_BY(mutex) = false;
    Ino ino GUARDED_BY(mutex) = 0;  // a created file's node
    bool materialized GUARDED_BY(mutex) = false;  // the content is in `scratch`
    // Changed since the last commit (a created file: from the start).
    bool dirty GUARDED_BY(mutex) = false;
    // One past the last version committed (0: none yet): a save of the
    // writes made before it is done by any commit of their version or a
    // later one, its own or one that another save made.
    uint64_t committed_past GUARDED_BY(mutex) = 0;
    // The content's first bytes that are still its record's data: a save
    // of a file only added to since (a log) need not copy it all again.
    uint64_t unchanged GUARDED_BY(mutex) = 0;
    // The lowest byte changed (written or cut) since the content a save
    // is reading was taken: what is left unchanged once that is the record.
    uint64_t changed_from GUARDED_BY(mutex) = UINT64_MAX;
    platform::UpdateFile scratch GUARDED_BY(mutex);
    uint64_t size GUARDED_BY(mutex) = 0;
    int opens GUARDED_BY(mutex) = 0;
};

struct MountedArchive::Handle {
    std::shared_ptr<Draft> draft;
    bool past_cache = false;  // reads past the kernel's cache (OpenFiles::open)
    // The size the kernel keeps for the node may be an older version's
    // (its reads end there): to be asked again.
    bool size_unsure = false;
};

class OpenFiles {
public:
    using Handle = MountedArchive::Handle;
    using ReadOut = MountedArchive::ReadOut;

    OpenFiles(const MountOptions& options, Generations& generations, Messages& messages);

    // The handle reads past the kernel's cache, which holds one version of
    // a node, where another version of it is still open.
    int open(const std::string& path, Ino ino, bool write, Handle*& handle, bool& keep_cache);
    // A new file's draft at `path`, nothing there yet.
    int create(const std::string& path, Handle*& handle, Ino& ino);
    void release(Handle* handle);
    int read(Handle& handle, size_t size, uint64_t offset, ReadOut& out);
    int write(Handle& handle, const uint8_t* data, size_t size, uint64_t offset);
    int truncate(Handle& handle, uint64_t size);

    std::shared_ptr<Draft> draft_at(const std::string& path) const;
    bool none() const;
    // A file being edited shows its draft's size; a created file is its
    // draft. False when no such draft stands at `path`.
    bool draft_attr(const std::string& path, EntryAttr& attr) const;
    // What an open file reads: its draft's size once changed, else its
    // record's. False for a created file's.
    bool handle_attr(const Handle& handle, EntryAttr& attr) const;
    // Likewise for a node opened last on a draft still open (a file
    // removed while open has no path left to be found by).
    bool node_attr(Ino ino, EntryAttr& attr) const;
    // The drafts in the folder `folder`: created files (name, attributes)
    // and the sizes of files being edited, by name.
    void in_folder(const std::string& folder, int64_t modified_ns, std::vector<std::pair<std::string, EntryAttr>>& created,
                   std::map<std::string, uint64_t>& edited) const;
    bool any_below(const std::string& folder) const;
    // The drafts at paths below `folder` (the top: "", all of them).
    std::vector<std::shared_ptr<Draft>> drafts_below(const std::string& folder) const;
    // A created file never saved, let go of: true when one stood at `path`.
    bool drop_unsaved(const std::string& path);
    // The drafts at `path` (and below it) are no longer saved there.
    void let_go(const std::string& path, bool below);
    // Drafts at FROM, and below it, go on at TO.
    void move(const std::string& from, const std::string& to);
    // Every draft, for the end.
    std::vector<std::shared_ptr<Draft>> take_all();

private:
    // The record data a reference reads (all zero: none).
    using ServedData = std::tuple<uint64_t, uint32_t, uint32_t, uint32_t>;
    static ServedData data_of(const RecordRef& ref);
    // Whether what the draft holds is the file at its path now: changed or
    // created here, or on the record in force there.
    bool current(const Draft& draft) const REQUIRES(draft.mutex);
    // Whether a draft of a replaced version of node `ino` is still open.
    bool still_open(Ino ino) REQUIRES(mutex_);
    bool materialize(Draft& draft, bool empty) REQUIRES(draft.mutex);
    // Before a change of the content from `offset` on.
    static void changed_at(Draft& draft, uint64_t offset) REQUIRES(draft.mutex);
    int read_record(const RecordRef& ref, uint8_t* dest, size_t size, uint64_t offset, size_t& got);

    const MountOptions& options_;
    Generations& generations_;
    Messages& messages_;
    std::string scratch_folder_;
    SpanCache cache_;

    mutable Mutex mutex_ ACQUIRED_AFTER(Draft::save_mutex) ACQUIRED_BEFORE(Draft::mutex);
    std::map<std::string, std::shared_ptr<Draft>> drafts_ GUARDED_BY(mutex_);  // by path
    // Drafts with changes that could not be saved, no longer at their path
    // in `drafts_` (a later open took it): saved or rescued at the end.
    std::vector<std::shared_ptr<Draft>> stranded_ GUARDED_BY(mutex_);
    // The record data each node gave at its last open.
    std::unordered_map<Ino, ServedData> served_ GUARDED_BY(mutex_);
    // The draft each node was opened on last.
    std::unordered_map<Ino, std::weak_ptr<Draft>> by_node_ GUARDED_BY(mutex_);
    // Drafts of a version another run replaced, open when a later open of
    // the node took the new one: while one stays open, opens of the node
    // read past the kernel's cache, which the old version's reads fill.
    std::unordered_map<Ino, std::vector<std::weak_ptr<Draft>>> older_ GUARDED_BY(mutex_);
    // Nodes opened past the cache since their last open that was not.
    std::unordered_set<Ino> mixed_ GUARDED_BY(mutex_);
};

}  // namespace tavmerk
