// The command line: options, path normalisation, usage text and statuses.
#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "test_support.h"

namespace {

using tavmerk::RunMode;

const std::string usage =
    "Usage: tavmerk.exe [option] pak_file extract_path\nOption:\n/e - expand files\n/p - group files\n";

TEST(CommandLine, OptionsMatchWholeArgumentInAnyCase)
{
    EXPECT_EQ(tavmerk::parse_option("/E"), RunMode::expand);
    EXPECT_EQ(tavmerk::parse_option("/e"), RunMode::expand);
    EXPECT_EQ(tavmerk::parse_option("/P"), RunMode::repack);
    EXPECT_EQ(tavmerk::parse_option("/p"), RunMode::repack);
    for (const char* bad : {"-e", "/x", "E", "/EX", "/e ", "", "/", "//E", "/\xC9"})
        EXPECT_EQ(tavmerk::parse_option(bad), RunMode::none) << bad;
}

TEST(CommandLine, UsageTextAndStatus)
{
    test::ScratchDir dir;
    const std::vector<std::vector<std::string>> bad_calls = {
        {},
        {"/E"},
        {"/E", "a.pak"},
        {"/E", "a.pak", "out", "extra"},
        {"-e", "a.pak", "out"},
        {"/x", "a.pak", "out"},
        {"/Ex", "a.pak", "out"},
    };
    for (const auto& args : bad_calls) {
        const test::RunResult r = test::run_tool(args, {dir.path(), -1, ""});
        EXPECT_EQ(r.out, usage) << args.size();
        EXPECT_EQ(r.status, 255) << args.size();
    }
    EXPECT_TRUE(test::list_tree(dir.path()).empty());  // no file touched
}

// A missing archive, and one named with a trailing separator, which names
// a folder and so no archive at all.
TEST(CommandLine, MissingArchiveFailsInBothModes)
{
    test::ScratchDir dir;
    test::write_file(dir / "a.pak", "not read");
    for (const std::string& pak : {dir / "missing.pak", dir / "a.pak" + test::sep}) {
        test::RunResult r = test::run_tool({"/e", pak, dir / "out"});
        EXPECT_EQ(r.out, "Can't open dir file " + pak + "\n");
        EXPECT_EQ(r.status, 255);
        r = test::run_tool({"/p", pak, dir / "out"});
        EXPECT_EQ(r.out, "Can't create data file " + pak + "\n");
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(test::list_tree(dir.path()), (std::vector<std::pair<std::string, std::string>>{{"a.pak", "not read"}}));
}

TEST(CommandLine, RelativePathsAreTakenFromTheWorkingDirectory)
{
    test::ScratchDir dir;
    test::ArchiveBuilder b;
    b.folder("f").stored("x.txt", "x").end();
    test::write_file(dir / "in.pak", b.build().bytes);
    const test::RunResult r = test::run_tool({"/E", "sub/../in.pak", "out/."}, {dir.path(), -1, ""});
    EXPECT_EQ(r.out, "Unpacked file " + (dir / "out/f/x.txt") + "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::read_file(dir / "out/f/x.txt"), "x");
}

}  // namespace
