// Expansion among links, and across file systems: POSIX only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "fixtures.h"

namespace {

TEST(ExpandHostile, LinksAreNeverFollowed)
{
    test::HostileExpand f;
    test::make_dirs(f.out + "/d");
    ASSERT_EQ(symlink(f.sentinel.c_str(), (f.out + "/d/to_sentinel").c_str()), 0);
    ASSERT_EQ(symlink((f.dir / "nowhere").c_str(), (f.out + "/d/dangling").c_str()), 0);
    ASSERT_EQ(symlink(f.dir.path().c_str(), (f.out + "/outside").c_str()), 0);
    test::ArchiveBuilder b;
    b.folder("d").stored("to_sentinel", "owned").stored("dangling", "owned").end();
    b.folder("outside").stored("sentinel.txt", "owned").stored("new.txt", "owned").end();
    const test::RunResult r = f.expand(b.build().bytes);
    EXPECT_EQ(r.out, "File " + f.root + "d/to_sentinel alredy exists\n" +
                         "File " + f.root + "d/dangling alredy exists\n" +
                         "Can't create file " + f.root + "outside/sentinel.txt\n" +
                         "Can't create file " + f.root + "outside/new.txt\n");
    EXPECT_EQ(r.status, 0);

    // Replacing never writes through a link either: the link itself goes.
    test::RunOptions util;
    util.binary = test::util_path();
    util.split_stderr = true;
    const test::RunResult u = test::run_tool({"extract", f.pak, "-d", f.out, "--overwrite"}, util);
    EXPECT_EQ(u.status, 1);  // outside/ is a link: nothing below it is made
    for (const char* replaced : {"/d/to_sentinel", "/d/dangling"}) {
        struct stat st {};
        EXPECT_TRUE(lstat((f.out + replaced).c_str(), &st) == 0 && S_ISREG(st.st_mode)) << replaced;
        EXPECT_EQ(test::read_file(f.out + replaced), "owned");
    }
    EXPECT_FALSE(test::exists(f.dir / "nowhere"));
    EXPECT_FALSE(test::exists(f.dir / "new.txt"));
}

// A name longer than a level may be (ENAMETOOLONG), of the file or of a
// folder on its way: each record is reported, the others written.
TEST(ExpandHostile, NamesTooLongForTheSystemAreReported)
{
    test::HostileExpand f;
    const std::string longest(255, 'n'), over(256, 'o');
    test::ArchiveBuilder b;
    b.folder("d").stored(over, "x").stored(over + "/f", "x").stored(longest, "fits").end();
    b.folder(over).stored("g", "x").end();
    b.folder("e").stored("h", "h").end();
    const test::RunResult r = f.expand(b.build().bytes);
    EXPECT_EQ(r.out, "Can't create file " + f.root + "d/" + over + "\n" +
                         "Can't create file " + f.root + "d/" + over + "/f\n" +
                         "Unpacked file " + f.root + "d/" + longest + "\n" +
                         "Can't create file " + f.root + over + "/g\n" +
                         "Unpacked file " + f.root + "e/h\n");
    EXPECT_EQ(r.status, 0);
    const std::vector<std::pair<std::string, std::string>> written{
        {"d/", ""}, {"d/" + longest, "fits"}, {"e/", ""}, {"e/h", "h"}};
    EXPECT_EQ(test::list_tree(f.out), written);
}

// An archive path that is a FIFO or a device is refused at once with the
// open message; a FIFO would otherwise block until a writer came along.
TEST(ExpandHostile, ArchivesThatAreNoFilesAreRefusedAtOnce)
{
    test::ScratchDir dir;
    const std::string fifo = dir / "fifo.pak";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    test::RunOptions timed;
    timed.timeout_seconds = 10;
    for (const std::string& pak : {fifo, std::string("/dev/null")}) {
        const test::RunResult r = test::run_tool({"/E", pak, dir / "out"}, timed);
        EXPECT_EQ(r.out, "Can't open dir file " + pak + "\n");
        EXPECT_EQ(r.status, 255);
    }
}

// Stored data is copied file to file inside the system where it can; from
// an archive on another file system (memory-backed here) that may be
// refused, and the bytes must come through all the same.
TEST(ExpandAcrossFileSystems, StoredDataComesThroughWhole)
{
    test::ScratchDir dir;
    struct stat scratch {}, shm {};
    if (stat("/dev/shm", &shm) != 0 || stat(dir.path().c_str(), &scratch) != 0 || shm.st_dev == scratch.st_dev)
        GTEST_SKIP() << "needs /dev/shm on a file system of its own";
    char shm_dir[] = "/dev/shm/tavmerk-test-XXXXXX";
    ASSERT_NE(mkdtemp(shm_dir), nullptr);
    const std::string pak = std::string(shm_dir) + "/a.pak";

    const std::string large = test::sample_data(3 << 20, 7, false);
    const std::string small = test::sample_data(5000, 8, false);
    test::ArchiveBuilder b;
    b.folder("d").stored("large.bin", large).compressed("packed.txt", test::sample_data(40000, 9, true));
    b.stored("small.bin", small).end();
    test::write_file(pak, b.build().bytes);
    const test::RunResult r = test::run_tool({"/E", pak, dir / "out"});
    unlink(pak.c_str());
    rmdir(shm_dir);

    const std::string root = dir / "out" + "/d/";
    EXPECT_EQ(r.out, "Unpacked file " + root + "large.bin\n" + root + "packed.txt\n" + "Unpacked file " + root +
                         "small.bin\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(test::read_file(root + "large.bin") == large);
    EXPECT_TRUE(test::read_file(root + "small.bin") == small);
    EXPECT_TRUE(test::read_file(root + "packed.txt") == test::sample_data(40000, 9, true));
}

}  // namespace
