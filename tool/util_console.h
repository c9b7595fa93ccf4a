// Where the companion command's lines go. Results (listings, problems,
// changed records, file contents) go to `out`; summaries, progress,
// warnings and errors to `err`. Quiet silences all of `err` but errors.
// Every line is whole: a progress line on `err` is erased before anything
// else is written.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace tavmerk {

// Exit statuses: all well; finished, but with problems or something left
// out; could not do its job.
enum UtilStatus : int { util_ok = 0, util_problems = 1, util_failed = 2 };

class UtilConsole {
public:
    UtilConsole(std::ostream& out, std::ostream& err, bool quiet = false, bool progress = false)
        : out_(out), err_(err), quiet_(quiet), progress_(progress && !quiet)
    {
    }
    ~UtilConsole() { end_progress(); }

    std::ostream& out() { return out_; }
    void result(const std::string& line);
    void summary(const std::string& line);
    void warning(const std::string& line);   // prefixed "tavmerk-util: warning: "
    void error(const std::string& line);     // prefixed "tavmerk-util: "

    // "<what> <done>[/<total>]", redrawn at most ten times a second, only
    // when progress was asked for (standard error is a terminal).
    void progress(const char* what, uint64_t done, uint64_t total = 0);
    void end_progress();

private:
    void to_err(const std::string& line);

    std::ostream& out_;
    std::ostream& err_;
    bool quiet_;
    bool progress_;
    size_t shown_ = 0;  // length of the progress line on screen
    std::chrono::steady_clock::time_point last_{};
};

// Status combining: the worse of the two.
inline int worse(int a, int b)
{
    return a > b ? a : b;
}

}  // namespace tavmerk

namespace tavmerk {

// `what` failed, followed by the system's reason for `error`
// (platform::last_error) when there is one: "cannot open: Permission
// denied".
std::string with_reason(const std::string& what, int error);

// A record's path as the companion command shows it: the part below the
// first `root_length` bytes, levels joined by "/", escaped (escape_name).
std::string shown_path(const std::string& path, size_t root_length = 0);

}  // namespace tavmerk
