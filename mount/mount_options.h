// What the mount is told at its start, and how it names nodes and their
// attributes to the FUSE side (mount/main.cpp), without any FUSE type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tavmerk {

struct MountOptions {
    std::string archive_path;  // absolute
    bool read_only = false;
    std::string at;  // -o at=: that version of the archive, read only ("K" or "~K", resolved at the load)
    size_t cache_bytes = size_t(64) << 20;
    bool unlink_drops = false;  // -o unlink=drop: every unlinked file's entry is taken out
    double compact_ratio = -1;  // -o compact=: compact at unmount past this share reclaimable (< 0: never)
    uint32_t compact_keep = 0;  // -o keep=: versions whose data that compaction keeps (0: all)
    // Told each node whose attributes a load or commit changed (the kernel
    // may be caching them), with no lock of the mount held.
    std::function<void(uint64_t ino)> attributes_changed;
    // Told each name that a tree of another shape took away or gave
    // another node, by its folder's node, likewise.
    std::function<void(uint64_t parent, const std::string& name)> entry_changed;
};

using Ino = uint64_t;
constexpr Ino root_ino = 1;

// A file's expanded size is 32 bits in a record: nothing larger can be
// stored (EFBIG).
constexpr uint64_t largest_file = 0xFFFFFFFFu;
// The longest name of one level (ENAMETOOLONG past it), as the kernel's
// own file systems take.
constexpr size_t longest_name = 255;
// No time of its own: the access time shown is the modification time.
constexpr int64_t no_time = INT64_MIN;

struct EntryAttr {
    Ino ino = 0;
    bool folder = false;
    uint64_t size = 0;
    int64_t modified_ns = 0;
    int64_t accessed_ns = no_time;
    // A file's names: 1, or 0 once removed while open; a folder's, its
    // subfolders + 2 (its name, its ".", each subfolder's "..").
    uint32_t links = 1;
};

}  // namespace tavmerk
