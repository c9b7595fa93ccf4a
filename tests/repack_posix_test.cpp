// Repacking among links and FIFOs, and killed passes: POSIX only, as the
// tests make links and FIFOs and kill the tool with SIGKILL.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "fixtures.h"

namespace {

using test::ArchiveBuilder;
using test::Bytes;
using Tree = std::vector<std::pair<std::string, std::string>>;
using Fixture = test::RepackFixture;

TEST(Repack, OnlyRegularFilesInsideTheRootAreRead)
{
    Fixture f;
    const std::string sentinel = f.dir / "secret.txt";
    test::write_file(sentinel, "outside the root");
    ArchiveBuilder b;
    b.folder("t").stored("folder", "x").stored("link", "x").stored("fifo", "x");
    b.stored("../secret.txt", "x").stored("ok", "x").end();
    b.folder("linked").stored("secret.txt", "x").end();
    const test::Built built = b.build();
    test::write_file(f.pak, built.bytes);
    test::make_dirs(f.src + "/t/folder");
    ASSERT_EQ(symlink(sentinel.c_str(), (f.src + "/t/link").c_str()), 0);
    ASSERT_EQ(mkfifo((f.src + "/t/fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(f.dir.path().c_str(), (f.src + "/linked").c_str()), 0);
    f.source("t/ok", "fine");
    const test::RunResult r = f.repack();
    EXPECT_EQ(r.out, "Packing...\nUnsafe path " + f.root + "t/../secret.txt\nUnpacked file\n " + f.root + "t/ok\n");
    EXPECT_EQ(r.status, 0);
    const Bytes after = test::read_bytes(f.pak);
    EXPECT_EQ(after.size(), built.bytes.size() + 4);  // only "fine" was appended
}

TEST(Repack, KilledPassesLeaveAConsistentArchive)
{
    Fixture f;
    ArchiveBuilder b;
    b.folder("d");
    for (int i = 0; i < 12; ++i)
        b.compressed("f" + std::to_string(i), "v0");
    b.end();
    test::write_file(f.pak, b.build().bytes);
    std::mt19937 rng(77);
    const auto contents = [](int version, int i) {
        return "v" + std::to_string(version) + "|" + test::sample_data(60000, uint32_t(i), true);
    };
    for (int version = 1; version <= 25; ++version) {
        for (int i = 0; i < 12; ++i)
            f.source("d/f" + std::to_string(i), contents(version, i));
        const pid_t pid = test::start_tool({"/P", f.pak, f.src}, f.dir / "log");
        usleep(useconds_t(rng() % 40000));
        kill(pid, SIGKILL);
        int raw;
        waitpid(pid, &raw, 0);
        // Whenever the kill came, the archive holds one version throughout.
        const std::string out = f.dir / ("x" + std::to_string(version));
        const test::RunResult r = f.expand_to(out);
        ASSERT_EQ(r.status, 0) << r.out;
        const Tree tree = test::list_tree(out);
        ASSERT_EQ(tree.size(), 13u);
        const std::string& first = tree[1].second;
        const int held = first == "v0" ? 0 : std::stoi(first.substr(1, first.find('|') - 1));
        EXPECT_LE(held, version);
        for (int i = 0; i < 12; ++i) {
            const std::string name = "d/f" + std::to_string(i);
            const auto it = std::find_if(tree.begin(), tree.end(), [&](const auto& e) { return e.first == name; });
            ASSERT_NE(it, tree.end());
            EXPECT_EQ(it->second, held == 0 ? "v0" : contents(held, i)) << "version " << version << " " << name;
        }
    }
}

}  // namespace
