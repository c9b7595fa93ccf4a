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
    size_t cache_bytes = size_t(64) << 20;
    bool unlink_drops = false;  // -o unlink=drop: every unlinked file's entry is taken out
    double compact_ratio = -1;  // -o compact=: compact at unmount past this share unreferenced (< 0: never)
    // Told each node whose attributes a load or commit changed (the kernel
    // may be caching them), with no lock of the mount held.
    std::function<void(uint64_t ino)> attributes_changed;
    // Told each name that a tree of another shape took away or gave
    // another node, by its folder's node, likewise.
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

}  // namespace tavmerk
