// Undo: one commit that makes an earlier version's tree current again.
// The version's header and directory are written back as they were, so
// every record returns with its entry, place, name and storage method;
// its data is still in the file, where its directory points (engine/
// history.h). The commit is a version of its own: undoing it redoes.
#pragma once

#include <string>

#include "engine/change_set.h"

namespace tavmerk {

// Makes version `to` ("K" or "~K") of the archive at `archive_path`
// current. The reports tell, by path, what comes back (added), goes
// (removed) and changes (replaced); not_found when there is no such
// version or its data was dropped (`dropped` then set), damaged where its
// directory cannot be read.
ChangeResult undo_to_version(const std::string& archive_path, const std::string& to, const CommitOptions& options,
                             bool* dropped = nullptr);

}  // namespace tavmerk
