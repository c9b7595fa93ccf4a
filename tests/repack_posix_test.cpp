// Repacking among links and FIFOs, killed passes and the memory a pass
// holds: POSIX only, as the tests make links and FIFOs, kill the tool with
// SIGKILL and read its memory from /proc.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "engine/compact.h"
#include "platform/platform.h"
#include "util/commands.h"
#include "fixtures.h"
#include "platform/test_hooks.h"

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
    b.folder("t").stored("folder", "x").stored("link", "x").stored("fifo", "x").stored("absent", "x");
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
    // Links are not followed; a missing source, or a folder level that is
    // a link, is passed over silently.
    EXPECT_EQ(r.out, "Packing...\nNot a regular file " + f.root + "t/folder\nNot a regular file " + f.root +
                         "t/link\nNot a regular file " + f.root + "t/fifo\nUnsafe path " + f.root +
                         "t/../secret.txt\nUnpacked file\n " + f.root + "t/ok\n");
    EXPECT_EQ(r.status, 0);
    const Bytes after = test::read_bytes(f.pak);
    EXPECT_EQ(after.size(), built.bytes.size() + 4);  // only "fine" was appended
}

// An archive path that is a FIFO or a device is refused at once with the
// open message; a FIFO would otherwise block reads forever.
TEST(Repack, ArchivesThatAreNoFilesAreRefusedAtOnce)
{
    Fixture f;
    const std::string fifo = f.dir / "fifo.pak";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    test::make_dirs(f.src);
    test::RunOptions timed;
    timed.timeout_seconds = 10;
    for (const std::string& pak : {fifo, std::string("/dev/null")}) {
        const test::RunResult r = test::run_tool({"/P", pak, f.src}, timed);
        EXPECT_EQ(r.out, "Can't create data file " + pak + "\n");
        EXPECT_EQ(r.status, 255);
    }
}

