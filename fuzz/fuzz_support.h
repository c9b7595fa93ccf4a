// What the fuzz targets share: a scratch folder guarded by sentinels, the
// check that nothing outside its root was created or changed, and the
// emptying of the root between inputs. Any broken check ends the process
// with abort(), which the fuzzer reports as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tree_files.h"  // exists, make_dirs, list_tree, remove_tree, reference checksums

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// Prints `what` to standard error and aborts.
[[noreturn]] void fail(const std::string& what);

// Sends standard output (the tool's console lines) to /dev/null and turns
// the key wait off: in-process runs must never block on a terminal.
void quiet_tool();

// A scratch folder, made under $TMPDIR (or /tmp) once per process and
// removed at exit:
//   <base>/sentinel
//   <base>/guard/sentinel
//   <base>/guard/archive.pak    the input, written as an archive
//   <base>/guard/root/          the root the tool works below
// Two levels of sentinels and listings catch a write that climbs out of the
// root by one or two levels.
class Scratch {
public:
    explicit Scratch(const std::string& target);

    const std::string& archive() const { return archive_; }
    // Absolute, ending in a separator, as the tool's entry point makes it.
    const std::string& root() const { return root_; }
    std::string root_path(const std::string& rel) const { return root_ + rel; }

    void write_archive(const uint8_t* data, size_t size) const;
    Bytes read_archive() const;

    // Aborts unless both sentinels are unchanged and the two guard levels
    // hold nothing but what they were made with.
    void check_outside_root() const;

    // Removes the root and everything below it, however deep.
    void remove_root() const;

private:
    std::string base_, guard_, archive_, root_;
};

// The whole file at `path`; false if it cannot be read.
bool read_whole(const std::string& path, Bytes& out);
void write_whole(const std::string& path, const uint8_t* data, size_t size);

inline uint32_t be32_at(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

}  // namespace fuzz
