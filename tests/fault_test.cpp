// Injected faults: the platform layer's writes and syncs fail one at a time,
// at every point of a repack or an expansion run in-process. After each, the
// archive must still expand, through the real binary, to one whole version
// of its contents, and the run must say what happened.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "archive/layout.h"
#include "archive/reader.h"
#include "archive/redo.h"
#include "checksum/checksum.h"
#include "cli/command_line.h"
#include "crash_replay.h"
#include "engine/archive_commit.h"
#include "engine/change_set.h"
#include "engine/history.h"
#include "engine/expanded_tree.h"
#include "engine/ordered_work.h"
#include "engine/record_commit.h"
#include "engine/transaction.h"
#include "platform/platform.h"
#include "platform/test_hooks.h"
#include "fixtures.h"
#include "test_support.h"
#include "engine/compact.h"
#include "tree_files.h"
#include "util/commands.h"
#include "tavmerk/tavmerk.h"

namespace {

using tavmerk::platform::FaultPoint;
using test::ArchiveBuilder;
using test::Bytes;
using Tree = std::vector<std::pair<std::string, std::string>>;

// Leaves the hooks as the tool has them, whatever the test did.
struct HooksGuard {
    HooksGuard()
    {
        tavmerk::platform::reset_faults();
        tavmerk::platform::set_key_wait_enabled(false);
    }
    ~HooksGuard()
    {
        tavmerk::platform::reset_faults();
        tavmerk::platform::set_key_wait_enabled(true);
        tavmerk::platform::set_syncs_enabled(true);
    }
};

struct Outcome {
    bool ok;
    std::string out;
};

Outcome pack_in_process(const std::string& pak, const std::string& root)
{
    testing::internal::CaptureStdout();
    const bool ok = tavmerk::run_repack(pak, root, tavmerk::default_workers());
    return {ok, testing::internal::GetCapturedStdout()};
}

// On one thread: files are written on workers otherwise, so which file the
// Nth write belongs to would change from run to run. (Repacking appends on
// the walking thread alone, so its writes count the same either way.)
Outcome expand_in_process(const std::string& pak, const std::string& root)
{
    testing::internal::CaptureStdout();
    const bool ok = tavmerk::run_expand(pak, root, 0);
    return {ok, testing::internal::GetCapturedStdout()};
}

// The points of a run that a fault can hit: every write, torn or not, and
// every sync.
struct FaultCase {
    FaultPoint point;
    uint64_t nth;
    bool torn;
};

std::string describe(const FaultCase& c)
{
    return std::string(c.point == FaultPoint::write ? (c.torn ? "torn write " : "write ") : "sync ") +
           std::to_string(c.nth);
}

std::vector<FaultCase> every_fault(uint64_t writes, uint64_t syncs)
{
    std::vector<FaultCase> cases;
    for (uint64_t n = 1; n <= writes; ++n)
        for (bool torn : {false, true})
            cases.push_back({FaultPoint::write, n, torn});
    for (uint64_t n = 1; n <= syncs; ++n)
        cases.push_back({FaultPoint::sync, n, false});
    return cases;
}

// Hooks unit: the armed call fails, the ones around it do not, and a torn
// write leaves exactly its first half.
TEST(FaultHooks, TheArmedWriteAloneFails)
{
    HooksGuard guard;
    test::ScratchDir dir;
    tavmerk::platform::Folder folder;
    ASSERT_TRUE(tavmerk::platform::open_root_folder(dir.path(), tavmerk::platform::MissingFolders::refuse, folder));
    const std::string data = "0123456789";
    const auto write_one = [&](const std::string& name) {
        tavmerk::platform::OutputFile out;
        EXPECT_EQ(tavmerk::platform::create_file(folder, name, out), tavmerk::platform::CreateStatus::created);
        const bool written =
            tavmerk::platform::write_file(out, reinterpret_cast<const uint8_t*>(data.data()), data.size());
        tavmerk::platform::close_file(out);
        return written;
    };
    tavmerk::platform::arm_fault(FaultPoint::write, 2, true);
    EXPECT_TRUE(write_one("1"));
    EXPECT_FALSE(write_one("2"));
    EXPECT_TRUE(write_one("3"));
    EXPECT_EQ(tavmerk::platform::fault_point_calls(FaultPoint::write), 3u);
    EXPECT_EQ(test::read_file(dir / "1"), data);
    EXPECT_EQ(test::read_file(dir / "2"), "01234");
    EXPECT_EQ(test::read_file(dir / "3"), data);

    tavmerk::platform::arm_fault(FaultPoint::write, 1);
    EXPECT_FALSE(write_one("4"));
    EXPECT_EQ(test::read_file(dir / "4"), "");

    tavmerk::platform::UpdateFile file;
    ASSERT_TRUE(file.open(dir / "1"));
    tavmerk::platform::arm_fault(FaultPoint::sync, 1);
    EXPECT_FALSE(file.sync());
    EXPECT_TRUE(file.sync());
    tavmerk::platform::reset_faults();
    EXPECT_EQ(tavmerk::platform::fault_point_calls(FaultPoint::sync), 0u);

    // Syncs switched off are still counted, and the armed one still fails.
    tavmerk::platform::set_syncs_enabled(false);
    tavmerk::platform::arm_fault(FaultPoint::sync, 2);
    EXPECT_TRUE(file.sync());
    EXPECT_FALSE(file.sync());
    EXPECT_TRUE(file.sync());
    EXPECT_EQ(tavmerk::platform::fault_point_calls(FaultPoint::sync), 3u);
}

// The key-wait switch, in a child whose controlling terminal is a
// pseudo-terminal: switched on it waits for a key, switched off it returns.
bool key_wait_returns_by_itself(bool enabled)
{
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        tavmerk::platform::set_key_wait_enabled(enabled);
        tavmerk::platform::wait_for_key();
        _exit(0);
    }
    int raw = 0;
    bool returned = false;
    for (int i = 0; i < 20 && !returned; ++i) {
        returned = waitpid(pid, &raw, WNOHANG) == pid;
        if (!returned)
            usleep(50000);
    }
    if (!returned) {
        EXPECT_EQ(write(master, "k", 1), 1);  // lets the waiting child go
        waitpid(pid, &raw, 0);
    }
    close(master);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
    return returned;
}

