// Deep folder trees end to end: far deeper than the folder handles the
// tool keeps open at once, and deeper than any stack would allow.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "test_support.h"

namespace {

std::string chain(size_t from, size_t to)
{
    std::string path;
    for (size_t i = from; i < to; ++i)
        path += "l" + std::to_string(i) + "/";
    return path;
}

TEST(Deep, FilesAtEveryDepthOfALongChainAndItsSideBranches)
{
    // A chain of 300 folders with a file at levels 1, 150 and 299, and at
    // level 200 a side folder with a file; after the chain, a sibling of
    // its top and a second file near the top. Climbing back up from the
    // bottom must reopen folders whose handles were let go.
    constexpr size_t depth = 300;
    test::ArchiveBuilder b;
    b.folder("top");
    for (size_t i = 0; i < depth; ++i) {
        b.folder("l" + std::to_string(i));
        if (i == 1 || i == 150 || i == depth - 1)
            b.stored("at" + std::to_string(i), std::to_string(i));
    }
    for (size_t i = depth; i-- > 0;) {
        b.end();
        if (i == 200)
            b.folder("side").compressed("s", "side file").end();
    }
    b.compressed("after", "after the chain").end();
    test::ScratchDir dir;
    test::write_file(dir / "deep.pak", b.build().bytes);
    const std::string root = dir / "out" + test::sep;
    const test::RunResult r = test::run_tool({"/E", dir / "deep.pak", dir / "out"});
    const std::string expected = "Unpacked file " + root + test::native("top/" + chain(0, 2) + "at1\n") +
                                 "Unpacked file " + root + test::native("top/" + chain(0, 151) + "at150\n") +
                                 "Unpacked file " + root + test::native("top/" + chain(0, depth) + "at299\n") +
                                 root + test::native("top/" + chain(0, 200) + "side/s\n") + root +
                                 test::native("top/after\n");
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::read_file(root + test::native("top/" + chain(0, depth) + "at299")), "299");
    EXPECT_EQ(test::read_file(root + test::native("top/" + chain(0, 200) + "side/s")), "side file");
    EXPECT_EQ(test::read_file(root + test::native("top/after")), "after the chain");

    // And back: every file read through the same deep folders.
    test::write_file(root + test::native("top/" + chain(0, 200) + "side/s"), "edited side");
    ASSERT_EQ(test::run_tool({"/P", dir / "deep.pak", dir / "out"}).status, 0);
    const test::RunResult again = test::run_tool({"/E", dir / "deep.pak", dir / "again"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(test::list_tree(dir / "again"), test::list_tree(dir / "out"));
}

TEST(Deep, ChainOf200000FoldersEndsNormally)
{
    // Built by hand: 200,000 nested folders with a deleted file at the
    // bottom and a live file at the top level after the chain.
    constexpr uint32_t depth = 200000;
    test::Bytes bytes(40, 0);
    test::put_be32(bytes, 16, 1);
    const auto folder = [&](uint32_t children) {
        const uint8_t entry[17] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(children), 0, 0, 0, 1};
        bytes.insert(bytes.end(), entry, entry + 17);
        bytes.push_back('d');
    };
    folder(2);  // the top: the chain and one file
    for (uint32_t i = 1; i < depth; ++i)
        folder(1);
    const auto file = [&](uint32_t offset, char name) {
        const uint8_t entry[29] = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0,
                                   uint8_t(offset >> 24), uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset),
                                   0, 0, 0, 1};
        bytes.insert(bytes.end(), entry, entry + 29);
        bytes.push_back(uint8_t(name));
    };
    file(0, 'x');  // deleted, at the bottom
    // The second child of the top folder, after the chain: its data is the
    // byte that follows the directory.
    const size_t size_without_last = bytes.size() - 40;
    const uint32_t data_at = uint32_t(40 + size_without_last + 30);
    file(data_at, 'f');
    test::put_be32(bytes, 28, uint32_t(bytes.size() - 40));
    bytes.push_back('Z');

    test::ScratchDir dir;
    test::write_file(dir / "chain.pak", bytes);
    const test::RunResult r = test::run_tool({"/E", dir / "chain.pak", dir / "out"});
    const std::string root = dir / "out" + test::sep;
    std::string deleted = "Deleted file " + root;
    for (uint32_t i = 0; i < depth; ++i)
        deleted += std::string("d") + test::sep;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, deleted + "x\nUnpacked file " + root + test::native("d/f\n"));
    EXPECT_EQ(test::list_tree(dir / "out"), (std::vector<std::pair<std::string, std::string>>{{"d/", ""}, {"d/f", "Z"}}));
}

#ifndef _WIN32
// create and add take a tree from disk a level at a time: a chain of 2,000
// folders with a file at the bottom, its path far longer than the system
// takes in one call, goes in whole, each level costing its own name only.
TEST(Deep, ChainOf2000FoldersOnDiskIsCreatedAndAdded)
{
    constexpr size_t depth = 2000;
    test::ScratchDir dir;
    const std::string tree = dir / "tree";
    test::make_dirs(tree + "/top");
    int fd = open((tree + "/top").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string path = "top";
    for (size_t i = 0; i < depth && fd >= 0; ++i) {
        ASSERT_EQ(mkdirat(fd, "level", 0777), 0);
        const int next = openat(fd, "level", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = next;
        path += "/level";
    }
    ASSERT_GE(fd, 0);
    const int file = openat(fd, "f.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(write(file, "bottom\n", 7), 7);
    close(file);
    close(fd);
    test::RunOptions util;
    util.binary = test::util_path();
    util.split_stderr = true;

    const std::string made = dir / "made.pak";
    const test::RunResult created = test::run_tool({"create", made, tree}, util);
    // Compared whole, shown only in part: the lines are some 12 KB long.
    EXPECT_TRUE(created.out == "added " + path + "/f.txt\n") << created.out.substr(0, 200);
    EXPECT_TRUE(created.err == "1 added\n") << created.err.substr(0, 200);
    EXPECT_EQ(created.status, 0);
    EXPECT_EQ(test::run_tool({"extract", made, "**/f.txt", "--stdout"}, util).out, "bottom\n");

    test::make_dirs(dir / "base/into");
    test::write_file(dir / "base/into/x", "x");
    const std::string base = dir / "base.pak";
    ASSERT_EQ(test::run_tool({"create", base, dir / "base"}, util).status, 0);
    const test::RunResult added = test::run_tool({"add", base, tree + "/top", "--to", "into"}, util);
    std::string expected;
    for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
        expected += "made into/" + path.substr(0, at) + "\n";
    expected += "made into/" + path + "\nadded into/" + path + "/f.txt\n";
    EXPECT_TRUE(added.out == expected) << added.out.substr(0, 200);
    EXPECT_EQ(added.status, 0);
    EXPECT_EQ(test::run_tool({"test", base}, util).status, 0);
    EXPECT_EQ(test::run_tool({"extract", base, "**/f.txt", "--stdout"}, util).out, "bottom\n");
}
#endif

}  // namespace
