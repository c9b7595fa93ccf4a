// Folder trees in tests and fuzz targets: making, probing and listing
// them. Free of GoogleTest, so that the fuzz targets can use it too.
#pragma once

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

}  // namespace test
