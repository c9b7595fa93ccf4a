// How record paths, which are raw bytes in any encoding, are shown: escaped
// for a text line, and as valid UTF-8 (with the raw bytes beside it when
// needed) for JSON.
#pragma once

#include <string>

namespace tavmerk {

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
