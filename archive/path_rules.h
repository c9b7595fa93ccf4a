// The rules of archive paths, in one place: how a path as "/E" writes it is
// split into levels and joined again, which names a new entry may have
// (those "/E" writes back at the same path on Linux and on Windows), and
// how raw name bytes are shown on a text line and in JSON.
#pragma once

#include <string>
#include <vector>

namespace tavmerk {

// The levels of an archive path ("a/b/c": "a", "b", "c"); "" gives one empty level.
std::vector<std::string> split_levels(const std::string& path);
// All but the last level ("" at the top); the last level alone.
std::string parent_of(const std::string& path);
std::string last_level(const std::string& path);

// True when "/E" would write a level of this name back under the same
// name on Linux and on Windows: not empty, ".", ".." or a Windows device
// name, at most 255 bytes, no trailing dot or space, no control byte and
// none of \\ < > : " | ? *.
bool writable_name(const std::string& name);
// True when every level of `path` is a writable name. What new names must be.
bool writable_path(const std::string& path);
// writable_path, and for a file, below a top-level folder (files lie in
// folders).
bool writable_new_name(const std::string& path, bool file);

// The path "/E" writes for a record's path relative to its root (levels
// joined by the platform's separators): levels joined by "/", empty and
// "." levels dropped.
std::string normal_path(const std::string& relative);

// Printable ASCII as it is; the backslash as "\\"; every other byte as
// "\xHH" (uppercase hex). The result can be read back unambiguously.
std::string escape_name(const std::string& name);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF).
bool is_valid_utf8(const std::string& text);

// `text` with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD.
std::string to_valid_utf8(const std::string& text);

// The bytes of `text` as lowercase hex, two digits each.
std::string hex_bytes(const std::string& text);

}  // namespace tavmerk
