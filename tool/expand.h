// Expansion ("/E"): every live file of the archive written under the root.
#pragma once

#include <string>

namespace tavmerk {

// Maps the archive and writes its files under `extract_root`. Returns false
// (after its message) when the archive cannot be opened or its directory is
// damaged; a bad folder id ends the process from inside.
bool expand_archive(const std::string& archive_path, const std::string& extract_root);

}  // namespace tavmerk