TEST(FaultHooks, KeyWaitCanBeSwitchedOff)
{
    EXPECT_FALSE(key_wait_returns_by_itself(true));
    EXPECT_TRUE(key_wait_returns_by_itself(false));
}

// A repack pass over four sources, one deleted record and one missing
// source: version 0 is in the archive, version 1 in the tree.
struct RepackFaults {
    HooksGuard guard;
    test::ScratchDir dir;
    std::string pak = dir / "a.pak";
    std::string src = dir / "tree";
    std::string root = src + "/";
    Bytes before;
    Tree old_tree, new_tree;
    // The pass's console lines in order, and which of them report appends.
    std::vector<std::string> events;
    std::vector<size_t> appends;

    RepackFaults()
    {
        ArchiveBuilder b;
        b.folder("t").stored("a", "a0").compressed("b", test::sample_data(4000, 1, true));
        b.deleted("gone").stored("missing", "m0");
        b.folder("sub").compressed("c", "c0").end().stored("e", "e0").end();
        before = b.build().bytes;
        test::write_file(pak, before);
        old_tree = expanded("old");

        source("t/a", "new raw");
        source("t/b", test::sample_data(30000, 2, true));
        source("t/sub/c", test::sample_data(5000, 3, false));
        source("t/e", "");
        new_tree = old_tree;
        for (auto& [path, contents] : new_tree)
            if (path.back() != '/' && path != "t/missing")
                contents = test::read_file(src + "/" + path);

        events = {"Unpacked file\n " + root + "t/a\n", root + "t/b\n", "Deleted file " + root + "t/gone\n",
                  root + "t/sub/c\n", "Unpacked file\n " + root + "t/e\n"};
        appends = {0, 1, 3, 4};
    }

    void source(const std::string& rel, const std::string& contents)
    {
        const std::string path = src + "/" + rel;
        test::make_dirs(path.substr(0, path.rfind('/')));
        test::write_file(path, contents);
    }

    // What the real binary expands the archive to.
    Tree expanded(const std::string& name)
    {
        const std::string out = dir / name;
        const test::RunResult r = test::run_tool({"/E", pak, out});
        EXPECT_EQ(r.status, 0) << r.out;
        return test::list_tree(out);
    }

    // "old" or "new" when `tree` is one whole version, else each path with
    // the version it holds.
    std::string version_of(const Tree& tree) const
    {
        if (tree == old_tree)
            return "old";
        if (tree == new_tree)
            return "new";
        std::string mixed = "mixed:";
        for (const auto& entry : tree) {
            const bool is_old = std::find(old_tree.begin(), old_tree.end(), entry) != old_tree.end();
            const bool is_new = std::find(new_tree.begin(), new_tree.end(), entry) != new_tree.end();
            mixed += " " + entry.first + (is_old && is_new ? "" : is_old ? "=old" : is_new ? "=new" : "=neither");
        }
        return mixed;
    }

    size_t image_size() const { return tavmerk::header_size + test::get_be32(before, tavmerk::directory_size_at); }

    std::string lines(size_t count) const
    {
        std::string out = "Packing...\n";
        for (size_t i = 0; i < count; ++i)
            out += events[i];
        return out;
    }
};

TEST(RepackFaults, EveryFailedWriteOrSyncLeavesOneWholeVersion)
{
    RepackFaults f;
    ASSERT_EQ(f.version_of(f.new_tree), "new");
    ASSERT_EQ(f.old_tree.size(), 7u);

    // A clean pass first, on a copy, to count the pass's writes and syncs:
    // one append per source, the redo record and the directory in place,
    // and a sync after the appends with their record, and after the
    // directory (the cut is not synced).
    const std::string clean_pak = f.dir / "clean.pak";
    test::write_file(clean_pak, f.before);
    const Outcome clean = pack_in_process(clean_pak, f.root);
    ASSERT_TRUE(clean.ok);
    EXPECT_EQ(clean.out, f.lines(f.events.size()));
    const uint64_t writes = tavmerk::platform::fault_point_calls(FaultPoint::write);
    const uint64_t syncs = tavmerk::platform::fault_point_calls(FaultPoint::sync);
    EXPECT_EQ(writes, f.appends.size() + 2);
    EXPECT_EQ(syncs, 2u);
    const Bytes after = test::read_bytes(clean_pak);

    int run = 0;
    for (const FaultCase& c : every_fault(writes, syncs)) {
        SCOPED_TRACE(describe(c));
        test::write_file(f.pak, f.before);
        tavmerk::platform::reset_faults();
        tavmerk::platform::arm_fault(c.point, c.nth, c.torn);
        const Outcome r = pack_in_process(f.pak, f.root);
        tavmerk::platform::reset_faults();

        const std::string failed = "Can't write data file " + f.pak + "\n";
        EXPECT_FALSE(r.ok);
        const bool failed_append = c.point == FaultPoint::write && c.nth <= f.appends.size();
        // Only the files appended before the failure are reported as packed.
        EXPECT_EQ(r.out, f.lines(failed_append ? f.appends[c.nth - 1] : f.events.size()) + failed);

        // Until the directory is written, a failure (a torn directory write
        // included) leaves the archive byte for byte as it was. Once it is
        // written, the new directory stays over synced data, its redo
        // record too when the sync after the write fails.
        const bool after_directory = c.point == FaultPoint::sync && c.nth >= 2;
        const bool record_kept = c.point == FaultPoint::sync && c.nth == 2;
        Bytes now = test::read_bytes(f.pak);
        if (record_kept) {
            EXPECT_EQ(now.size(), after.size() + tavmerk::redo_record_size(f.image_size()));
            now.resize(std::min(now.size(), after.size()));
        }
        EXPECT_TRUE(now == (after_directory ? after : f.before))
            << "archive of " << now.size() << " bytes; before " << f.before.size() << ", after " << after.size();
        EXPECT_EQ(f.version_of(f.expanded("out" + std::to_string(run++))), after_directory ? "new" : "old");
    }
}

