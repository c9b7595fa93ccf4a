// The command line: option, archive path, folder path.
#pragma once

#include <string>

#include "engine/paths.h"

namespace tavmerk {

enum class RunMode { none, expand, repack };

extern const char* const usage_text;

// "/E" or "/P" in any letter case, and only the whole argument.
RunMode parse_option(const std::string& option);

// "/E" and "/P" on normalised paths: the engines with the console's lines
// and key waits, `workers` threads besides the calling one. True on
// success.
bool run_expand(const std::string& archive_path, const std::string& extract_root, unsigned workers);
bool run_repack(const std::string& archive_path, const std::string& extract_root, unsigned workers);

// Runs the tool with `workers` threads besides the calling one; returns the
// process status (-1 on failure).
int run_tool(int argc, char** argv, unsigned workers);

}  // namespace tavmerk
