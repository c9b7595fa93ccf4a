#include "mount/messages.h"

#include <cstdio>

namespace tavmerk {

void Messages::say(const std::string& line)
{
    MutexLock lock(mutex_);
    std::fprintf(stderr, "tavmerk-mount: %s\n", line.c_str());
    std::fflush(stderr);
}

std::string shown(const std::string& path)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || byte == '\\') {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string joined(const std::string& folder, const std::string& name)
{
    return folder.empty() ? name : folder + "/" + name;
}

bool starts_with(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

bool moved_path(std::string& path, const std::string& from, const std::string& to)
{
    if (path != from && !starts_with(path, from + "/"))
        return false;
    path = to + path.substr(from.size());
    return true;
}

}  // namespace tavmerk
