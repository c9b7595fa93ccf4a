// An archive as a folder tree that programs read and edit: what the FUSE
// callbacks (mount/main.cpp) ask of the archive, answered with 0 or a
// negative errno, and without any FUSE type.
//
// What is shown is the tree "/E" would write (engine/expanded_tree.h), read
// from a generation: the archive file as found at one (re)load, its
// directory and tree. The directory is loaded under the shared lock, which
// is let go at once: the mount holds no lock while idle. Data located
// through a committed directory stays where it is (data is only ever
// appended; a compaction writes a new file, and a generation keeps the old
// one open), so reads need no lock. At each open of a file or folder the
// archive's stamp is compared with the generation's, and a changed archive
// is loaded again: commits of other runs show from the next open on.
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
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "archive/walk.h"
#include "mount/span_cache.h"
#include "platform/platform.h"
#include "engine/expanded_tree.h"

namespace tavmerk {

struct MountOptions {
    std::string archive_path;  // absolute
    bool read_only = false;
    size_t cache_bytes = size_t(64) << 20;
    // Told each path whose attributes a load of another run's commit
    // changed (the kernel may be caching them), from an open of a file or
    // folder, with no lock of the archive held.
    std::function<void(const std::string& path)> attributes_changed;
};

struct EntryAttr {
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

    int getattr(const std::string& path, EntryAttr& attr);
    // The names in a folder from the `first` on (0 is the first), each
    // with its attributes, handed to `each` until it returns false.
    using ListEach = std::function<bool(const std::string& name, const EntryAttr& attr)>;
    int list(const std::string& path, size_t first, const ListEach& each);
    int open_folder(const std::string& path);
    // `keep_cache`: the kernel may keep what it cached of the file, the
    // same record data as at its last open.
    int open(const std::string& path, bool write, bool truncate, Handle*& handle, bool& keep_cache);
    int create(const std::string& path, Handle*& handle);
    int read(Handle& handle, uint8_t* dest, size_t size, uint64_t offset, size_t& got);
    int write(Handle& handle, const uint8_t* data, size_t size, uint64_t offset);
    // `handle` may be null (a truncation by path).
    int truncate(const std::string& path, Handle* handle, uint64_t size);
    int flush(Handle& handle);
    void release(Handle* handle);
    int unlink(const std::string& path);
    int rename(const std::string& from, const std::string& to, bool no_replace, bool exchange);
    // A refusal: one line on standard error, EPERM.
    int refuse(const char* action, const std::string& path, const char* why);

    // At unmount: commits what is still pending, writes what cannot be
    // saved under ARCHIVE.unsaved/. False when anything went there.
    bool finish();

private:
    struct Generation;
    struct Draft;
    struct RecordRef;

    std::shared_ptr<const Generation> current() const;
    bool reload(std::string& reason);
    void refresh();
    void install(std::shared_ptr<const Generation> generation);
    bool lookup(const std::string& path, RecordRef& ref) const;
    void note_changes(const Generation& before, const Generation& after, const std::string& except);
    void tell_changes();
    std::shared_ptr<Draft> draft_at(const std::string& path) const;
    bool materialize(Draft& draft, bool empty);
    int read_record(const RecordRef& ref, uint8_t* dest, size_t size, uint64_t offset, size_t& got);
    int commit(Draft& draft, const std::string& path);
    bool rescue(Draft& draft, const std::string& path);
    void say(const std::string& line);

    MountOptions options_;
    std::string scratch_folder_;
    SpanCache cache_;

    mutable std::shared_mutex generation_mutex_;
    std::shared_ptr<const Generation> generation_;
    std::mutex reload_mutex_;
    std::mutex commit_mutex_;

    mutable std::mutex drafts_mutex_;
    std::map<std::string, std::shared_ptr<Draft>> drafts_;  // by path
    // The record data each path gave at its last open (all zero: none).
    using ServedData = std::tuple<uint64_t, uint32_t, uint32_t, uint32_t>;
    std::unordered_map<std::string, ServedData> served_;
    std::mutex say_mutex_;
    std::mutex changed_mutex_;
    std::vector<std::string> changed_;  // paths not yet told to attributes_changed
};

}  // namespace tavmerk
