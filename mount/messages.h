// What every room of the mount shares: its lines on standard error, and
// archive paths as they show in them and are taken apart.
#pragma once

#include <string>

#include "archive/path_rules.h"
#include "engine/locks.h"

namespace tavmerk {

// One line on standard error at a time, from any thread.
class Messages {
public:
    void say(const std::string& line);

private:
    Mutex mutex_;  // taken last, with nothing taken under it
};

// A path as messages show it: bytes that are not printable as \xHH.
std::string shown(const std::string& path);

// Archive paths: levels joined by "/", "" the root (archive/path_rules.h).
std::string joined(const std::string& folder, const std::string& name);
bool starts_with(const std::string& text, const std::string& start);
// `path` with its leading `from` (a path, or a folder of it) made `to`.
bool moved_path(std::string& path, const std::string& from, const std::string& to);

}  // namespace tavmerk
