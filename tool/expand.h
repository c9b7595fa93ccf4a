// Expansion ("/E"): every live file of the archive written under the root.
#pragma once

#include <string>

#include "tool/ordered_work.h"

namespace tavmerk {

// Maps the archive and writes its files under `extract_root`. Returns false
// (after its message) when the archive cannot be opened or its directory is
// damaged; a bad folder id ends the process from inside.
// Files are created in directory order on the calling thread, then inflated
// and written by `workers` threads; with 0 everything runs on the calling
// thread.
bool expand_archive(const std::string& archive_path, const std::string& extract_root,
                    unsigned workers = default_workers());

}  // namespace tavmerk
