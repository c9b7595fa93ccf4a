// Deep folder trees end to end: far deeper than the folder handles the
// tool keeps open at once, and deeper than any stack would allow.
#include <gtest/gtest.h>

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

}  // namespace
