// Repacking among links and FIFOs, killed passes and the memory a pass
// holds: POSIX only, as the tests make links and FIFOs, kill the tool with
// SIGKILL and read its memory from /proc.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <thread>

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

// The peak resident memory (VmHWM) of the running tool, in KiB; 0 before
// the forked child has become the tool, and once it has ended.
long tool_peak_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    bool is_tool = false;
    while (std::getline(status, line)) {
        if (line.compare(0, 5, "Name:") == 0)
            is_tool = line.find("tavmerk") != std::string::npos && line.find("tests") == std::string::npos;
        if (line.compare(0, 6, "VmHWM:") == 0)
            return is_tool ? std::stol(line.substr(6)) : 0;
    }
    return 0;
}

// Sources of many times the workers' share pass through a repack holding
// no more than a few of the largest at once, never the whole tree.
TEST(RepackMemory, StaysBoundedByTheLargestSourceNotTheTree)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer keeps freed memory aside";
#endif
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    const size_t largest = size_t(1) << 20;
    const size_t files = 16 * size_t(workers);
    // The archive lists the files with tiny streams; the tree holds their
    // large new contents, incompressible, so that each stream is as large
    // as its source.
    test::ScratchDir dir;
    ArchiveBuilder b;
    b.folder("d");
    test::make_dirs(dir / "tree/d");
    for (size_t i = 0; i < files; ++i) {
        const std::string name = "f" + std::to_string(i);
        b.compressed(name, "old");
        test::write_file(dir / ("tree/d/" + name), test::sample_data(largest, uint32_t(i), false));
    }
    b.end();
    const std::string pak = dir / "a.pak";
    test::write_file(pak, b.build().bytes);

    const pid_t pid = test::start_tool({"/P", pak, dir / "tree"}, dir / "log");
    ASSERT_GT(pid, 0);
    long peak = 0;
    int raw = 0;
    for (;;) {
        peak = std::max(peak, tool_peak_kib(pid));
        if (waitpid(pid, &raw, WNOHANG) == pid)
            break;
        usleep(2000);
    }
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 0);
    const std::string log = test::read_file(dir / "log");
    EXPECT_EQ(size_t(std::count(log.begin(), log.end(), '\n')), files + 1);  // "Packing..." and a line a file

    // 4 x workers x the largest source, and a few MiB for the program.
    const long bound_kib = long(4 * workers * largest / 1024) + 6 * 1024;
    const long tree_kib = long(files * largest / 1024);
    ASSERT_LT(bound_kib, tree_kib);
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, bound_kib) << "the whole tree is " << tree_kib << " KiB";
}

}  // namespace
