// An archive as a folder tree that programs read and edit: what the FUSE
// callbacks (mount/main.cpp) ask of the archive, answered with 0 or a
// negative errno, and without any FUSE type.
//
// Files and folders are named by node numbers (`Ino`), as FUSE names
// them: a node of the tree is its index in the tree plus one, in the
// high half the shape of the tree it belongs to (a later load whose tree
// differs in shape numbers its nodes anew; a node of an earlier shape is
// found again by its path). Files created in the mount have numbers of
// their own, with the top bit set. So a node costs the mount no memory
// of its own, however many the kernel has been told of.
//
// What is shown is the tree "/E" would write (engine/expanded_tree.h), read
// from a generation: the archive file as found at one (re)load, its
// directory and tree. The directory is loaded under the shared lock, which
// is let go at once: the mount holds no lock while idle. Data located
// through a committed directory stays where it is (data is only ever
// appended; a compaction writes a new file, and a generation keeps the old
// one open), so reads need no lock. At each open of a file (and of a
// folder, where the kernel asks) the archive's stamp is compared with the
// generation's, and a changed archive is loaded again: commits of other
// runs show from the next open on.
//
// Writing goes to drafts: a file's new content in a scratch file, the
// archive's data copied in at the first change (not for a truncation to
// nothing). flush (every close) and fsync commit a changed draft to its
// record alone (engine/record_commit.h), and the generation becomes the
// committed directory. Files created in the mount are drafts with no
// record; renaming one over a record's path commits it to that record.
// Drafts that could not be saved (created files never renamed onto a
// record, saves that failed) are written under ARCHIVE.unsaved/ when the
// mount ends.
#pragma once

#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "archive/walk.h"
#include "mount/span_cache.h"
#include "platform/platform.h"
#include "engine/expanded_tree.h"

namespace tavmerk {

class ChangeSet;

struct MountOptions {
    std::string archive_path;  // absolute
    bool read_only = false;
    size_t cache_bytes = size_t(64) << 20;
    bool unlink_drops = false;  // -o unlink=drop: every unlinked file's entry is taken out
    double compact_ratio = -1;  // -o compact=: compact at unmount past this share unreferenced (< 0: never)
    // Told each node whose attributes a load of another run's commit
    // changed (the kernel may be caching them), from an open of a file or
    // folder, with no lock of the archive held.
    std::function<void(uint64_t ino)> attributes_changed;
    // Told each name that a load of a tree of another shape took away or
    // gave another node, by its folder's node, likewise.
    std::function<void(uint64_t parent, const std::string& name)> entry_changed;
};

using Ino = uint64_t;
constexpr Ino root_ino = 1;

struct EntryAttr {
    Ino ino = 0;
    bool folder = false;
    uint64_t size = 0;
    int64_t modified_ns = 0;
};

class MountedArchive {
public:
    struct Handle;

    explicit MountedArchive(MountOptions options);
    ~MountedArchive();

    // The first load; false with the reason (as "test" words it) when the
    // archive cannot be mounted.
    bool load(std::string& reason);

    int lookup(Ino parent, const std::string& name, EntryAttr& attr);
    int getattr(Ino ino, EntryAttr& attr);
    // The names in a folder whose cookies come after `after` (0: all),
    // each with its attributes and its cookie, handed to `each` until it
    // returns false. Cookies 1 and 2 are left for "." and "..". A name
    // keeps its cookie while the folder's names are added and removed.
    using ListEach = std::function<bool(const std::string& name, const EntryAttr& attr, uint64_t cookie)>;
    int list(Ino folder, uint64_t after, const ListEach& each);
    int open_folder(Ino folder);
    // `keep_cache`: the kernel may keep what it cached of the file, the
    // same record data as at its last open.
    int open(Ino ino, bool write, bool truncate, Handle*& handle, bool& keep_cache);
    int create(Ino parent, const std::string& name, Handle*& handle, EntryAttr& attr);
    // The bytes read, in pieces that stay valid while `out` lives: spans
    // of the cache are handed over as they are, not copied.
    struct ReadOut {
        std::vector<std::pair<const uint8_t*, size_t>> pieces;
        std::vector<std::shared_ptr<const void>> held;
        std::unique_ptr<uint8_t[]> bytes;
        size_t size = 0;
    };
    int read(Handle& handle, size_t size, uint64_t offset, ReadOut& out);
    int write(Handle& handle, const uint8_t* data, size_t size, uint64_t offset);
    // `handle` may be null (a truncation without an open file).
    int truncate(Ino ino, Handle* handle, uint64_t size);
    int flush(Handle& handle);
    void release(Handle* handle);
    int unlink(Ino parent, const std::string& name);
    int mkdir(Ino parent, const std::string& name, EntryAttr& attr);
    int rmdir(Ino parent, const std::string& name);
    int rename(Ino from_parent, const std::string& from_name, Ino to_parent, const std::string& to_name,
               bool no_replace, bool exchange);
    // The kernel names a node from a reply that gives it (a lookup, a
    // create, a listing with attributes) until it forgets it: an earlier
    // shape's generation, and its archive's descriptor, go once the kernel
    // has forgotten its every node (open files hold their own).
    void remember(Ino ino);
    void forget(Ino ino, uint64_t count);