// A pass that dies while it writes its directory in place, as at a power
// loss, torn in the header, in mid-record and near the directory's end: the
// next expansion reads the new version whole from the redo record without
// changing the archive, and the next repack finishes the write, cuts the
// record off and then does its own pass.
TEST(RepackFaults, DirectoryWriteCutShortIsRedoneByTheNextRun)
{
    RepackFaults f;
    const size_t image = f.image_size();
    const uint64_t pass_writes = f.appends.size() + 2;  // the write in place is the last
    // In the header's CRC, in mid-directory, in the last record's offset.
    for (const size_t keep : {size_t(38), image / 2, image - 8}) {
        SCOPED_TRACE(keep);
        test::write_file(f.pak, f.before);
        const pid_t pid = fork();
        if (pid == 0) {
            tavmerk::platform::arm_write_crash(pass_writes, keep);
            tavmerk::run_repack(f.pak, f.root, tavmerk::default_workers());
            _exit(0);
        }
        int raw = 0;
        ASSERT_EQ(waitpid(pid, &raw, 0), pid);
        ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == tavmerk::platform::crash_status);
        const Bytes crashed = test::read_bytes(f.pak);
        const Bytes torn(crashed.begin(), crashed.begin() + long(image));
        const Bytes redo(crashed.end() - long(image + tavmerk::redo_trailer_size), crashed.end() - long(tavmerk::redo_trailer_size));
        ASSERT_NE(torn, Bytes(f.before.begin(), f.before.begin() + long(image)));
        ASSERT_NE(torn, redo);

        EXPECT_EQ(f.version_of(f.expanded("x" + std::to_string(keep))), "new");
        EXPECT_EQ(test::read_bytes(f.pak), crashed);
        // So does a dry-run update: the tree holds the new version, nothing differs.
        test::RunOptions util;
        util.binary = test::util_path();
        util.split_stderr = true;
        const test::RunResult dry = test::run_tool({"update", "--dry-run", f.pak, f.src}, util);
        EXPECT_EQ(dry.out, "");
        EXPECT_EQ(dry.status, 0);
        EXPECT_EQ(test::read_bytes(f.pak), crashed);

        const test::RunResult r = test::run_tool({"/P", f.pak, f.src});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, f.lines(f.events.size()));
        // The pass appended where the record had started.
        const size_t record = size_t(tavmerk::redo_record_size(image));
        const size_t appended = crashed.size() - record - f.before.size();
        EXPECT_EQ(test::read_bytes(f.pak).size(), crashed.size() - record + appended);
        EXPECT_EQ(f.version_of(f.expanded("y" + std::to_string(keep))), "new");
    }
}

// Every state a crash could leave a pass in (see crash_replay.h): the
// archive expands to one whole version, passes `test`, and takes another
// "/P". A compaction into a new file leaves it whole or not at all.
TEST(CrashStates, EveryPassLeavesOneWholeVersion)
{
    std::ostringstream quiet;
    tavmerk::UtilConsole console(quiet, quiet);
    const struct {
        const char* name;
        bool compacts;
        std::function<bool(const std::string& pak, const std::string& root, const std::string& output)> run;
    } passes[] = {
        {"/P", false, [](auto& pak, auto& root, auto&) { return pack_in_process(pak, root).ok; }},
        {"update", false, [&](auto& pak, auto& root, auto&) {
             return tavmerk::update_command(pak, root, false, 0, console) == tavmerk::util_ok;
         }},
        {"compact", true, [&](auto& pak, auto&, auto&) { return tavmerk::compact_command(pak, "", 0, console) == 0; }},
        {"compact -o", true, [&](auto& pak, auto&, auto& output) {
             return tavmerk::compact_command(pak, output, 0, console) == 0;
         }},
        {"compact, versions kept", true, [&](auto& pak, auto&, auto&) {
             return tavmerk::compact_command(pak, "", 0, console) == 0;
         }},
        {"compact --keep 2", true, [&](auto& pak, auto&, auto&) {
             return tavmerk::compact_command(pak, "", 2, console) == 0;
         }},
    };
    for (const auto& pass : passes) {
        SCOPED_TRACE(pass.name);
        RepackFaults f;
        const std::string output = pass.name == std::string("compact -o") ? f.dir / "new.pak" : "";
        // Compactions of an archive with versions: made by update (room
        // made first) and a change, each listed in either state.
        const bool versions = std::string(pass.name).find("versions") != std::string::npos ||
                              std::string(pass.name).find("--keep") != std::string::npos;
        if (pass.compacts) {  // over the data a pass left behind
            if (versions) {
                ASSERT_EQ(tavmerk::update_command(f.pak, f.root, false, 0, console), tavmerk::util_ok);
                ASSERT_EQ(tavmerk::mkdir_command(f.pak, {"t/later"}, {}, console), tavmerk::util_ok);
            } else {
                ASSERT_TRUE(pack_in_process(f.pak, f.root).ok);
            }
            f.old_tree = f.new_tree;
        }
        const auto versions_listed = [](const std::string& pak) {
            tavmerk::CompactSizes sizes;
            return tavmerk::compaction_sizes(pak, tavmerk::CompactOptions(), sizes) ? sizes.versions : 0u;
        };
        const uint32_t listed = versions_listed(f.pak);
        EXPECT_EQ(listed, versions ? 3u : 1u);
        test::CrashReplay replay({f.dir.path()});
        ASSERT_TRUE(pass.run(f.pak, f.root, output));
        replay.stop();
        const std::string x = f.dir / "x";
        const auto check = [&](const std::string& pak) {
            test::remove_tree(x);
            EXPECT_TRUE(expand_in_process(pak, x + "/").ok);
            const std::string version = f.version_of(test::list_tree(x));
            EXPECT_TRUE(version == "old" || version == "new") << version;
            if (pass.compacts) {
                EXPECT_EQ(versions_listed(pak), listed);
            }
            EXPECT_EQ(tavmerk::test_command(pak, "", 0, console), tavmerk::util_ok);
            EXPECT_TRUE(pack_in_process(pak, f.root).ok);
        };
        for (const size_t i : replay.checked()) {
            SCOPED_TRACE(replay.restore(i));
            if (!output.empty() && test::exists(output))
                check(output);
            check(f.pak);
        }
    }
}

