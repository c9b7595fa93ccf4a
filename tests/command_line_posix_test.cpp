// Absolute paths on POSIX systems: only "/" separates levels; a backslash
// is an ordinary byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tool/command_line.h"

namespace {

std::string cwd()
{
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? buffer : "";
}

TEST(CommandLine, PathsAreMadeAbsoluteLexically)
{
    const std::string here = cwd();
    EXPECT_EQ(tavmerk::make_extract_root(""), here + "/");
    EXPECT_EQ(tavmerk::make_extract_root("."), here + "/");
    EXPECT_EQ(tavmerk::make_extract_root("/"), "/");
    EXPECT_EQ(tavmerk::make_extract_root("/a/b/"), "/a/b/");
    EXPECT_EQ(tavmerk::make_extract_root("/a/./b/../c//d"), "/a/c/d/");
    EXPECT_EQ(tavmerk::make_extract_root("/../.."), "/");
    EXPECT_EQ(tavmerk::make_extract_root("out"), here + "/out/");
    EXPECT_EQ(tavmerk::make_archive_path("/no/such/dir/../x.pak"), "/no/such/x.pak");
    EXPECT_EQ(tavmerk::make_archive_path("a\\b.pak"), here + "/a\\b.pak");  // "\" is an ordinary byte here
    // No length limit: a long path comes back whole.
    const std::string long_path = "/" + std::string(300, 'x') + "/" + std::string(300, 'y');
    EXPECT_EQ(tavmerk::make_archive_path(long_path), long_path);
}

}  // namespace
