// Running the real binary and handling scratch folders in the tests.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "archive_builder.h"
#include "tree_files.h"

namespace test {

// The separator the tool puts between levels, and `path` with each "/"
// turned into it, for expected paths and console lines.
#ifdef _WIN32
constexpr char sep = '\\';
#else
constexpr char sep = '/';
#endif
std::string native(const std::string& path);

struct RunResult {
    std::string out;  // everything the tool wrote to standard output
    std::string err;  // standard error, when RunOptions::split_stderr
    // Exit status, or 128 + signal. On Windows the tool's -1 is reported
    // as 255, as 8-bit statuses show it; a crash keeps its large code.
    int status = -1;
};

struct RunOptions {
    std::string cwd;              // working directory; empty = inherit
    long long file_size_limit = -1;  // RLIMIT_FSIZE in bytes; -1 = none
    std::string binary;              // empty = the tool under test
    bool split_stderr = false;       // standard error to RunResult::err, not `out`
    long long memory_limit = -1;     // RLIMIT_DATA (heap, mappings, stacks) in bytes; -1 = none
    // POSIX only: ended by SIGALRM (status 142) after this many seconds
    // (0: never), for runs that a fault would leave blocked; and run as
    // the unprivileged user "nobody" when the tests run as root, so that
    // permissions hold for the tool.
    unsigned timeout_seconds = 0;
    bool unprivileged = false;
};

// Whether RunOptions::file_size_limit and memory_limit can be used: they
// need POSIX resource limits.
// Whether the binaries under test carry AddressSanitizer, which reserves
// more address space than a memory limit leaves.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool built_with_address_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool built_with_address_sanitizer = true;
#else
constexpr bool built_with_address_sanitizer = false;
#endif
#else
constexpr bool built_with_address_sanitizer = false;
#endif

#ifdef _WIN32
constexpr bool file_size_limits_supported = false;
#else
constexpr bool file_size_limits_supported = true;
#endif

// Runs the tool with `args` in a new session without a controlling
// terminal, or on Windows without a console (so key waits return at once),
// and with no standard input.
RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options = {});

#ifndef _WIN32
// Starts the tool in a new session and returns its pid; standard output
// goes to `out_path`.
pid_t start_tool(const std::vector<std::string>& args, const std::string& out_path);

// True when this test process runs under valgrind, which slows it many
// times over: tests of timing between it and another process skip there.
bool under_valgrind();
#endif

// Path of the tool binary under test, and of its single-threaded build.
std::string tool_path();
std::string single_threaded_tool_path();
std::string util_path();  // the companion command, tavmerk-util

// A fresh folder, removed with everything in it when the object dies.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    // `rel` ("a/b") below the folder, in the platform's own form.
    std::string operator/(const std::string& rel) const { return path_ + sep + native(rel); }

private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& contents);
void write_file(const std::string& path, const Bytes& contents);
std::string read_file(const std::string& path);
Bytes read_bytes(const std::string& path);
// The first `size` bytes of a file, however large it is.
Bytes read_head(const std::string& path, size_t size);

}  // namespace test