// The archive's tree as a structural commit sees it: the files "/E"
// writes, and every folder entry's path.
std::string tree_signature(const std::string& pak, const std::string& out)
{
    test::remove_tree(out);
    if (!expand_in_process(pak, out + "/").ok)
        return "no expansion";
    std::string sig;
    for (const auto& [path, contents] : test::list_tree(out))
        sig += path + "=" + contents + "\n";
    std::vector<tavmerk::TreePath> paths;
    int error = 0;
    if (tavmerk::read_tree_paths(pak, paths, error) != tavmerk::ChangeStatus::committed)
        return "no directory";
    for (const tavmerk::TreePath& p : paths)
        if (p.folder)
            sig += "folder " + p.path + "\n";
    // The history too: read whole, as long as the old or as the new.
    std::ostringstream log, err;
    tavmerk::UtilConsole console(log, err);
    if (tavmerk::log_command(pak, false, console) != tavmerk::util_ok)
        return "history not read whole: " + log.str() + err.str();
    return sig + log.str();
}

// Structural commits, each on the archive of RepackFaults: in place (into
// the room a first commit reserved) or rewritten to make room.
struct StructuralPass {
    const char* name;
    bool room_first;
    std::function<int(RepackFaults& f, tavmerk::UtilConsole& console)> run;
};

// A mount's save of one record: `data` as its new content, edited from the
// record as it stands, `unchanged` of its first bytes still its data's.
int save_record(RepackFaults& f, const std::string& path, const std::string& data, tavmerk::RecordStorage storage,
                size_t unchanged)
{
    tavmerk::Transaction look;
    if (look.begin(f.pak, tavmerk::Transaction::Mode::dry_run) != tavmerk::CommitStatus::committed)
        return tavmerk::util_failed;
    tavmerk::ExpandedTree tree;
    tree.build(look.reader());
    const uint32_t found = tree.find(path);
    if (found == tavmerk::ExpandedTree::none)
        return tavmerk::util_failed;
    const tavmerk::ExpandedTree::Node& node = tree.node(found);
    const tavmerk::EditedFrom from{node.data_offset, node.stored_size, node.expanded_size, node.checksum, unchanged};
    const uint64_t size_before = look.data_end();
    look.release();
    tavmerk::NewContent content;
    content.size = data.size();
    content.read = [&data](uint64_t offset, uint8_t* dest, size_t size) {
        std::memcpy(dest, data.data() + offset, size);
        return true;
    };
    content.from = &from;
    tavmerk::CommitResult result;
    if (tavmerk::commit_record(f.pak, path, content, {}, 0, result, storage) != tavmerk::CommitStatus::committed)
        return tavmerk::util_failed;
    // A stored record only added to, ending the data, takes the added
    // bytes where it ends: the archive grows by them alone. Stored raw
    // otherwise, it grows by the whole content.
    const bool runs_on = storage != tavmerk::RecordStorage::chosen && node.kind == tavmerk::RecordKind::stored &&
                         unchanged >= node.expanded_size && node.data_offset + node.stored_size == size_before;
    // The version the save keeps follows the data.
    tavmerk::Transaction after;
    if (after.begin(f.pak, tavmerk::Transaction::Mode::dry_run) != tavmerk::CommitStatus::committed)
        return tavmerk::util_failed;
    const tavmerk::platform::UpdateFile& file = after.file();
    const tavmerk::History history = tavmerk::read_history(
        {&after.reader(), after.data_end(),
         [&file](uint64_t at, uint8_t* dest, size_t size) { return file.read_at(at, dest, size); }},
        1);
    const uint64_t grown = test::read_bytes(f.pak).size() - size_before - history.newest.size;
    if (runs_on)
        return grown == data.size() - node.expanded_size ? tavmerk::util_ok : tavmerk::util_failed;
    if (storage == tavmerk::RecordStorage::stored)
        return grown == data.size() ? tavmerk::util_ok : tavmerk::util_failed;
    return tavmerk::util_ok;
}

