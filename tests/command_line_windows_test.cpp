// Paths on Windows: drive letters, "\" and "/" both separating levels, a
// drive's root keeping its one separator, and no length limit.
#include <gtest/gtest.h>
#include <windows.h>

#include "cli/command_line.h"
#include "fixtures.h"

namespace {

using tavmerk::make_archive_path;
using tavmerk::make_extract_root;

std::string current_directory()
{
    const DWORD length = GetCurrentDirectoryA(0, nullptr);
    std::string path(length, '\0');
    path.resize(GetCurrentDirectoryA(length, &path[0]));
    return path;
}

TEST(CommandLineWindows, PathsAreMadeAbsoluteLexically)
{
    std::string here = current_directory();
    if (here.back() != '\\')
        here += '\\';
    EXPECT_EQ(make_extract_root(""), here);
    EXPECT_EQ(make_extract_root("."), here);
    EXPECT_EQ(make_extract_root("out"), here + "out\\");
    EXPECT_EQ(make_extract_root("out/sub/"), here + "out\\sub\\");
    EXPECT_EQ(make_extract_root("C:\\"), "C:\\");
    EXPECT_EQ(make_extract_root("C:/"), "C:\\");
    EXPECT_EQ(make_extract_root("C:\\..\\.."), "C:\\");
    EXPECT_EQ(make_extract_root("C:\\a\\b\\"), "C:\\a\\b\\");
    EXPECT_EQ(make_extract_root("C:\\a\\.\\b\\..\\c"), "C:\\a\\c\\");
    EXPECT_EQ(make_extract_root("C:/a/./b/../c/d"), "C:\\a\\c\\d\\");
    EXPECT_EQ(make_extract_root("\\\\server\\share\\x\\..\\y"), "\\\\server\\share\\y\\");
    EXPECT_EQ(make_archive_path("C:\\no\\such\\dir\\..\\x.pak"), "C:\\no\\such\\x.pak");
    EXPECT_EQ(make_archive_path("D:/archives/x.pak"), "D:\\archives\\x.pak");
    // No length limit: a path far past 260 bytes comes back whole.
    const std::string long_path = "C:\\" + std::string(300, 'x') + "\\" + std::string(300, 'y') + "\\z.pak";
    EXPECT_EQ(make_archive_path(long_path), long_path);
}

TEST(CommandLineWindows, EitherSeparatorAndATrailingOneGiveTheSameLines)
{
    test::ScratchDir dir;
    test::ArchiveBuilder b;
    b.folder("f").stored("x.txt", "x").end();
    test::write_file(dir / "in.pak", b.build().bytes);
    std::string forward = dir.path();
    for (char& c : forward)
        if (c == '\\')
            c = '/';
    struct Call {
        std::string pak, out, folder;
    };
    const Call calls[] = {
        {dir / "in.pak", dir / "a\\", "a"},
        {forward + "/in.pak", forward + "/b/", "b"},
        {forward + "/sub/../in.pak", forward + "//c/.", "c"},
    };
    for (const Call& call : calls) {
        const test::RunResult r = test::run_tool({"/E", call.pak, call.out});
        EXPECT_EQ(r.out, "Unpacked file " + dir.path() + "\\" + call.folder + "\\f\\x.txt\n") << call.out;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(test::read_file(dir.path() + "\\" + call.folder + "\\f\\x.txt"), "x");
    }
    const test::RunResult missing = test::run_tool({"/E", forward + "/missing.pak", forward + "/d"});
    EXPECT_EQ(missing.out, "Can't open dir file " + dir.path() + "\\missing.pak\n");
    EXPECT_EQ(missing.status, 255);
}

// The root of the scratch folder's drive, when the tests may write there.
std::string writable_drive_root(const std::string& inside, const std::string& probe_name)
{
    const std::string drive = inside.substr(0, 3);
    if (inside.size() < 3 || inside[1] != ':' || !CreateDirectoryA((drive + probe_name).c_str(), nullptr))
        return "";
    RemoveDirectoryA((drive + probe_name).c_str());
    return drive;
}

TEST(CommandLineWindows, ADriveRootAsTheFolder)
{
    test::ScratchDir dir;
    const std::string top = "tavmerk-root-test-" + std::to_string(GetCurrentProcessId());
    const std::string drive = writable_drive_root(dir.path(), top);
    if (drive.empty())
        GTEST_SKIP() << "the drive's root is not writable here";
    test::ArchiveBuilder b;
    b.folder(top).stored("f", "at the top").folder("sub").compressed("g", "below").end().end();
    test::write_file(dir / "in.pak", b.build().bytes);
    const test::RunResult r = test::run_tool({"/E", dir / "in.pak", drive});
    const test::RunResult again = test::run_tool({"/E", dir / "in.pak", drive.substr(0, 2) + "/"});
    const auto tree = test::list_tree(drive + top);
    test::remove_tree(drive + top);
    EXPECT_EQ(r.out, "Unpacked file " + drive + top + "\\f\n" + drive + top + "\\sub\\g\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(again.out, "File " + drive + top + "\\f alredy exists\nFile " + drive + top + "\\sub\\g alredy exists\n");
    EXPECT_EQ(tree, (std::vector<std::pair<std::string, std::string>>{
                        {"f", "at the top"}, {"sub/", ""}, {"sub/g", "below"}}));
}

}  // namespace
