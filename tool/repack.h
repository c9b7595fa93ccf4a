// Repacking ("/P"): the files under the root brought back into the archive.
#pragma once

#include <string>

namespace tavmerk {

// Appends every live file found under `extract_root` to the archive and
// rewrites its directory. Returns false (after its message) when the
// archive cannot be opened for update, is damaged, or cannot be written.
bool pack_archive(const std::string& archive_path, const std::string& extract_root);

}  // namespace tavmerk