std::vector<StructuralPass> structural_passes()
{
    const tavmerk::StructureOptions options;
    const auto add = [options](RepackFaults& f, tavmerk::UtilConsole& console) {
        test::write_file(f.dir / "added", test::sample_data(20000, 9, true));
        return tavmerk::add_command(f.pak, {f.dir / "added"}, "t/sub", tavmerk::Storage::chosen, options, console);
    };
    return {
        {"add, rewritten to make room", false, add},
        {"add, into the room", true, add},
        {"remove", true, [options](RepackFaults& f, tavmerk::UtilConsole& c) {
             return tavmerk::remove_command(f.pak, {"t/b"}, false, options, c);
         }},
        {"remove --drop", true, [options](RepackFaults& f, tavmerk::UtilConsole& c) {
             return tavmerk::remove_command(f.pak, {"t/sub"}, true, options, c);
         }},
        {"rename across folders", true, [options](RepackFaults& f, tavmerk::UtilConsole& c) {
             return tavmerk::rename_command(f.pak, "t/a", "t/sub/a2", options, c);
         }},
        {"rename onto a file", true, [options](RepackFaults& f, tavmerk::UtilConsole& c) {
             return tavmerk::rename_command(f.pak, "t/a", "t/b", options, c);
         }},
        {"mkdir", false, [options](RepackFaults& f, tavmerk::UtilConsole& c) {
             return tavmerk::mkdir_command(f.pak, {"t/x/y"}, options, c);
         }},
        // What a mount does at a file's close: one record saved alone.
        {"a mount's save of one record", true, [](RepackFaults& f, tavmerk::UtilConsole&) {
             const std::string data = test::sample_data(9000, 4, true);
             tavmerk::NewContent content;
             content.size = data.size();
             content.read = [&data](uint64_t offset, uint8_t* dest, size_t size) {
                 std::memcpy(dest, data.data() + offset, size);
                 return true;
             };
             tavmerk::CommitResult result;
             return tavmerk::commit_record(f.pak, "t/b", content, {}, 0, result) == tavmerk::CommitStatus::committed
                        ? tavmerk::util_ok
                        : tavmerk::util_failed;
         }},
        // A patch that changes one file and adds one, made (once, before
        // the pass proper) from the archive and a copy changed by add.
        {"patch apply", true, [options](RepackFaults& f, tavmerk::UtilConsole& c) {
             const std::string patch = f.dir / "p.patch", next = f.dir / "next.pak";
             if (!test::exists(patch)) {
                 test::write_file(next, test::read_bytes(f.pak));
                 test::write_file(f.dir / "b", test::sample_data(7000, 8, true));
                 test::write_file(f.dir / "fresh", "fresh");
                 if (tavmerk::add_command(next, {f.dir / "b", f.dir / "fresh"}, "t", tavmerk::Storage::chosen, options,
                                          c) != 0 ||
                     tavmerk::patch_make_command({f.pak, "", next, ""}, patch, false, c) != 0)
                     return int(tavmerk::util_failed);
             }
             return tavmerk::patch_apply_command(f.pak, patch, options, false, c);
         }},
        // Back to the version before the warming mkdir: its directory
        // written back, its data where it was.
        {"undo", true, [options](RepackFaults& f, tavmerk::UtilConsole& c) {
             return tavmerk::undo_command(f.pak, "~1", options, c);
         }},
        // A log's save: the stored t/e, whose data ends the archive's,
        // takes the added bytes where it ends (its last two bytes summed
        // again with them).
        {"a mount's save of a stored record only added to", true, [](RepackFaults& f, tavmerk::UtilConsole&) {
             return save_record(f, "t/e", "e0 and a line more\n", tavmerk::RecordStorage::kept, 2);
         }},
        // Added to, but not where the data ends: copied whole, raw.
        {"a mount's save of a compressed record stored raw", true, [](RepackFaults& f, tavmerk::UtilConsole&) {
             return save_record(f, "t/b", test::sample_data(4000, 1, true) + "more", tavmerk::RecordStorage::stored,
                                4000);
         }},
        {"a mount's save with the method chosen anew", true, [](RepackFaults& f, tavmerk::UtilConsole&) {
             return save_record(f, "t/a", test::sample_data(6000, 6, true), tavmerk::RecordStorage::chosen, 0);
         }},
        {"update --sync", true, [options](RepackFaults& f, tavmerk::UtilConsole& c) {
             f.source("t/new/n", "n");
             return tavmerk::sync_command(f.pak, f.root, options, c);
         }},
        // What the library and the Python package commit: staged changes of
        // every kind through a handle.
        {"a library commit", true, [](RepackFaults& f, tavmerk::UtilConsole&) {
             tavmerk_archive* archive = nullptr;
             if (tavmerk_open(f.pak.c_str(), TAVMERK_UPDATE, &archive) != TAVMERK_OK)
                 return tavmerk::util_failed;
             const std::string data = test::sample_data(7000, 5, true);
             const bool staged = tavmerk_put_bytes(archive, "t/lib/new", data.data(), data.size(), TAVMERK_STORAGE_CHOSEN) == TAVMERK_OK &&
                                 tavmerk_remove(archive, "t/a") == TAVMERK_OK &&
                                 tavmerk_rename(archive, "t/b", "t/sub/b2") == TAVMERK_OK;
             const bool committed = staged && tavmerk_commit(archive, nullptr, nullptr) == TAVMERK_OK;
             tavmerk_close(archive);
             return committed ? tavmerk::util_ok : tavmerk::util_failed;
         }},
    };
}