    // A refusal: one line on standard error, EPERM.
    int refuse(const char* action, Ino parent, const std::string& name, const char* why);

    // The archive's size, the bytes no live record uses (a compaction
    // would reclaim them), and the number of files and folders shown.
    void space(uint64_t& size, uint64_t& unreferenced, uint64_t& files) const;

    // At unmount: commits what is still pending, writes what cannot be
    // saved under ARCHIVE.unsaved/, and compacts the archive when the
    // bytes no live record uses pass `compact_ratio` of it. False when
    // anything went under ARCHIVE.unsaved/.
    bool finish();

private:
    struct Generation;
    struct Draft;
    struct RecordRef;

    struct Place;

    std::shared_ptr<const Generation> current() const;
    std::shared_ptr<const Generation> earlier_shape(Ino ino) const;
    bool place_of(Ino ino, Place& place, bool with_path) const;
    bool path_in(Ino parent, const std::string& name, std::string& path) const;
    bool fresh_path(Ino ino, std::string& path);
    bool no_drafts() const;
    void attr_of(const Generation& generation, uint32_t node, EntryAttr& attr) const;
    bool draft_attr(const std::string& path, EntryAttr& attr) const;
    bool kept_attr(Ino ino, EntryAttr& attr) const;
    int open_path(const std::string& path, Ino ino, bool write, bool truncate, Handle*& handle,
                  bool& keep_cache);
    int truncate_path(const std::string& path, Ino ino, Handle* handle, uint64_t size);
    int refuse_path(const char* action, const std::string& path, const char* why);
    // Without `wait`, an archive another run holds locked is left for later.
    bool reload(std::string& reason, bool wait = true);
    void refresh();
    void install(std::shared_ptr<const Generation> generation);
    bool lookup(const std::string& path, RecordRef& ref) const;
    void note_changes(const std::shared_ptr<const Generation>& before, Generation& after, uint32_t except);
    void tell_changes();
    void tell_changes_later();
    void teller();
    void stop_teller();
    void let_go(const std::string& path, bool below);
    void move_drafts(const std::string& from, const std::string& to, bool replaced);
    bool holds_anything(const RecordRef& folder) const;
    std::shared_ptr<Draft> draft_at(const std::string& path) const;
    bool materialize(Draft& draft, bool empty);
    int read_record(const RecordRef& ref, uint8_t* dest, size_t size, uint64_t offset, size_t& got);
    int commit(Draft& draft, const std::string& path);
    int commit_set(const ChangeSet& changes, const std::string& path, const char* action);
    void take_up(const std::shared_ptr<const Generation>& generation, std::vector<uint8_t> image, uint64_t data_end,
                 const platform::FileStamp& stamp, const std::string& saved);
    bool rescue(Draft& draft, const std::string& path);
    void say(const std::string& line);

    MountOptions options_;
    std::string scratch_folder_;
    SpanCache cache_;

    mutable std::shared_mutex generation_mutex_;
    std::shared_ptr<const Generation> generation_;
    std::mutex reload_mutex_;
    std::mutex commit_mutex_;
    std::set<std::string> made_here_;  // paths of records this mount made; guarded by commit_mutex_

    mutable std::mutex drafts_mutex_;
    std::map<std::string, std::shared_ptr<Draft>> drafts_;  // by path
    // Drafts with changes that could not be saved, no longer at their path
    // in `drafts_` (a later open took it): saved or rescued at the end.
    std::vector<std::shared_ptr<Draft>> stranded_;
    mutable std::mutex created_mutex_;  // taken last, with nothing taken under it
    std::map<Ino, std::string> created_;  // where each created file's node stands now
    Ino next_created_ = 0;
    // Earlier generations whose trees differ in shape from the current,
    // by shape, for the nodes of theirs the kernel may still name.
    std::map<uint32_t, std::shared_ptr<const Generation>> shapes_;
    std::map<uint32_t, uint64_t> named_;  // by shape, the lookups the kernel holds
    // Renames made here, by the shape in force before each: a node of an
    // earlier shape finds its path now through those made since.
    struct Rename {
        uint32_t shape;
        std::string from, to;
    };
    std::vector<Rename> renames_;
    uint32_t shapes_made_ = 0;
    // The record data each node gave at its last open (all zero: none).
    using ServedData = std::tuple<uint64_t, uint32_t, uint32_t, uint32_t>;
    static ServedData data_of(const RecordRef& ref);
    std::unordered_map<Ino, ServedData> served_;
    std::mutex say_mutex_;
    struct Change {
        Ino ino = 0;  // attributes changed; 0: the name below
        Ino parent = 0;
        std::string name;
    };
    std::mutex changed_mutex_;
    std::vector<Change> changed_;  // not yet told
    std::condition_variable tell_;
    bool tell_wanted_ = false;  // guarded by changed_mutex_, as ending_
    bool ending_ = false;
    std::thread teller_;
    std::vector<std::unique_ptr<platform::UpdateFile>> spares_;
};

}  // namespace tavmerk
