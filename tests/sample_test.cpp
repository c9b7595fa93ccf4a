// The sample archive in examples/ is what the builder makes, and expands
// as the README shows.
#include <gtest/gtest.h>

#include "sample_archive.h"
#include "test_support.h"

#ifndef TAVMERK_SOURCE_DIR
#error "TAVMERK_SOURCE_DIR must name the source tree"
#endif

namespace {

TEST(Sample, ShippedArchiveIsUpToDate)
{
    EXPECT_EQ(test::read_bytes(std::string(TAVMERK_SOURCE_DIR) + "/examples/sample.pak"), test::sample_archive_bytes());
}

TEST(Sample, ExpandEditRepackCycle)
{
    test::ScratchDir dir;
    const std::string pak = dir / "sample.pak";
    test::write_file(pak, test::sample_archive_bytes());
    const std::string root = dir / "out/";  // ends in the separator
    test::RunResult r = test::run_tool({"/E", pak, dir / "out"});
    EXPECT_EQ(r.out, "Unpacked file " + root + test::native("docs/readme.txt\n") + root +
                         test::native("docs/notes.txt\n") + "Deleted file " + root + test::native("docs/draft.txt\n") +
                         root + test::native("data/table.csv\n") + "Unpacked file " + root +
                         test::native("data/images/pixel.raw\n"));
    EXPECT_EQ(r.status, 0);
    test::write_file(root + "data/table.csv", "id,name\n1,edited\n");
    r = test::run_tool({"/P", pak, dir / "out"});
    EXPECT_EQ(r.status, 0);
    r = test::run_tool({"/E", pak, dir / "again"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::list_tree(dir / "again"), test::list_tree(dir / "out"));
    EXPECT_EQ(test::read_file(dir / "again/data/table.csv"), "id,name\n1,edited\n");
}

}  // namespace