// Every state a crash could leave a structural commit in: the archive's
// tree is the old one or the new one whole, `test` is clean, and another
// commit goes on top. A new archive is there whole or not at all.
TEST(CrashStates, EveryStructuralCommitLeavesOneWholeVersion)
{
    std::ostringstream quiet;
    tavmerk::UtilConsole console(quiet, quiet);
    std::vector<StructuralPass> passes = structural_passes();
    passes.push_back({"create", false, [](RepackFaults& f, tavmerk::UtilConsole& c) {
                          return tavmerk::create_command(f.dir / "made.pak", f.src, "", {}, {}, c);
                      }});
    for (const StructuralPass& pass : passes) {
        SCOPED_TRACE(pass.name);
        RepackFaults f;
        if (pass.room_first) {
            // Room, then a version to go back to.
            ASSERT_EQ(tavmerk::mkdir_command(f.pak, {"t/warm"}, {}, console), 0);
            ASSERT_EQ(tavmerk::mkdir_command(f.pak, {"t/warmer"}, {}, console), 0);
        }
        const bool creates = pass.name == std::string("create");
        const std::string pak = creates ? f.dir / "made.pak" : f.pak;
        const std::string x = f.dir / "x";
        const std::string old_sig = creates ? "" : tree_signature(pak, x);
        test::CrashReplay replay({f.dir.path()});
        ASSERT_EQ(pass.run(f, console), 0);
        replay.stop();
        const std::string new_sig = tree_signature(pak, x);
        ASSERT_NE(new_sig, old_sig);
        for (const size_t i : replay.checked()) {
            SCOPED_TRACE(replay.restore(i));
            if (creates && !test::exists(pak))
                continue;
            const std::string sig = tree_signature(pak, x);
            EXPECT_TRUE(sig == old_sig || sig == new_sig) << sig;
            EXPECT_EQ(tavmerk::test_command(pak, "", 0, console), tavmerk::util_ok);
            EXPECT_EQ(tavmerk::mkdir_command(pak, {"t/after"}, {}, console), 0);
        }
    }
}

// A write or sync that fails at any point of a structural commit (a full
// disk): the archive holds the old tree or the new one, byte for byte the
// old file when the old, with nothing of the commit left behind.
TEST(StructureFaults, EveryFailedWriteOrSyncLeavesOneWholeVersion)
{
    // Each run is compared with the first, its version's time included.
    ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    std::ostringstream quiet;
    tavmerk::UtilConsole console(quiet, quiet);
    for (const StructuralPass& pass : structural_passes()) {
        SCOPED_TRACE(pass.name);
        RepackFaults f;
        if (pass.room_first) {
            // Room, then a version to go back to.
            ASSERT_EQ(tavmerk::mkdir_command(f.pak, {"t/warm"}, {}, console), 0);
            ASSERT_EQ(tavmerk::mkdir_command(f.pak, {"t/warmer"}, {}, console), 0);
        }
        const Bytes before = test::read_bytes(f.pak);
        const std::string x = f.dir / "x";
        const std::string old_sig = tree_signature(f.pak, x);
        tavmerk::platform::reset_faults();
        ASSERT_EQ(pass.run(f, console), 0);
        const uint64_t writes = tavmerk::platform::fault_point_calls(FaultPoint::write);
        const uint64_t syncs = tavmerk::platform::fault_point_calls(FaultPoint::sync);
        const std::string new_sig = tree_signature(f.pak, x);
        const auto files = [&] {
            std::vector<std::string> names;
            for (const auto& [path, contents] : test::list_tree(f.dir.path()))
                if (path.find('/') == std::string::npos)
                    names.push_back(path);
            return names;
        };
        const std::vector<std::string> names = files();
        for (const FaultCase& c : every_fault(writes, syncs)) {
            SCOPED_TRACE(describe(c));
            test::write_file(f.pak, before);
            tavmerk::platform::reset_faults();
            tavmerk::platform::arm_fault(c.point, c.nth, c.torn);
            const int status = pass.run(f, console);
            tavmerk::platform::reset_faults();
            const std::string sig = tree_signature(f.pak, x);
            EXPECT_TRUE(sig == old_sig || sig == new_sig) << sig;
            if (sig == old_sig) {
                EXPECT_EQ(status, tavmerk::util_failed);
                EXPECT_TRUE(test::read_bytes(f.pak) == before);
            }
            EXPECT_EQ(files(), names);  // no temporary file left
        }
    }
}

// A redo record whose changed records' data is not on disk is ordinary
// data: the directory in place stays in force, and the next pass's own.
TEST(RepackFaults, RecordWithoutItsDataIsNotAdopted)
{
    RepackFaults f;
    const pid_t pid = fork();
    if (pid == 0) {
        tavmerk::platform::arm_write_crash(f.appends.size() + 2, 0);  // the directory in place
        tavmerk::run_repack(f.pak, f.root, tavmerk::default_workers());
        _exit(0);
    }
    int raw = 0;
    ASSERT_EQ(waitpid(pid, &raw, 0), pid);
    Bytes crashed = test::read_bytes(f.pak);
    const size_t record_at = crashed.size() - size_t(tavmerk::redo_record_size(f.image_size()));
    ASSERT_GT(record_at, f.before.size());
    std::fill(crashed.begin() + long(f.before.size()), crashed.begin() + long(record_at), 0);
    test::write_file(f.pak, crashed);
    EXPECT_EQ(f.version_of(f.expanded("x")), "old");
    EXPECT_EQ(test::run_tool({"/P", f.pak, f.src}).status, 0);
    EXPECT_EQ(f.version_of(f.expanded("y")), "new");
}

