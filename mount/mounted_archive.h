// An archive as a folder tree that programs read and edit: what the FUSE
// callbacks (mount/main.cpp) ask of the archive, answered with 0 or a
// negative errno, and without any FUSE type. It is glue over four rooms,
// each with one job and its own locks:
//
//   mount/generations.h  the archive as loaded or committed, node numbers,
//                        what the kernel must forget
//   mount/open_files.h   open files and their drafts
//   mount/saving.h       saving drafts, and the tree's changes, each one
//                        commit before its call returns
//   mount/ending.h       at unmount: the last saves, ARCHIVE.unsaved/,
//                        compaction
//
// What is shown is the tree "/E" would write (engine/expanded_tree.h), with
// every folder entry, empty ones too, and the files created here not yet
// saved. Every open of a file shares one content (mount/open_files.h); a
// file written to is saved, that shared content, when any of its
// descriptors is closed (flush) or synced;
// a created file becomes a record then (touch makes an empty one); remove,
// make folder, remove folder and rename are committed before they return.
// Links and special files are refused (EPERM), and so are files outside a
// folder (the archive holds files only in folders); names "/E" would not
// write back are EINVAL, a level over 255 bytes ENAMETOOLONG. What the
// archive cannot keep is answered as file systems without it answer:
// modes and owners other than those shown are EPERM, times set are shown
// for the life of the mount, a file past 4 GiB - 1 is EFBIG and an
// archive that would pass 4 GiB ENOSPC (doc/tavmerk-mount.1.scd lists
// every errno).
//
// Lock order. A thread holding one of these takes only those listed after
// it:
//   Draft::save_mutex       one save of a draft at a time, held through its
//                           compression (nothing waits for it but saves
//                           and the removal of a created file)
//   OpenFiles::mutex_       the table of drafts
//   Draft::mutex            one draft, held briefly: a write, a read, what
//                           a save reads and what it leaves
//   Saving::mutex_          one commit at a time (a record's final commit;
//                           a change set's, with its compression)
//   Generations::load_mutex_  one load or take-up at a time
//   Generations::mutex_     the generation in force, the nodes the kernel holds
//   Generations::created_mutex_  created files' nodes
//   Generations::changed_mutex_  what the kernel is still to be told
//   Generations::times_mutex_  times set on nodes
//   SpanCache's own         inflated data (mount/span_cache.h)
//   InflateIndex's own      a large record's checkpoints (engine/inflate_index.h)
//   Messages::mutex_        a line on standard error
// The kernel is told of changes with none of them held. The locks are
// those of engine/locks.h: Clang's -Wthread-safety checks that what each
// guards is touched only under it, and the order above where one function
// takes two of them in turn, from the ACQUIRED_BEFORE/ACQUIRED_AFTER on
// their declarations (Draft::save_mutex before OpenFiles::mutex_ before
// Draft::mutex before Saving::mutex_; the four of Generations in turn).
// Across calls, this list is the rule.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mount/mount_options.h"

namespace tavmerk {

class Ending;
class Generations;
class Messages;
class OpenFiles;
class Saving;

class MountedArchive {
public:
    struct Handle;

    explicit MountedArchive(MountOptions options);
    ~MountedArchive();

    // The first load; false with the reason (as "test" words it) when the
    // archive cannot be mounted.
    bool load(std::string& reason);

    int lookup(Ino parent, const std::string& name, EntryAttr& attr);
    // `handle`: asked through an open file (may be null).
    int getattr(Ino ino, const Handle* handle, EntryAttr& attr);
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
    // The kernel's cache holds one version of a node: while an open file
    // reads a version another run replaced, later opens of the node read
    // past it (direct_io), the new version from the mount.
    static bool past_cache(const Handle& handle);
    // `exclusive` (O_EXCL): EEXIST where another run has committed the
    // name meanwhile.
    int create(Ino parent, const std::string& name, bool exclusive, Handle*& handle, EntryAttr& attr);
    // The bytes read, in pieces that stay valid while `out` lives: spans
    // of the cache are handed over as they are, not copied.
    struct ReadOut {
        std::vector<std::pair<const uint8_t*, size_t>> pieces;
        std::vector<std::shared_ptr<const void>> held;
        std::unique_ptr<uint8_t[]> bytes;
        size_t size = 0;
    };
    int read(Handle& handle, size_t size, uint64_t offset, ReadOut& out);
    // `written`: fewer than `size` where the file would pass largest_file.
    int write(Ino ino, Handle& handle, const uint8_t* data, size_t size, uint64_t offset, size_t& written);
    // `handle` may be null (a truncation without an open file).
    int truncate(Ino ino, Handle* handle, uint64_t size);
    int flush(Handle& handle);
    // fsync of a folder: what is pending below it is committed.
    int sync_folder(Ino folder);
    // utimensat: `no_time` leaves one as it is.
    int set_times(Ino ino, const Handle* handle, int64_t accessed_ns, int64_t modified_ns);
    void release(Handle* handle);
    int unlink(Ino parent, const std::string& name);
    int mkdir(Ino parent, const std::string& name, EntryAttr& attr);
    int rmdir(Ino parent, const std::string& name);
    int rename(Ino from_parent, const std::string& from_name, Ino to_parent, const std::string& to_name,
               bool no_replace, bool exchange);
    // The kernel names a node from a reply that gives it (a lookup, a
    // create, a listing with attributes) until it forgets it: a node gone
    // from the tree is served from the generation it was last in until
    // then, and that generation, with its archive's descriptor, goes with
    // the last such node (open files hold their own).
    void remember(Ino ino);
    void forget(Ino ino, uint64_t count);

    // A refusal: one line on standard error, EPERM (ENAMETOOLONG for a
    // name too long to be looked at).
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
    int changing_path(Ino parent, const std::string& name, std::string& path);
    int open_path(const std::string& path, Ino ino, bool write, bool truncate, Handle*& handle, bool& keep_cache);
    int refuse_path(const char* action, const std::string& path, const char* why, int error = EPERM);
    int save_pending(const std::string& path);

    MountOptions options_;
    std::unique_ptr<Messages> messages_;
    std::unique_ptr<Generations> generations_;
    std::unique_ptr<OpenFiles> open_files_;
    std::unique_ptr<Saving> saving_;
    std::unique_ptr<Ending> ending_;
};

}  // namespace tavmerk
