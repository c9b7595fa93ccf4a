// A whole new archive file put in place of an old one, or at a new path:
// how compaction, a commit whose directory outgrows its room, and the
// making of a new archive write a file. The new file is written under a
// temporary name beside its place, synced, locked, and only then given its
// name, the folder synced after: a crash leaves the old file (or none at a
// new path) or the whole new one, never one in part.
#pragma once

#include <functional>
#include <string>

#include "engine/run_result.h"
#include "platform/platform.h"

namespace tavmerk {

// Splits an absolute path into its folder (ending in a separator) and its
// last name; false when it has no name.
bool split_path(const std::string& path, std::string& folder, std::string& name);

enum class Placing {
    replace,  // over the file at the path, its permission bits (owner and group where it may) copied
    new_file, // only where nothing stands at the path; whatever appears there meanwhile is never replaced
};

// Writes the new file at `path` (absolute, links already resolved) through
// `write`, which gets it open and empty and returns false on a failed
// write (`write`'s own failure reason is kept: `error`, when set non-zero
// by it, is returned as it is). `release` runs just before the rename: on
// Windows, the old file must be let go of first. Nothing is left behind on
// failure.
RunResult write_archive_file(const std::string& path, Placing placing,
                             const std::function<bool(platform::OutputFile& out, RunEnd& end)>& write,
                             const std::function<void()>& release = nullptr);

}  // namespace tavmerk
