// Why a change set was not committed, in the words every front end that
// shows text uses (the companion's error lines, the explorer's answers).
#pragma once

#include <string>

#include "engine/change_set.h"

namespace tavmerk {

// What a committed change did, in one word ("added", "replaced",
// "removed", "renamed", "made").
const char* change_outcome_word(ChangeOutcome outcome);

// The change a refusal names: its path, or "FROM -> TO" for a rename,
// escaped for a text line (escape_name); empty where none is named.
std::string refused_change(const ChangeSet& changes, size_t index);

// One line for a commit that ended with anything but committed, naming
// the change refused or the archive (`archive_name`), with the system's
// reason where there is one.
std::string change_failure(const ChangeSet& changes, const ChangeResult& result, const std::string& archive_name);

}  // namespace tavmerk
