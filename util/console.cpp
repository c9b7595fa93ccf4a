#include "util/console.h"

#include <algorithm>

#include "platform/platform.h"
#include "archive/path_rules.h"

namespace tavmerk {

void UtilConsole::result(const std::string& line)
{
    out_ << line << '\n';
}

void UtilConsole::summary(const std::string& line)
{
    if (!quiet_)
        to_err(line);
}

void UtilConsole::warning(const std::string& line)
{
    if (!quiet_)
        to_err("tavmerk-util: warning: " + line);
}

void UtilConsole::error(const std::string& line)
{
    to_err("tavmerk-util: " + line);
}

void UtilConsole::to_err(const std::string& line)
{
    end_progress();
    // Results already printed come before the message that follows them,
    // when both streams reach the same place.
    out_.flush();
    err_ << line << '\n';
    err_.flush();
}

void UtilConsole::progress(const char* what, uint64_t done, uint64_t total)
{
    if (!progress_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ > 0 && now - last_ < std::chrono::milliseconds(100))
        return;
    last_ = now;
    std::string line = std::string(what) + " " + std::to_string(done);
    if (total > 0)
        line += "/" + std::to_string(total);
    out_.flush();
    err_ << '\r' << line;
    if (line.size() < shown_)
        err_ << std::string(shown_ - line.size(), ' ') << '\r' << line;
    err_.flush();
    shown_ = line.size();
}

void UtilConsole::end_progress()
{
    if (shown_ == 0)
        return;
    err_ << '\r' << std::string(shown_, ' ') << '\r';
    err_.flush();
    shown_ = 0;
}

}  // namespace tavmerk

namespace tavmerk {

std::string with_reason(const std::string& what, int error)
{
    return error == 0 ? what : what + ": " + platform::error_message(error);
}

std::string shown_path(const std::string& path, size_t root_length)
{
    std::string relative = path.substr(std::min(root_length, path.size()));
    if (platform::separator != '/')
        std::replace(relative.begin(), relative.end(), platform::separator, '/');
    return escape_name(relative);
}

}  // namespace tavmerk