// Expansion: a failed write costs its own file and nothing else; the file is
// removed, torn or not, and reported.
TEST(ExpandFaults, EveryFailedWriteCostsOnlyItsOwnFile)
{
    HooksGuard guard;
    test::ScratchDir dir;
    const std::string pak = dir / "a.pak";
    ArchiveBuilder b;
    b.folder("d").stored("raw", test::sample_data(3000, 4, false)).compressed("packed", test::sample_data(9000, 5, true));
    b.deleted("gone").stored("empty", "").folder("sub").compressed("deep", "deep contents").end().end();
    test::write_file(pak, b.build().bytes);

    const std::string clean_root = dir / "clean" + "/";
    const Outcome clean = expand_in_process(pak, clean_root);
    ASSERT_TRUE(clean.ok);
    const Tree whole = test::list_tree(dir / "clean");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"d/raw", "Unpacked file "}, {"d/packed", ""}, {"d/empty", "Unpacked file "}, {"d/sub/deep", ""}};
    const auto expected_out = [&](const std::string& root, size_t failed) {
        std::string out;
        for (size_t i = 0; i < files.size(); ++i) {
            if (i == 2)
                out += "Deleted file " + root + "d/gone\n";
            out += i == failed ? "Can't write file " + root + files[i].first + "\n"
                               : files[i].second + root + files[i].first + "\n";
        }
        return out;
    };
    EXPECT_EQ(clean.out, expected_out(clean_root, files.size()));
    const uint64_t writes = tavmerk::platform::fault_point_calls(FaultPoint::write);
    ASSERT_EQ(writes, files.size());

    int run = 0;
    for (const FaultCase& c : every_fault(writes, 0)) {
        SCOPED_TRACE(describe(c));
        const std::string out_dir = dir / ("out" + std::to_string(run++));
        tavmerk::platform::reset_faults();
        tavmerk::platform::arm_fault(c.point, c.nth, c.torn);
        const Outcome r = expand_in_process(pak, out_dir + "/");
        tavmerk::platform::reset_faults();
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.out, expected_out(out_dir + "/", size_t(c.nth - 1)));
        Tree expected = whole;
        expected.erase(std::find_if(expected.begin(), expected.end(),
                                    [&](const auto& e) { return e.first == files[c.nth - 1].first; }));
        EXPECT_EQ(test::list_tree(out_dir), expected);
    }
}

}  // namespace

namespace {

// The archive as the reader in the test sees it: each live record's path
// and data offset.
std::map<std::string, uint32_t> data_offsets(const Bytes& archive)
{
    tavmerk::ArchiveReader reader;
    std::map<std::string, uint32_t> out;
    if (!reader.open(archive.data(), archive.size(), archive.size()))
        return out;
    tavmerk::RecordCursor records = reader.records(std::string(), '/');
    while (records.next())
        if (records.entry().live())
            out[records.entry().path] = records.entry().data_offset;
    return out;
}

// A header and empty directory with the filler of `like`: what a record
// that wipes the archive would carry.
Bytes empty_image(const Bytes& like)
{
    Bytes image(like.begin(), like.begin() + long(tavmerk::header_size));
    test::put_be32(image, tavmerk::root_folder_count_at, 0);
    test::put_be32(image, tavmerk::directory_size_at, 0);
    tavmerk::seal_directory(image.data());
    return image;
}

}  // namespace

// Content a user stores can end exactly like the record of an interrupted
// commit: crafted with the engine's own record maker and aimed at the
// offset it lands at, copied whole from a real interrupted commit, or
// carrying another archive's directory. Stored by add, update and "/P",
// as the archive's last data and with more data after it, and with the
// directory's CRC broken afterwards: every read sees every record, and the
// next commit keeps them all.
// Marks the record at `path` deleted in the archive's own directory and
// seals it again.
void mark_deleted(Bytes& archive, const std::string& path)
{
    tavmerk::ArchiveReader reader;
    ASSERT_TRUE(reader.open(archive.data(), archive.size(), archive.size()));
    tavmerk::RecordCursor records = reader.records(std::string(), '/');
    while (records.next())
        if (records.entry().path == path) {
            const size_t at = tavmerk::directory_block_at + records.entry().record_at + tavmerk::data_offset_at;
            test::put_be32(archive, at, 0);
        }
    const uint32_t size = tavmerk::directory_size(archive.data());
    test::put_be32(archive, tavmerk::directory_crc_at,
                   tavmerk::Crc32().compute(archive.data() + tavmerk::directory_block_at, size));
}

