// Folder trees in tests and fuzz targets: making, probing, listing and
// removing them; and the reference checksums. Free of GoogleTest, so that
// the fuzz targets can use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace test {

bool exists(const std::string& path);  // without following a final link
void make_dirs(const std::string& path);  // and every missing folder above
// Every file and folder below `root`, as "rel/path" (folders end in "/"),
// with each file's contents ("<link>" for a link, "<special>" for a FIFO
// or device), sorted. Throws std::runtime_error for a file it cannot read.
std::vector<std::pair<std::string, std::string>> list_tree(const std::string& root);
// Removes `path` and everything below it, unreadable folders included.
// Holds one folder open at a time and climbs back through "..", so neither
// the depth nor the length of the paths below is limited. False when
// something could not be removed.
bool remove_tree(const std::string& path);

// Independent references for the archive's two checksums: zlib's CRC-32,
// and the additive checksum written out the slow way.
uint32_t reference_crc32(const uint8_t* data, size_t size);
uint32_t reference_additive(const uint8_t* data, size_t size);

}  // namespace test
