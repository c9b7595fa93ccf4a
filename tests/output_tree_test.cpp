// The output tree past its limit of open folder handles: files deep below
// the root, in branches that part and meet again above and below the limit,
// must each land at their own path.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "test_support.h"
#include "tool/output_tree.h"

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
        tavmerk::OutputTree tree(root, true);
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

}  // namespace