TEST(ContentAttacks, StoredBytesAreNeverTakenForACommitRecord)
{
    HooksGuard guard;
    // A real record, from a repack killed while it wrote its directory.
    RepackFaults real;
    {
        const pid_t pid = fork();
        if (pid == 0) {
            tavmerk::platform::arm_write_crash(real.appends.size() + 2, 38);
            tavmerk::run_repack(real.pak, real.root, tavmerk::default_workers());
            _exit(0);
        }
        int raw = 0;
        ASSERT_EQ(waitpid(pid, &raw, 0), pid);
    }
    const Bytes crashed = test::read_bytes(real.pak);
    const size_t real_size = size_t(tavmerk::redo_record_size(real.image_size()));
    ASSERT_GT(crashed.size(), real_size);
    const Bytes real_record(crashed.end() - long(real_size), crashed.end());
    const Bytes real_before(real_record.begin(), real_record.begin() + long(real.image_size()));
    const Bytes real_image(real_record.begin() + long(real.image_size()), real_record.end() - long(tavmerk::redo_trailer_size));

    // Another archive's header and directory.
    ArchiveBuilder other_builder;
    other_builder.folder("t").stored("a", "other").end();
    const Bytes other_bytes = other_builder.build().bytes;
    const Bytes other(other_bytes.begin(),
                      other_bytes.begin() + long(tavmerk::header_size + test::get_be32(other_bytes, tavmerk::directory_size_at)));

    enum class How { add_last, add_then_more, update, repack };
    enum class Payload { crafted_wipe, real_copy, real_aimed, other_archive };
    for (const How how : {How::add_last, How::add_then_more, How::update, How::repack})
        for (const Payload payload : {Payload::crafted_wipe, Payload::real_copy, Payload::real_aimed, Payload::other_archive})
            for (const bool break_crc : {false, true}) {
                SCOPED_TRACE("how " + std::to_string(int(how)) + ", payload " + std::to_string(int(payload)) +
                             (break_crc ? ", directory CRC broken" : ""));
                test::RepackFixture f;
                ArchiveBuilder b;
                b.folder("t").stored("a", "alpha").compressed("b", test::sample_data(3000, 7, true));
                b.stored("evil", "placeholder").end();
                test::write_file(f.pak, b.build().bytes);
                f.source("t/a", "alpha");
                f.source("t/b", test::sample_data(3000, 7, true));
                test::RunOptions util;
                util.binary = test::util_path();
                util.split_stderr = true;

                // Where the payload lands: the same commit made on a copy
                // with bytes of its size (the engine places data the same
                // way each time).
                const size_t prefix = 100;
                const size_t payload_size =
                    prefix + (payload == Payload::crafted_wipe    ? size_t(tavmerk::redo_record_size(tavmerk::header_size))
                              : payload == Payload::other_archive ? size_t(tavmerk::redo_record_size(other.size()))
                                                                  : real_size);
                const std::string evil_path = f.dir / "evil";
                const auto store = [&](const std::string& pak, const std::string& content) {
                    test::write_file(evil_path, content);
                    f.source("t/evil", content);
                    test::RunResult r;
                    switch (how) {
                    case How::add_last:
                        r = test::run_tool({"add", "--store", pak, evil_path, "--to", "t"}, util);
                        break;
                    case How::add_then_more:
                        r = test::run_tool({"add", "--store", pak, evil_path, f.dir / "tail", "--to", "t"}, util);
                        break;
                    case How::update:
                        r = test::run_tool({"update", pak, f.src}, util);
                        break;
                    case How::repack:
                        r = test::run_tool({"/P", pak, f.src});
                        break;
                    }
                    return r.status;
                };
                test::write_file(f.dir / "tail", test::sample_data(500, 3, false));
                const std::string probe = f.dir / "probe.pak";
                test::write_file(probe, test::read_bytes(f.pak));
                ASSERT_EQ(store(probe, std::string(payload_size, 'x')), 0);
                const Bytes probed = test::read_bytes(probe);
                const uint64_t lands = data_offsets(probed).at("t/evil");

                Bytes record;
                const uint64_t record_at = lands + prefix;
                switch (payload) {
                case Payload::crafted_wipe: {
                    const Bytes image = empty_image(probed);
                    record = tavmerk::make_redo_record(Bytes(probed.begin(), probed.begin() + long(image.size())),
                                                       image, record_at);
                    break;
                }
                case Payload::real_copy:
                    record = real_record;
                    break;
                case Payload::real_aimed:
                    record = tavmerk::make_redo_record(real_before, real_image, record_at);
                    break;
                case Payload::other_archive:
                    record = tavmerk::make_redo_record(Bytes(probed.begin(), probed.begin() + long(other.size())),
                                                       other, record_at);
                    break;
                }
                std::string content(prefix, 'p');
                content.append(record.begin(), record.end());
                ASSERT_EQ(content.size(), payload_size);
                ASSERT_EQ(store(f.pak, content), 0);
                ASSERT_EQ(data_offsets(test::read_bytes(f.pak)).at("t/evil"), lands);

                Tree expected = {{"t/", ""}, {"t/a", "alpha"}, {"t/b", test::sample_data(3000, 7, true)},
                                 {"t/evil", content}};
                if (how == How::add_then_more)
                    expected.push_back({"t/tail", test::sample_data(500, 3, false)});
                std::sort(expected.begin(), expected.end());
                if (break_crc) {
                    Bytes now = test::read_bytes(f.pak);
                    now[tavmerk::directory_crc_at] ^= 0x5a;
                    test::write_file(f.pak, now);
                }
                const Bytes stored = test::read_bytes(f.pak);
                EXPECT_EQ(test::run_tool({"/E", f.pak, f.dir / "out1"}).status, 0);
                EXPECT_EQ(test::list_tree(f.dir / "out1"), expected);
                const test::RunResult list = test::run_tool({"list", f.pak}, util);
                EXPECT_NE(list.out.find("t/evil"), std::string::npos) << list.out;
                EXPECT_NE(list.out.find("t/a"), std::string::npos) << list.out;
                EXPECT_EQ(test::read_bytes(f.pak), stored);  // reading changes nothing
                if (break_crc)
                    continue;
                EXPECT_EQ(test::run_tool({"test", f.pak}, util).status, 0);
                if (how == How::add_last && payload != Payload::real_copy) {
                    // Once nothing points at it, an aimed payload is stray
                    // bytes: `test` tells them, and they stay as they are.
                    // (The record is marked deleted in place, as a writer
                    // that keeps no versions would: `remove` appends one.)
                    const std::string copy = f.dir / "removed.pak";
                    Bytes removed = stored;
                    mark_deleted(removed, "t/evil");
                    test::write_file(copy, removed);
                    const test::RunResult tested = test::run_tool({"test", copy}, util);
                    EXPECT_EQ(tested.status, 1);
                    EXPECT_NE(tested.out.find("<end>: " + std::to_string(record.size()) + " bytes that look like"),
                              std::string::npos)
                        << tested.out;
                    EXPECT_EQ(test::read_bytes(copy), removed);
                    EXPECT_EQ(test::run_tool({"mkdir", copy, "t/last"}, util).status, 0);
                    EXPECT_EQ(test::run_tool({"/E", copy, f.dir / "out3"}).status, 0);
                    Tree left = expected;
                    left.erase(std::remove_if(left.begin(), left.end(), [](const auto& e) { return e.first == "t/evil"; }),
                               left.end());
                    EXPECT_EQ(test::list_tree(f.dir / "out3"), left);
                }
                ASSERT_EQ(test::run_tool({"mkdir", f.pak, "t/later"}, util).status, 0);
                expected.push_back({"t/later/", ""});
                std::sort(expected.begin(), expected.end());
                EXPECT_EQ(test::run_tool({"/E", f.pak, f.dir / "out2"}).status, 0);
                const Tree after = test::list_tree(f.dir / "out2");
                // An empty folder is not written by "/E".
                Tree files_expected;
                for (const auto& e : expected)
                    if (e.first != "t/later/")
                        files_expected.push_back(e);
                EXPECT_EQ(after, files_expected);
            }
}