// A source that cannot be read is passed over by "/P" as a missing one is;
// update reports it, with the system's reason, and ends with status 1. A
// dry run needs no more than reading the archive. Run unprivileged, so
// that permissions hold even when the tests run as root.
TEST(Repack, UnreadableSourcesAndReadOnlyArchives)
{
    Fixture f;
    ArchiveBuilder b;
    b.folder("d").stored("a", "old").compressed("b", "old").stored("gone", "old").end();
    test::write_file(f.pak, b.build().bytes);
    f.source("d/a", "new");
    f.source("d/b", "new");
    ASSERT_EQ(chmod((f.src + "/d/b").c_str(), 0), 0);
    ASSERT_EQ(chmod(f.dir.path().c_str(), 0755), 0);
    // Copies the unprivileged user can run wherever the build folder is
    // (a checkout under /root is closed to it).
    const auto runnable = [&](const std::string& binary) {
        const std::string copy = f.dir / std::filesystem::path(binary).filename().string();
        std::filesystem::copy_file(binary, copy);
        std::filesystem::permissions(copy, std::filesystem::perms(0755));
        return copy;
    };
    test::RunOptions util;
    util.binary = runnable(test::util_path());
    util.split_stderr = true;
    util.unprivileged = true;
    const std::string unreadable = "tavmerk-util: d/b: cannot read: Permission denied\n";

    ASSERT_EQ(chmod(f.pak.c_str(), 0444), 0);
    test::RunResult r = test::run_tool({"update", "--dry-run", f.pak, f.src}, util);
    EXPECT_EQ(r.out, "changed d/a\n");
    EXPECT_EQ(r.err, unreadable + "1 would change, 0 unchanged, 1 missing\n");
    EXPECT_EQ(r.status, 1);

    ASSERT_EQ(chmod(f.pak.c_str(), 0666), 0);
    r = test::run_tool({"update", f.pak, f.src}, util);
    EXPECT_EQ(r.err, unreadable + "1 changed, 0 unchanged, 1 missing\n");
    EXPECT_EQ(r.status, 1);
    test::RunOptions tool;
    tool.binary = runnable(test::tool_path());
    tool.unprivileged = true;
    r = test::run_tool({"/P", f.pak, f.src}, tool);
    EXPECT_EQ(r.out, "Packing...\nUnpacked file\n " + f.root + "d/a\n");
    EXPECT_EQ(r.status, 0);

    // add: the file it cannot read is left out with a line of its own (the
    // directory grows: the archive is written anew beside itself).
    ASSERT_EQ(chmod(f.dir.path().c_str(), 0777), 0);
    r = test::run_tool({"add", f.pak, f.src + "/d"}, util);
    EXPECT_EQ(r.out, "made d/d\nadded d/d/a\n");
    EXPECT_NE(r.err.find(f.src + "/d/b: cannot read: Permission denied, left out\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);
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

// One writer at a time: two repacks and an expansion started together each
// do their whole job in turn, whichever comes first.
TEST(Repack, RunsStartedTogetherTakeTurns)
{
    Fixture f;
    ArchiveBuilder b;
    b.folder("d");
    for (int i = 0; i < 6; ++i)
        b.compressed("f" + std::to_string(i), "v0");
    b.end();
    test::write_file(f.pak, b.build().bytes);
    const auto contents = [](int version, int i) {
        return "v" + std::to_string(version) + "|" + test::sample_data(150000, uint32_t(i), true);
    };
    const auto lines = [](const std::string& root) {
        std::string out;
        for (int i = 0; i < 6; ++i)
            out += root + "d/f" + std::to_string(i) + "\n";
        return out;
    };
    for (int version = 1; version <= 4; ++version) {
        size_t appended = 0;
        for (int i = 0; i < 6; ++i) {
            f.source("d/f" + std::to_string(i), contents(version, i));
            appended += test::zlib_compress(contents(version, i)).size();
        }
        const size_t size_before = test::read_bytes(f.pak).size();
        const std::string out = f.dir / ("x" + std::to_string(version));
        const std::vector<std::vector<std::string>> runs = {{"/P", f.pak, f.src}, {"/E", f.pak, out}, {"/P", f.pak, f.src}};
        std::vector<pid_t> pids;
        for (size_t n = 0; n < runs.size(); ++n)
            pids.push_back(test::start_tool(runs[n], f.dir / ("log" + std::to_string(n))));
        for (size_t n = 0; n < runs.size(); ++n) {
            int raw = 0;
            ASSERT_EQ(waitpid(pids[n], &raw, 0), pids[n]);
            EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << n;
            const std::string log = test::read_file(f.dir / ("log" + std::to_string(n)));
            EXPECT_EQ(log, runs[n][0] == "/P" ? "Packing...\n" + lines(f.root) : lines(out + "/"));
        }
        // The expansion saw one whole version; both passes appended.
        const Tree seen = test::list_tree(out);
        ASSERT_EQ(seen.size(), 7u);
        const int held = seen[1].second == "v0" ? 0 : seen[1].second[1] - '0';
        EXPECT_TRUE(held == version || held == version - 1) << held;
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(seen[size_t(i) + 1].second, held == 0 ? "v0" : contents(held, i));
        EXPECT_EQ(test::read_bytes(f.pak).size(), size_before + 2 * appended);
        const std::string check = f.dir / ("check" + std::to_string(version));
        ASSERT_EQ(f.expand_to(check).status, 0);
        EXPECT_EQ(test::list_tree(check), test::list_tree(f.src));
    }
}

// The archive as its own source (a hard link at a record's path) is read
// at its turn, after the records before it were appended, by the parallel
// build as by the single-threaded one.
// The archive's lock stays with the process that took it: neither a child
// made by fork (which goes on reading the archive) nor a program run from
// one keeps it once the parent lets go.
TEST(Repack, ArchiveLockIsNotKeptByAChild)
{
    test::ScratchDir dir;
    const std::string pak = dir / "a.pak";
    ArchiveBuilder b;
    b.folder("d").stored("f", "data").end();
    const Bytes bytes = b.build().bytes;
    test::write_file(pak, bytes);
    const auto free_to_lock = [&] {
        const int fd = open(pak.c_str(), O_RDONLY | O_CLOEXEC);
        const bool locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        return locked;
    };
    for (const bool exec : {false, true}) {
        SCOPED_TRACE(exec ? "exec" : "fork");
        auto archive = std::make_unique<tavmerk::platform::UpdateFile>();
        ASSERT_TRUE(archive->open(pak, tavmerk::platform::LockKind::exclusive));
        // `ready` is closed by the child once it runs on (its end is closed
        // on exec); it then waits until `gate` is closed.
        // The forked child tells what it read through `verdict`: its exit
        // status is not its own under valgrind, which reports at its exit.
        int gate[2], ready[2], verdict[2];
        ASSERT_EQ(pipe(gate), 0);
        ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(verdict, O_CLOEXEC), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(gate[1]);
            close(ready[0]);
            close(verdict[0]);
            if (exec) {
                dup2(gate[0], 0);
                execl("/bin/sh", "sh", "-c", "cat >/dev/null", static_cast<char*>(nullptr));
                _exit(3);
            }
            close(ready[1]);
            char c;
            while (read(gate[0], &c, 1) > 0) {
            }
            uint8_t header[16];
            const char read_it =
                archive->read_at(0, header, sizeof header) && std::equal(header, header + 16, bytes.begin()) ? 'y' : 'n';
            _exit(write(verdict[1], &read_it, 1) == 1 ? 0 : 1);
        }
        close(gate[0]);
        close(ready[1]);
        close(verdict[1]);
        char c;
        while (read(ready[0], &c, 1) > 0) {
        }
        close(ready[0]);
        EXPECT_FALSE(free_to_lock());
        archive.reset();
        EXPECT_TRUE(free_to_lock());  // the child still waits at the gate
        close(gate[1]);
        char read_it = 0;
        const bool told = read(verdict[0], &read_it, 1) == 1;
        close(verdict[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (exec) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        } else {
            EXPECT_TRUE(told && read_it == 'y') << status;  // the child still reads the archive
        }
    }
}

TEST(Repack, TheArchiveAsItsOwnSourceIsReadAtItsTurn)
{
    test::ScratchDir dir;
    ArchiveBuilder b;
    b.folder("d").compressed("a", "a0").compressed("self", "s0").stored("self_raw", "r0").compressed("z", "z0").end();
    const Bytes before = b.build().bytes;
    const std::string a = test::sample_data(40000, 1, true);
    std::vector<Bytes> archives;
    for (const std::string& binary : {test::tool_path(), test::single_threaded_tool_path()}) {
        const std::string pak = dir / ("p" + std::to_string(archives.size()) + ".pak");
        const std::string tree = pak + ".tree";
        test::write_file(pak, before);
        test::make_dirs(tree + "/d");
        test::write_file(tree + "/d/a", a);
        test::write_file(tree + "/d/z", "z1");
        ASSERT_EQ(link(pak.c_str(), (tree + "/d/self").c_str()), 0);
        ASSERT_EQ(link(pak.c_str(), (tree + "/d/self_raw").c_str()), 0);
        const test::RunResult r = test::run_tool({"/P", pak, tree}, {"", -1, binary});
        EXPECT_EQ(r.status, 0) << r.out;
        archives.push_back(test::read_bytes(pak));
    }
    EXPECT_EQ(archives[0], archives[1]);
    // Each copy holds the old directory, then the data appended before it.
    ASSERT_EQ(test::run_tool({"/E", dir / "p0.pak", dir / "out"}).status, 0);
    const Bytes self = test::read_bytes(dir / "out/d/self");
    const Bytes self_raw = test::read_bytes(dir / "out/d/self_raw");
    EXPECT_EQ(self.size(), before.size() + test::zlib_compress(a).size());
    EXPECT_GT(self_raw.size(), self.size());
    for (const Bytes* copy : {&self, &self_raw}) {
        ASSERT_LE(copy->size(), archives[0].size());
        EXPECT_TRUE(std::equal(before.begin(), before.end(), copy->begin()));
        EXPECT_TRUE(std::equal(copy->begin() + long(before.size()), copy->end(), archives[0].begin() + long(before.size())));
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

// A run started while the archive is being rewritten (compacted, or by a
// commit whose directory outgrows its room), just before the new file
// takes its name, waits for it and then works on the new file, never on
// the one it replaces: both changes are kept.
TEST(Repack, PassDuringCompactionKeepsItsData)
{
    std::ostringstream quiet;
    tavmerk::UtilConsole console(quiet, quiet);
    const struct {
        const char* racer;  // run as a process at the rename
        bool rewrite_by_add;  // the in-process rewrite: an add (else a compaction)
    } rows[] = {{"/P", false}, {"update", false}, {"add", false}, {"/P", true}, {"update", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.racer) + (row.rewrite_by_add ? " during an add" : " during a compaction"));
        Fixture f;
        ArchiveBuilder b;
        b.folder("t").stored("a", "old").end();
        Bytes grown = b.build().bytes;
        grown.resize(grown.size() + 1000, 0);  // data a compaction drops
        test::write_file(f.pak, grown);
        f.source("t/a", "new");
        test::write_file(f.dir / "raced", "raced");
        test::write_file(f.dir / "added", "added");
        test::RunOptions options;
        std::vector<std::string> args{row.racer, f.pak, f.src};
        if (std::string(row.racer) != "/P")
            options.binary = test::util_path();
        if (std::string(row.racer) == "add")
            args = {"add", f.pak, f.dir / "raced"};
        test::RunResult pass;
        std::thread run;
        tavmerk::platform::set_rename_hook([&] {
            if (run.joinable())
                return;
            run = std::thread([&] { pass = test::run_tool(args, options); });
            usleep(300000);  // long enough for it to pack, were the file open to it
        });
        bool done = false;
        if (row.rewrite_by_add) {
            done = tavmerk::add_command(f.pak, {f.dir / "added"}, "t", tavmerk::Storage::chosen, {}, console) == 0;
        } else {
            tavmerk::CompactSizes sizes;
            done = tavmerk::compact_archive(f.pak, "", sizes).completed();
        }
        tavmerk::platform::set_rename_hook(nullptr);
        ASSERT_TRUE(run.joinable());
        run.join();
        EXPECT_TRUE(done);
        EXPECT_EQ(pass.status, 0);
        const std::string out = f.dir / "out";
        ASSERT_EQ(f.expand_to(out).status, 0);
        EXPECT_EQ(test::read_file(out + "/t/a"), std::string(row.racer) == "add" ? "old" : "new");
        EXPECT_EQ(test::exists(out + "/t/raced"), std::string(row.racer) == "add");
        EXPECT_EQ(test::exists(out + "/t/added"), row.rewrite_by_add);
    }
}

}  // namespace
