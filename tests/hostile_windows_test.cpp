// Windows names and paths end to end: ".." written with "\", device names,
// trailing dots and spaces, drive letters inside names, files in use, and
// paths past the old 260-byte limit. Nothing may appear, or change, outside
// the root.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "fixtures.h"

namespace {

using test::ArchiveBuilder;
using test::Bytes;
using Tree = std::vector<std::pair<std::string, std::string>>;

// The names directly below `folder` (files and folders).
std::vector<std::string> top_names(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& [path, contents] : test::list_tree(folder))
        if (path.find('/') == std::string::npos || path.find('/') == path.size() - 1)
            names.push_back(path);
    return names;
}

// Writes through the "\\?\" form, which reaches names such as "CON" and
// paths of any length.
void write_literal(const std::string& absolute, const std::string& contents)
{
    const std::string path = "\\\\?\\" + absolute;
    std::wstring name(path.size(), L'\0');
    name.resize(size_t(MultiByteToWideChar(CP_ACP, 0, path.data(), int(path.size()), &name[0], int(name.size()))));
    const HANDLE file =
        CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << absolute;
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, contents.data(), DWORD(contents.size()), &written, nullptr));
    EXPECT_EQ(written, contents.size());
    CloseHandle(file);
}

TEST(ExpandWindows, BackslashTraversalNamesAreRefused)
{
    test::HostileExpand f;
    ArchiveBuilder b;
    b.folder("..\\..").stored("sentinel.txt", "owned").end();
    b.folder("x").stored("..\\..\\sentinel.txt", "owned").stored("..\\", "owned").stored("ok", "fine").end();
    b.folder("y\\..\\..").stored("sentinel.txt", "owned").end();
    b.folder("w").stored("a/..\\..\\..\\sentinel.txt", "owned").end();
    const test::RunResult r = f.expand(b.build().bytes);
    EXPECT_EQ(r.out, "Unsafe path " + f.root + "..\\..\\sentinel.txt\n" +
                         "Unsafe path " + f.root + "x\\..\\..\\sentinel.txt\n" +
                         "Unsafe path " + f.root + "x\\..\\\n" +
                         "Unpacked file " + f.root + "x\\ok\n" +
                         "Unsafe path " + f.root + "y\\..\\..\\sentinel.txt\n" +
                         "Unsafe path " + f.root + "w\\a/..\\..\\..\\sentinel.txt\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::list_tree(f.out), (Tree{{"x/", ""}, {"x/ok", "fine"}}));
    EXPECT_EQ(top_names(f.dir.path()), (std::vector<std::string>{"in.pak", "out/", "sentinel.txt"}));
}

TEST(RepackWindows, BackslashTraversalNamesAreNotRead)
{
    test::RepackFixture f;
    test::write_file(f.dir / "secret.txt", "outside the root");
    ArchiveBuilder b;
    b.folder("t").stored("..\\secret.txt", "x").stored("sub\\..\\..\\secret.txt", "x").stored("ok", "x").end();
    b.folder("..").stored("secret.txt", "x").end();
    const test::Built built = b.build();
    test::write_file(f.pak, built.bytes);
    f.source("t/ok", "fine");
    const test::RunResult r = f.repack();
    EXPECT_EQ(r.out, "Packing...\nUnsafe path " + f.root + "t\\..\\secret.txt\nUnsafe path " + f.root +
                         "t\\sub\\..\\..\\secret.txt\nUnpacked file\n " + f.root + "t\\ok\nUnsafe path " + f.root +
                         "..\\secret.txt\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::read_bytes(f.pak).size(), built.bytes.size() + 4);  // only "fine" was appended
    EXPECT_EQ(test::read_file(f.dir / "secret.txt"), "outside the root");
}

// Device names, trailing dots and spaces are names like any other: the
// files are made, and read back, inside the root. (A name ".. " read the
// usual way would lose its space and climb out.)
TEST(ExpandWindows, DeviceNamesAndTrailingDotsAreOrdinaryFilesInsideTheRoot)
{
    test::HostileExpand f;
    ArchiveBuilder b;
    b.folder("d").stored("CON", "c").stored("NUL", "n").compressed("aux.txt", "a").stored("COM1", "1");
    b.stored("trail.", "t").stored("space ", "s").end();
    b.folder(".. ").stored("sentinel.txt", "inside").end();
    b.folder("e.").folder(". ").stored("f", "x").end().end();
    const test::RunResult r = f.expand(b.build().bytes);
    EXPECT_EQ(r.out, "Unpacked file " + f.root + "d\\CON\n" + "Unpacked file " + f.root + "d\\NUL\n" + f.root +
                         "d\\aux.txt\n" + "Unpacked file " + f.root + "d\\COM1\n" + "Unpacked file " + f.root +
                         "d\\trail.\n" + "Unpacked file " + f.root + "d\\space \n" + "Unpacked file " + f.root +
                         ".. \\sentinel.txt\n" + "Unpacked file " + f.root + "e.\\. \\f\n");
    EXPECT_EQ(r.status, 0);
    Tree expected = {
        {"d/", ""},         {"d/CON", "c"},        {"d/NUL", "n"},
        {"d/aux.txt", "a"}, {"d/COM1", "1"},       {"d/trail.", "t"},
        {"d/space ", "s"},  {".. /", ""},          {".. /sentinel.txt", "inside"},
        {"e./", ""},        {"e./. /", ""},        {"e./. /f", "x"},
    };
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(test::list_tree(f.out), expected);
    EXPECT_EQ(top_names(f.dir.path()), (std::vector<std::string>{"in.pak", "out/", "sentinel.txt"}));

    // And they are read back from the same places by a repack.
    write_literal(f.root + "d\\CON", "edited console");
    write_literal(f.root + ".. \\sentinel.txt", "edited inside");
    ASSERT_EQ(test::run_tool({"/P", f.pak, f.out}).status, 0);
    const std::string again = f.dir / "again";
    ASSERT_EQ(test::run_tool({"/E", f.pak, again}).status, 0);
    for (auto& [path, contents] : expected) {
        if (path == "d/CON")
            contents = "edited console";
        if (path == ".. /sentinel.txt")
            contents = "edited inside";
    }
    EXPECT_EQ(test::list_tree(again), expected);
}

// A name holding a whole path, drive letter and all, still only adds levels
// below the root. Whether the file system takes "C:" as a folder's name is
// its own affair: the file is made there, or refused.
TEST(ExpandWindows, AbsolutePathsAsNamesStayInsideTheRoot)
{
    test::HostileExpand f;
    const std::string drive_relative = f.sentinel.substr(0, 2) + "sentinel.txt";  // "C:sentinel.txt"
    ArchiveBuilder b;
    b.folder("d").stored(f.sentinel, "owned").stored(drive_relative, "owned").end();
    b.folder(f.dir.path()).stored("new.txt", "owned").end();
    const test::RunResult r = f.expand(b.build().bytes);
    const std::string paths[] = {f.root + "d\\" + f.sentinel, f.root + "d\\" + drive_relative,
                                 f.root + f.dir.path() + "\\new.txt"};
    std::string expected;
    for (const std::string& path : paths) {
        const bool made = test::exists(path);
        expected += (made ? "Unpacked file " : "Can't create file ") + path + "\n";
    }
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(top_names(f.dir.path()), (std::vector<std::string>{"in.pak", "out/", "sentinel.txt"}));
    EXPECT_FALSE(test::exists(f.dir / "new.txt"));
}

// A file held open without sharing, or marked read-only, is still a file
// that exists: reported, and left as it is.
TEST(ExpandWindows, FilesInUseOrReadOnlyAreNotReplaced)
{
    test::ExpandFixture f;
    test::make_dirs(f.out + "\\d");
    test::write_file(f.out + "\\d\\busy", "mine");
    test::write_file(f.out + "\\d\\read_only", "mine too");
    ASSERT_TRUE(SetFileAttributesA((f.out + "\\d\\read_only").c_str(), FILE_ATTRIBUTE_READONLY));
    const HANDLE held = CreateFileA((f.out + "\\d\\busy").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ArchiveBuilder b;
    b.folder("d").stored("busy", "new").stored("read_only", "new").stored("fresh", "new").end();
    const test::RunResult r = f.expand(b.build().bytes);
    CloseHandle(held);
    EXPECT_EQ(r.out, "File " + f.root + "d\\busy alredy exists\nFile " + f.root + "d\\read_only alredy exists\n" +
                         "Unpacked file " + f.root + "d\\fresh\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::list_tree(f.out),
              (Tree{{"d/", ""}, {"d/busy", "mine"}, {"d/fresh", "new"}, {"d/read_only", "mine too"}}));
}

// Paths far past 260 bytes, the root's own included, expand and repack.
TEST(ExpandWindows, LongPathsExpandAndRepack)
{
    test::ScratchDir dir;
    const std::string pak = dir / "long.pak";
    const std::string out = dir.path() + "\\" + std::string(150, 'r') + "\\" + std::string(150, 's');
    const std::string a(120, 'a'), b_(120, 'b'), c(120, 'c');
    const std::string text = test::sample_data(20000, 7, true);
    ArchiveBuilder b;
    b.folder(a).folder(b_).folder(c).stored("raw.txt", "deep").compressed("packed.txt", text).end().end().end();
    test::write_file(pak, b.build().bytes);
    const std::string folder = out + "\\" + a + "\\" + b_ + "\\" + c + "\\";
    ASSERT_GT(folder.size(), 700u);

    test::RunResult r = test::run_tool({"/E", pak, out});
    EXPECT_EQ(r.out, "Unpacked file " + folder + "raw.txt\n" + folder + "packed.txt\n");
    EXPECT_EQ(r.status, 0);
    const std::string levels = a + "/" + b_ + "/" + c + "/";
    Tree expected = {{a + "/", ""},
                     {a + "/" + b_ + "/", ""},
                     {levels, ""},
                     {levels + "packed.txt", text},
                     {levels + "raw.txt", "deep"}};
    EXPECT_EQ(test::list_tree(out), expected);

    write_literal(folder + "raw.txt", "edited deep");
    r = test::run_tool({"/P", pak, out});
    EXPECT_EQ(r.out, "Packing...\nUnpacked file\n " + folder + "raw.txt\n" + folder + "packed.txt\n");
    EXPECT_EQ(r.status, 0);
    const std::string again = dir / "again";
    ASSERT_EQ(test::run_tool({"/E", pak, again}).status, 0);
    expected.back().second = "edited deep";
    EXPECT_EQ(test::list_tree(again), expected);
}

}  // namespace
