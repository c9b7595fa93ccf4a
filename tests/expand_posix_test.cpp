// Expansion among links: POSIX only, as the tests make symbolic links.
#include <gtest/gtest.h>
#include <unistd.h>

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
    EXPECT_FALSE(test::exists(f.dir / "nowhere"));
    EXPECT_FALSE(test::exists(f.dir / "new.txt"));
}

}  // namespace
