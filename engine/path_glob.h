// Glob patterns over record paths, matched against the raw path bytes with
// levels joined by "/":
//   *       any bytes within one level (never "/")
//   ?       one byte other than "/"
//   [...]   one byte (other than "/") of a class: single bytes and ranges
//           "a-z"; "!" or "^" first negates it; "]" first is a member; an
//           unterminated "[" is itself
//   **/     zero or more whole levels (at the start or after a "/")
//   **      as the whole last level: everything below
// Every other byte matches itself.
#pragma once

#include <string>

namespace tavmerk {

bool glob_match(const std::string& pattern, const std::string& path);

}  // namespace tavmerk
