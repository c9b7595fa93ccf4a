// The output tree: files deep below the root, in branches that part and
// meet again above and below its limit of open folder handles, and paths
// with empty and "." levels that share some of their levels with the path
// before them, must each land at their own path.
#include <gtest/gtest.h>

#include "engine/output_tree.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

// "l0/l1/.../l<n-1>/" below the root.
std::string chain(size_t levels, const std::string& tag = "l")
{
    std::string out;
    for (size_t i = 0; i < levels; ++i)
        out += tag + std::to_string(i) + "/";
    return out;
}

TEST(OutputTree, DeepBranchesPastTheOpenHandleLimit)
{
    test::ScratchDir dir;
    const std::string root = dir.path() + "/out/";
    // Depths on both sides of the 128 handles kept open, with branches that
    // share 150, 127 and 3 levels with the file before them.
    const std::vector<std::string> files = {
        chain(300) + "a",
        chain(150) + chain(100, "m") + "b",
        chain(300) + "c",
        chain(127) + "d",
        chain(200) + "e",
        chain(3) + chain(250, "n") + "f",
        "g",
        chain(300) + "h",
    };
    {
        tavmerk::OutputTree tree(root, tavmerk::MissingFolders::make);
        for (const std::string& rel : files) {
            SCOPED_TRACE(rel.substr(rel.size() > 60 ? rel.size() - 60 : 0));
            std::string name;
            const tavmerk::platform::Folder* folder = tree.open_parent(root + rel, name);
            ASSERT_NE(folder, nullptr);
            EXPECT_EQ(name, rel.substr(rel.rfind('/') + 1));
            tavmerk::platform::OutputFile out;
            ASSERT_EQ(tavmerk::platform::create_file(*folder, name, out), tavmerk::platform::CreateStatus::created);
            ASSERT_TRUE(tavmerk::platform::write_file(out, reinterpret_cast<const uint8_t*>(rel.data()), rel.size()));
            ASSERT_TRUE(tavmerk::platform::close_file(out));
        }
    }
    // Each file sits at its own path, holding that path; no other file
    // appeared anywhere.
    size_t found = 0;
    for (const auto& [rel, contents] : test::list_tree(dir.path() + "/out")) {
        if (rel.back() == '/')
            continue;
        EXPECT_EQ(contents, rel);
        EXPECT_NE(std::find(files.begin(), files.end(), rel), files.end()) << rel;
        ++found;
    }
    EXPECT_EQ(found, files.size());
}

// Each file is opened through the tree and written with its own path;
// returns what the tree then holds below `root`, as list_tree gives it.
std::vector<std::pair<std::string, std::string>> write_through_tree(const std::string& root,
                                                                    const std::vector<std::string>& files)
{
    {
        tavmerk::OutputTree tree(root + "/", tavmerk::MissingFolders::make);
        for (const std::string& rel : files) {
            SCOPED_TRACE(rel);
            std::string name;
            const tavmerk::platform::Folder* folder = tree.open_parent(root + "/" + rel, name);
            if (!folder) {
                ADD_FAILURE() << "no folder";
                continue;
            }
            EXPECT_EQ(name, rel.substr(rel.rfind('/') + 1));
            tavmerk::platform::OutputFile out;
            EXPECT_EQ(tavmerk::platform::create_file(*folder, name, out), tavmerk::platform::CreateStatus::created);
            EXPECT_TRUE(tavmerk::platform::write_file(out, reinterpret_cast<const uint8_t*>(rel.data()), rel.size()));
            EXPECT_TRUE(tavmerk::platform::close_file(out));
        }
    }
    return test::list_tree(root);
}

TEST(OutputTree, EmptyAndDotLevelsInPathsThatShareLevels)
{
    test::ScratchDir dir;
    const std::vector<std::string> files = {
        "a/./b/f1", "a/./b/f2", "a/.//b/c/f3", "a/./bb/f4", "a/b/f5",   "a/bb/f12",    "a//b/f6",
        "a/b./f7",  "a/b/./f8", "./a/b/c/f9",  "x",         "a/.b/f10", "a/b/c/./f11", "a/b/cc/f13",
    };
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"a/", ""},           {"a/.b/", ""},        {"a/.b/f10", "a/.b/f10"}, {"a/b/", ""},
        {"a/b./", ""},        {"a/b./f7", "a/b./f7"}, {"a/b/c/", ""},         {"a/b/c/f11", "a/b/c/./f11"},
        {"a/b/c/f3", "a/.//b/c/f3"}, {"a/b/c/f9", "./a/b/c/f9"}, {"a/b/f1", "a/./b/f1"}, {"a/b/f2", "a/./b/f2"},
        {"a/b/f5", "a/b/f5"}, {"a/b/f6", "a//b/f6"}, {"a/b/f8", "a/b/./f8"}, {"a/bb/", ""},
        {"a/bb/f4", "a/./bb/f4"}, {"a/bb/f12", "a/bb/f12"}, {"a/b/cc/", ""}, {"a/b/cc/f13", "a/b/cc/f13"},
        {"x", "x"},
    };
    auto sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(write_through_tree(dir.path() + "/out", files), sorted);
}

}  // namespace
