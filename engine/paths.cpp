#include "engine/paths.h"

#include "platform/platform.h"

namespace tavmerk {

std::string make_extract_root(const std::string& argument)
{
    std::string root = platform::absolute_path(argument);
    if (!root.empty() && root.back() != platform::separator)
        root.push_back(platform::separator);
    return root;
}

std::string make_archive_path(const std::string& argument)
{
    // A trailing separator stays: "a.pak/" names a folder, which the open
    // then refuses, not the file "a.pak".
    std::string path = platform::absolute_path(argument);
    if (!path.empty() && !argument.empty() && platform::is_separator(argument.back()) &&
        !platform::is_separator(path.back()))
        path.push_back(platform::separator);
    return path;
}

}  // namespace tavmerk
