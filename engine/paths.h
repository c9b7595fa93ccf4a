// Paths as the front ends take them from their arguments: made absolute
// lexically (see platform::absolute_path), in the form the engines expect.
#pragma once

#include <string>

namespace tavmerk {

// The absolute folder path, always ending in a separator; empty when it is
// relative and the current directory cannot be found.
std::string make_extract_root(const std::string& argument);

// The absolute archive path, ending in a separator only when the argument
// does; empty as for make_extract_root.
std::string make_archive_path(const std::string& argument);

}  // namespace tavmerk
