// The parallel paths against the single-threaded build: the same console
// output, files and archive bytes, whatever happens in the middle.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using test::ArchiveBuilder;

// Many files of mixed sizes and methods, with a damaged stream, a record
// outside the file, deleted and unsafe records, and (optionally) a bad
// folder id two thirds of the way through.
test::Built busy_archive(bool bad_folder_id)
{
    ArchiveBuilder b;
    for (int f = 0; f < 6; ++f) {
        b.folder("dir" + std::to_string(f));
        for (int i = 0; i < 12; ++i) {
            const std::string name = "file" + std::to_string(i);
            const std::string data = test::sample_data(size_t(500 + 7919 * ((f * 12 + i) % 23)), uint32_t(f * 100 + i), i % 3 != 0);
            if (i % 4 == 0)
                b.stored(name, data);
            else
                b.compressed(name, data);
        }
        if (f == 1) {
            std::string damaged = test::zlib_compress(test::sample_data(30000, 5, true));
            damaged[damaged.size() / 3] ^= 0x21;
            b.compressed("damaged", test::sample_data(30000, 5, true)).last().stored_bytes = damaged;
            b.stored("outside", "x").last().data_offset = 0xFFFFFFF0;
            b.deleted("deleted");
            b.stored("../unsafe", "x");
        }
        if (f == 4 && bad_folder_id) {
            b.folder("bad").stored("never", "x").end();
            b.last().id_or_tag = 3;
        }
        b.end();
    }
    return b.build();
}

std::string relative_output(std::string out, const std::string& root)
{
    for (size_t at = out.find(root); at != std::string::npos; at = out.find(root, at))
        out.replace(at, root.size(), "<root>");
    return out;
}

struct Pair {
    test::ScratchDir dir;
    std::string parallel = dir / "parallel";
    std::string single = dir / "single";
};

void expect_same_expansion(const test::Built& built)
{
    Pair p;
    for (const std::string& root : {p.parallel, p.single}) {
        test::write_file(root + ".pak", built.bytes);
        // An existing file in the middle: its pause must come in its place.
        test::make_dirs(root + "/dir2");
        test::write_file(root + test::native("/dir2/file5"), "already here");
    }
    const test::RunResult a = test::run_tool({"/E", p.parallel + ".pak", p.parallel});
    const test::RunResult b = test::run_tool({"/E", p.single + ".pak", p.single}, {"", -1, test::single_threaded_tool_path()});
    EXPECT_EQ(relative_output(a.out, p.parallel + test::sep), relative_output(b.out, p.single + test::sep));
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(test::list_tree(p.parallel), test::list_tree(p.single));
    EXPECT_NE(a.out.find("alredy exists"), std::string::npos);
    EXPECT_NE(a.out.find("Error unpacking"), std::string::npos);
}

TEST(Parallel, ExpansionMatchesTheSingleThreadedRun)
{
    expect_same_expansion(busy_archive(false));
}

TEST(Parallel, ExpansionStopsAtABadFolderIdInTheSamePlace)
{
    expect_same_expansion(busy_archive(true));
}

void expect_same_repack(const test::Built& built, long long file_size_limit)
{
    Pair p;
    const std::string sources = p.dir / "tree";
    test::write_file(p.dir / "seed.pak", built.bytes);
    test::run_tool({"/E", p.dir / "seed.pak", sources});
    test::write_file(sources + test::native("/dir3/file7"), test::sample_data(100000, 77, true));  // an edit
    test::write_file(sources + test::native("/dir0/file1"), "");                                   // an empty source
    for (const std::string& pak : {p.parallel, p.single})
        test::write_file(pak + ".pak", built.bytes);
    const test::RunResult a = test::run_tool({"/P", p.parallel + ".pak", sources}, {"", file_size_limit, ""});
    const test::RunResult b =
        test::run_tool({"/P", p.single + ".pak", sources}, {"", file_size_limit, test::single_threaded_tool_path()});
    EXPECT_EQ(relative_output(a.out, p.parallel + "."), relative_output(b.out, p.single + "."));
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(test::read_bytes(p.parallel + ".pak"), test::read_bytes(p.single + ".pak"));
    // A pass that fails (an append, a bad folder id) leaves the archive as
    // it was; otherwise it changed.
    EXPECT_EQ(test::read_bytes(p.parallel + ".pak") == built.bytes, a.status != 0);
}

TEST(Parallel, RepackGivesTheSameArchive)
{
    expect_same_repack(busy_archive(false), -1);
}

TEST(Parallel, RepackStopsAtABadFolderIdInTheSamePlace)
{
    expect_same_repack(busy_archive(true), -1);
}

TEST(Parallel, RepackFailsAtTheSameAppend)
{
    if (!test::file_size_limits_supported)
        GTEST_SKIP() << "needs a file-size limit (POSIX resource limits)";
    const test::Built built = busy_archive(false);
    expect_same_repack(built, (long long)(built.bytes.size() + 150000));
}

}  // namespace
