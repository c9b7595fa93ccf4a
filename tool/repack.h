// Repacking ("/P"): the files under the root brought back into the archive.
#pragma once

#include <string>

#include "tool/ordered_work.h"

namespace tavmerk {

// Appends every live file found under `extract_root` to the archive and
// rewrites its directory. Returns false (after its message) when the
// archive cannot be opened for update, is damaged, or cannot be written.
// `workers` threads compress ahead of the appending; with 0 everything runs
// on the calling thread.
bool pack_archive(const std::string& archive_path, const std::string& extract_root,
                  unsigned workers = default_workers());

}  // namespace tavmerk
