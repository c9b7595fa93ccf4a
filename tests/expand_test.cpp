// Expansion end to end: the real binary on archives built here, checking
// standard output byte for byte, the status and the files on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <random>

#include "fixtures.h"

namespace {

using test::ArchiveBuilder;
using Tree = std::vector<std::pair<std::string, std::string>>;

using Fixture = test::ExpandFixture;
using Hostile = test::HostileExpand;

ArchiveBuilder mixed_archive()
{
    ArchiveBuilder b;
    b.folder("data");
    b.stored("readme.txt", "plain text\n");
    b.compressed("big.txt", test::sample_data(70000, 1, true));
    b.stored("empty.bin", "");
    b.deleted("old.txt");
    b.folder("nested").folder("deeper").compressed("leaf.bin", test::sample_data(5000, 2, false)).end().end();
    b.folder("no_files").folder("still_none").end().deleted("dead").end();
    b.end();
    b.folder("second").compressed("tiny", "t").end();
    return b;
}

TEST(Expand, MixedArchive)
{
    Fixture f;
    const test::RunResult r = f.expand(mixed_archive().build().bytes);
    EXPECT_EQ(r.out, "Unpacked file " + f.root + test::native("data/readme.txt\n") +
                         f.root + test::native("data/big.txt\n") +
                         "Unpacked file " + f.root + test::native("data/empty.bin\n") +
                         "Deleted file " + f.root + test::native("data/old.txt\n") +
                         f.root + test::native("data/nested/deeper/leaf.bin\n") +
                         "Deleted file " + f.root + test::native("data/no_files/dead\n") +
                         f.root + test::native("second/tiny\n"));
    EXPECT_EQ(r.status, 0);
    const Tree expected = {
        {"data/", ""},
        {"data/big.txt", test::sample_data(70000, 1, true)},
        {"data/empty.bin", ""},
        {"data/nested/", ""},
        {"data/nested/deeper/", ""},
        {"data/nested/deeper/leaf.bin", test::sample_data(5000, 2, false)},
        {"data/readme.txt", "plain text\n"},
        {"second/", ""},
        {"second/tiny", "t"},
    };
    EXPECT_EQ(test::list_tree(f.out), expected);  // no folders for deleted-only or empty subtrees
}

TEST(Expand, SecondRunRefusesEveryFileAndChangesNothing)
{
    Fixture f;
    ASSERT_EQ(f.expand(mixed_archive().build().bytes).status, 0);
    test::write_file(f.out + "/data/readme.txt", "edited");
    const Tree before = test::list_tree(f.out);
    const test::RunResult r = test::run_tool({"/E", f.pak, f.out});
    EXPECT_EQ(r.out, "File " + f.root + test::native("data/readme.txt alredy exists\n") +
                         "File " + f.root + test::native("data/big.txt alredy exists\n") +
                         "File " + f.root + test::native("data/empty.bin alredy exists\n") +
                         "Deleted file " + f.root + test::native("data/old.txt\n") +
                         "File " + f.root + test::native("data/nested/deeper/leaf.bin alredy exists\n") +
                         "Deleted file " + f.root + test::native("data/no_files/dead\n") +
                         "File " + f.root + test::native("second/tiny alredy exists\n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::list_tree(f.out), before);
}

TEST(Expand, StoredDataIsCopiedEvenIfItLooksCompressed)
{
    Fixture f;
    ArchiveBuilder b;
    b.folder("d").stored("z", test::zlib_compress("hello")).end();
    const test::RunResult r = f.expand(b.build().bytes);
    EXPECT_EQ(r.out, "Unpacked file " + f.root + test::native("d/z\n"));
    EXPECT_EQ(test::read_file(f.out + "/d/z"), test::zlib_compress("hello"));
}

// What zlib's one-shot inflate gives for `stream` into `capacity` bytes.
std::pair<int, std::string> zlib_inflate(const std::string& stream, size_t capacity)
{
    std::string out(capacity + 1, '\0');
    uLongf length = capacity;
    const int rc = uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                              reinterpret_cast<const Bytef*>(stream.data()), uLong(stream.size()));
    out.resize(length);
    return {rc, out};
}

TEST(Expand, FailedAndShortInflates)
{
    Fixture f;
    const std::string text = test::sample_data(20000, 3, true);
    std::string damaged = test::zlib_compress(text);
    damaged[damaged.size() / 2] ^= 0x55;
    const std::string cut = test::zlib_compress(text).substr(0, 300);
    // Past the size handled whole: inflated in pieces, with the same results.
    const std::string big = test::large_data(size_t(5) << 20, 4);
    const std::string big_z = test::zlib_compress(big);
    std::string big_damaged = big_z;
    big_damaged[big_z.size() * 2 / 3] ^= 0x55;
    const size_t big_room = (size_t(9) << 20) / 2;

    ArchiveBuilder b;
    b.folder("d");
    b.compressed("damaged", text).last().stored_bytes = damaged;
    b.compressed("cut", text).last().stored_bytes = cut;
    b.compressed("short", "abc").last().expanded_size = 10;   // inflates to fewer bytes, no error
    b.compressed("long", text).last().expanded_size = 100;    // more than room: buffer error
    b.compressed("claims_4g", "small").last().expanded_size = 0xFFFFFFF0;
    b.compressed("big_damaged", big).last().stored_bytes = big_damaged;
    b.compressed("big_cut", big).last().stored_bytes = big_z.substr(0, big_z.size() / 2);
    b.compressed("big_long", big).last().stored_bytes = big_z;
    b.last().expanded_size = uint32_t(big_room);
    b.compressed("big", big).last().stored_bytes = big_z;
    b.end();
    const test::RunResult r = f.expand(b.build().bytes);

    const auto [damaged_rc, damaged_out] = zlib_inflate(damaged, text.size());
    const auto [cut_rc, cut_out] = zlib_inflate(cut, text.size());
    const auto [big_damaged_rc, big_damaged_out] = zlib_inflate(big_damaged, big.size());
    const auto [big_cut_rc, big_cut_out] = zlib_inflate(big_z.substr(0, big_z.size() / 2), big.size());
    ASSERT_NE(damaged_rc, Z_OK);
    ASSERT_NE(cut_rc, Z_OK);
    ASSERT_NE(big_damaged_rc, Z_OK);
    EXPECT_EQ(r.out, "Error unpacking " + std::to_string(damaged_rc) + "\n" + f.root + test::native("d/damaged\n") +
                         "Error unpacking " + std::to_string(cut_rc) + "\n" + f.root + test::native("d/cut\n") +
                         f.root + test::native("d/short\n") +
                         "Error unpacking -5\n" + f.root + test::native("d/long\n") +
                         f.root + test::native("d/claims_4g\n") +
                         "Error unpacking " + std::to_string(big_damaged_rc) + "\n" + f.root +
                         test::native("d/big_damaged\n") + "Error unpacking " + std::to_string(big_cut_rc) + "\n" +
                         f.root + test::native("d/big_cut\n") + "Error unpacking -5\n" + f.root +
                         test::native("d/big_long\n") + f.root + test::native("d/big\n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::read_file(f.out + "/d/damaged"), damaged_out);
    EXPECT_EQ(test::read_file(f.out + "/d/cut"), cut_out);
    EXPECT_EQ(test::read_file(f.out + "/d/short"), "abc");
    EXPECT_EQ(test::read_file(f.out + "/d/long"), text.substr(0, 100));
    EXPECT_EQ(test::read_file(f.out + "/d/claims_4g"), "small");
    EXPECT_TRUE(test::read_file(f.out + "/d/big_damaged") == big_damaged_out);
    EXPECT_TRUE(test::read_file(f.out + "/d/big_cut") == big_cut_out);
    EXPECT_TRUE(test::read_file(f.out + "/d/big_long") == big.substr(0, big_room));
    EXPECT_TRUE(test::read_file(f.out + "/d/big") == big);
}

TEST(Expand, CreatesEveryMissingLevelOfTheRoot)
{
    Fixture f;
    ArchiveBuilder b;
    b.folder("top").stored("f", "1").end();
    test::write_file(f.pak, b.build().bytes);
    const std::string deep = f.dir / "a/b/c";
    const test::RunResult r = test::run_tool({"/e", f.pak, deep});
    EXPECT_EQ(r.out, "Unpacked file " + deep + test::native("/top/f\n"));
    EXPECT_EQ(test::read_file(deep + "/top/f"), "1");
}

TEST(Expand, NamesWithSeparatorsAddLevels)
{
    Fixture f;
    ArchiveBuilder b;
    b.folder("a/b").stored("c/d.txt", "deep").stored("back\\slash", "bs").end();
    const test::RunResult r = f.expand(b.build().bytes);
    // Names are printed as they are; the tool's separator comes between
    // them.
    EXPECT_EQ(r.out, "Unpacked file " + f.root + "a/b" + test::sep + "c/d.txt\nUnpacked file " + f.root + "a/b" +
                         test::sep + "back\\slash\n");
    EXPECT_EQ(test::read_file(f.out + "/a/b/c/d.txt"), "deep");
    EXPECT_EQ(test::read_file(f.out + "/a/b/back\\slash"), "bs");
}

TEST(Expand, BadFolderIdEndsTheRunAfterEarlierFiles)
{
    Fixture f;
    ArchiveBuilder b;
    b.folder("t").stored("first", "1").folder("bad").stored("inside", "2").end();
    b.last().id_or_tag = 9;
    b.stored("after", "3").end();
    const test::RunResult r = f.expand(b.build().bytes);
    EXPECT_EQ(r.out, "Unpacked file " + f.root + test::native("t/first\nError in dir id\n"));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(test::list_tree(f.out), (Tree{{"t/", ""}, {"t/first", "1"}}));
}

// Hostile archives: nothing may appear, or change, outside the root.

TEST(ExpandHostile, TraversalNamesAreRefused)
{
    Hostile f;
    ArchiveBuilder b;
    b.folder("..").stored("sentinel.txt", "owned").end();
    b.folder("x").stored("../../sentinel.txt", "owned").stored("ok", "fine").end();
    b.folder("y").folder("..").folder("..").stored("sentinel.txt", "owned").end().end().end();
    b.folder("").stored("..", "owned").end();
    const test::RunResult r = f.expand(b.build().bytes);
    EXPECT_EQ(r.out, "Unsafe path " + f.root + test::native("../sentinel.txt\n") +
                         "Unsafe path " + f.root + "x" + test::sep + "../../sentinel.txt\n" +
                         "Unpacked file " + f.root + test::native("x/ok\n") +
                         "Unsafe path " + f.root + test::native("y/../../sentinel.txt\n") +
                         "Unsafe path " + f.root + test::native("/..\n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::list_tree(f.out), (Tree{{"x/", ""}, {"x/ok", "fine"}}));
}

TEST(ExpandHostile, ExistingThingsAtFilePaths)
{
    Fixture f;
    test::make_dirs(f.out + "/d/folder_here");
    test::write_file(f.out + "/d/unreadable", "mine");
    chmod((f.out + "/d/unreadable").c_str(), 0);
    test::write_file(f.out + "/file_here", "a file, not a folder");
    ArchiveBuilder b;
    b.folder("d").stored("folder_here", "x").stored("unreadable", "x").end();
    b.folder("file_here").stored("f", "x").end();
    const test::RunResult r = f.expand(b.build().bytes);
    EXPECT_EQ(r.out, "Can't create file " + f.root + test::native("d/folder_here\n") +
                         "File " + f.root + test::native("d/unreadable alredy exists\n") +
                         "Can't create file " + f.root + test::native("file_here/f\n"));
    chmod((f.out + "/d/unreadable").c_str(), 0600);
    EXPECT_EQ(test::read_file(f.out + "/d/unreadable"), "mine");
    EXPECT_EQ(test::read_file(f.out + "/file_here"), "a file, not a folder");
}

TEST(ExpandHostile, DataOutsideTheFile)
{
    Hostile f;
    ArchiveBuilder b;
    b.folder("d");
    b.stored("past_end", "abcdef").last().data_offset = 0xFFFFFF00;
    b.compressed("runs_over", "abc").last().stored_size = 0x7FFFFFFF;
    b.stored("fine", "ok");
    b.end();
    const test::RunResult r = f.expand(b.build().bytes);
    EXPECT_EQ(r.out, "Error in file data " + f.root + test::native("d/past_end\n") +
                         "Error in file data " + f.root + test::native("d/runs_over\n") +
                         "Unpacked file " + f.root + test::native("d/fine\n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::list_tree(f.out), (Tree{{"d/", ""}, {"d/fine", "ok"}}));
}

TEST(ExpandHostile, DamagedDirectoryStopsBeforeAnythingIsWritten)
{
    Hostile f;
    ArchiveBuilder b;
    b.folder("d").stored("a", "1").stored("b", "2").end();
    const test::Bytes good = b.build().bytes;

    std::vector<test::Bytes> cases;
    cases.push_back({});                                      // empty file
    cases.push_back(test::Bytes(good.begin(), good.begin() + 39));  // short header
    test::Bytes past_end = good;
    test::put_be32(past_end, 28, uint32_t(good.size()));     // directory past the end
    cases.push_back(past_end);
    test::Bytes entries_past = good;
    test::put_be32(entries_past, 28, test::get_be32(good, 28) - 3);  // last name runs past the block
    cases.push_back(entries_past);
    for (const test::Bytes& bytes : cases) {
        const test::RunResult r = f.expand(bytes);
        EXPECT_EQ(r.out, "Error in dir file " + f.pak + "\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_FALSE(test::exists(f.out));
    }
}

TEST(ExpandHostile, FailedWriteRemovesThePartialFile)
{
    if (!test::file_size_limits_supported)
        GTEST_SKIP() << "needs a file-size limit (POSIX resource limits)";
    Fixture f;
    ArchiveBuilder b;
    b.folder("d").stored("small", "s").compressed("large", test::sample_data(200000, 4, true));
    b.stored("large_raw", test::sample_data(300000, 5, false)).stored("after", "a");
    // Inflated up to its Adler-32 check, then written: both failures show.
    std::string bad_check = test::zlib_compress(test::sample_data(200000, 6, true));
    bad_check.back() ^= 1;
    b.compressed("large_bad", test::sample_data(200000, 6, true)).last().stored_bytes = bad_check;
    b.end();
    test::write_file(f.pak, b.build().bytes);
    const test::RunResult r = test::run_tool({"/E", f.pak, f.out}, {"", 100000, ""});
    EXPECT_EQ(r.out, "Unpacked file " + f.root + test::native("d/small\n") +
                         "Can't write file " + f.root + test::native("d/large\n") +
                         "Can't write file " + f.root + test::native("d/large_raw\n") +
                         "Unpacked file " + f.root + test::native("d/after\n") +
                         "Error unpacking -3\nCan't write file " + f.root + test::native("d/large_bad\n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::list_tree(f.out), (Tree{{"d/", ""}, {"d/after", "a"}, {"d/small", "s"}}));
}

TEST(Expand, NamesThatNameNoFileStillGetTheirFolders)
{
    Fixture f;
    ArchiveBuilder b;
    b.folder("d").folder("e").stored("", "x").end().folder("n").stored(std::string("\0z", 2), "x").end();
    b.folder("g").stored(".", "x").end().end();
    const test::RunResult r = f.expand(b.build().bytes);
    EXPECT_EQ(r.out, "Can't create file " + f.root + test::native("d/e/\n") + "Can't create file " + f.root +
                         test::native("d/n/\n") + "Can't create file " + f.root + test::native("d/g/.\n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::list_tree(f.out), (Tree{{"d/", ""}, {"d/e/", ""}, {"d/g/", ""}, {"d/n/", ""}}));
}

TEST(ExpandHostile, RandomDamageThroughTheRealBinary)
{
    Hostile f;
    const test::Bytes good = mixed_archive().build().bytes;
    std::mt19937 rng(2024);
    for (int round = 0; round < 150; ++round) {
        test::Bytes bytes = good;
        if (round % 3 == 0) {
            bytes.resize(rng() % bytes.size());
        } else {
            for (int i = 0, n = 1 + int(rng() % 6); i < n; ++i)
                bytes[rng() % std::min<size_t>(bytes.size(), 400)] ^= uint8_t(1u << (rng() % 8));
        }
        const std::string out = f.dir / ("r" + std::to_string(round));
        test::write_file(f.pak, bytes);
        const test::RunResult r = test::run_tool({"/E", f.pak, out});
        EXPECT_TRUE(r.status == 0 || r.status == 255) << "round " << round << " status " << r.status << "\n" << r.out;
    }
}

}  // namespace
