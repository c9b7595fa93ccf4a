// Versions end to end: every commit can be read again as it was, undone,
// and no stored content, damage or repack makes the history lie or changes
// the version in force.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

#include "archive/history.h"
#include "archive/layout.h"
#include "archive/room.h"
#include "archive_builder.h"
#include "test_support.h"
#include "tree_files.h"
#include "util/commands.h"

namespace {

using test::ArchiveBuilder;
using test::Bytes;
using Tree = std::vector<std::pair<std::string, std::string>>;

test::RunResult util(const std::vector<std::string>& args)
{
    test::RunOptions options;
    options.binary = test::util_path();
    options.split_stderr = true;
    return test::run_tool(args, options);
}

Tree extracted(const std::vector<std::string>& args, const std::string& out)
{
    std::vector<std::string> all = args;
    all.insert(all.end(), {"-d", out});
    const test::RunResult run = util(all);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    return test::list_tree(out);
}

Bytes with_room(ArchiveBuilder builder)
{
    builder.room = 8192;
    return builder.build().bytes;
}

// The anchor's place after the directory, where the room marker holds.
size_t anchor_at(const Bytes& archive)
{
    return tavmerk::header_size + tavmerk::directory_size(archive.data()) + tavmerk::room_marker_size;
}

// In-process log of an archive held in memory: status and text.
std::pair<int, std::string> log_of(const Bytes& archive)
{
    tavmerk::ArchiveBytes bytes;
    bytes.data = archive.data();
    bytes.size = archive.size();
    bytes.name = "archive";
    bytes.read_at = [&archive](uint64_t offset, uint8_t* dest, size_t size) {
        if (offset > archive.size() || size > archive.size() - offset)
            return false;
        std::memcpy(dest, archive.data() + offset, size);
        return true;
    };
    std::ostringstream out, err;
    tavmerk::UtilConsole console(out, err);
    const int status = tavmerk::show_log(bytes, false, console);
    return {status, out.str()};
}

// An archive with room and five commits of every kind; the tree after
// each, by version id.
struct History {
    test::ScratchDir dir;
    std::string pak = dir / "a.pak";
    std::vector<Tree> trees;

    History()
    {
        ArchiveBuilder b;
        b.folder("t").stored("a", "alpha").compressed("b", test::sample_data(3000, 1, true)).end();
        test::write_file(pak, with_room(b));
        save();
        test::write_file(dir / "new.txt", "new file");
        commit({"add", "--to", "t", pak, dir / "new.txt"});
        commit({"rename", pak, "t/a", "t/sub/a"});
        commit({"mkdir", pak, "t/empty"});
        commit({"remove", pak, "t/b"});
        // A sync from a tree: one changed, one added, one removed.
        const std::string tree = dir / "tree";
        EXPECT_EQ(util({"extract", pak, "-d", tree}).status, 0);
        test::write_file(tree + "/t/new.txt", "changed by sync");
        test::write_file(tree + "/t/more.txt", "added by sync");
        std::remove((tree + "/t/sub/a").c_str());
        commit({"update", "--sync", pak, tree});
    }

    void commit(const std::vector<std::string>& args)
    {
        const test::RunResult run = util(args);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        save();
    }

    void save() { trees.push_back(extracted({"extract", pak}, dir / ("saved" + std::to_string(trees.size())))); }
};

// What diff prints of files between two saved trees (extracted trees
// hold no empty folders), as a sorted list of lines.
std::vector<std::string> expected_diff(const Tree& from, const Tree& to)
{
    const std::map<std::string, std::string> a(from.begin(), from.end()), b(to.begin(), to.end());
    std::vector<std::string> lines;
    for (const auto& [path, contents] : b) {
        const auto was = a.find(path);
        if (path.back() == '/')
            continue;
        if (was == a.end())
            lines.push_back("added " + path);
        else if (was->second != contents)
            lines.push_back("changed " + path);
    }
    for (const auto& [path, contents] : a)
        if (path.back() != '/' && b.find(path) == b.end())
            lines.push_back("removed " + path);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The lines of `text` about files, sorted; `folders` counts the others.
std::vector<std::string> file_lines(const std::string& text, size_t& folders)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    folders = 0;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '/')
            ++folders;
        else
            lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(Versions, EveryVersionReadsUndoesAndLogsAsItWasSaved)
{
    History h;
    const test::RunResult log = util({"log", h.pak});
    ASSERT_EQ(log.status, 0) << log.err;
    const std::string expected_summaries[] = {"update --sync: 1 changed, 1 added, 1 removed", "remove: 1 removed",
                                              "mkdir: 1 made", "rename: 1 renamed", "add: 1 added"};
    for (const std::string& s : expected_summaries)
        EXPECT_NE(log.out.find(s), std::string::npos) << log.out;
    EXPECT_NE(log.out.find("5  "), std::string::npos);
    EXPECT_NE(log.out.find("+1 ~1 -1  update --sync"), std::string::npos) << log.out;

    const Bytes before = test::read_bytes(h.pak);
    for (size_t k = 0; k < h.trees.size(); ++k) {
        SCOPED_TRACE("version " + std::to_string(k));
        const std::string id = std::to_string(k), back = "~" + std::to_string(h.trees.size() - 1 - k);
        EXPECT_EQ(extracted({"extract", "--at", id, h.pak}, h.dir / ("at" + id)), h.trees[k]);
        EXPECT_EQ(extracted({"extract", "--at", back, h.pak}, h.dir / ("back" + id)), h.trees[k]);
        EXPECT_EQ(util({"test", "--at", id, h.pak}).status, 0);
        if (k + 1 == h.trees.size())
            continue;  // the version in force: nothing to undo
        // Undone on a copy: one commit back to that tree, itself a version.
        const std::string copy = h.dir / ("undo" + id + ".pak");
        test::write_file(copy, before);
        const test::RunResult undo = util({"undo", "--to", id, copy});
        ASSERT_EQ(undo.status, 0) << undo.err;
        EXPECT_EQ(extracted({"extract", copy}, h.dir / ("undone" + id)), h.trees[k]);
        EXPECT_EQ(util({"test", copy}).status, 0);
        EXPECT_NE(util({"log", copy}).out.find(std::to_string(h.trees.size()) + "  "), std::string::npos);
        // A second undo redoes.
        ASSERT_EQ(util({"undo", copy}).status, 0);
        EXPECT_EQ(extracted({"extract", copy}, h.dir / ("redone" + id)), h.trees.back());
    }
    // Any two versions compared, and a patch between them applied to the
    // older one gives the newer.
    for (size_t j = 0; j < h.trees.size(); ++j) {
        for (size_t k = 0; k < h.trees.size(); ++k) {
            SCOPED_TRACE("diff " + std::to_string(j) + " " + std::to_string(k));
            const test::RunResult diff = util({"diff", h.pak, "--from", std::to_string(j), "--to", std::to_string(k)});
            const std::vector<std::string> expected = expected_diff(h.trees[j], h.trees[k]);
            size_t folders = 0;
            EXPECT_EQ(file_lines(diff.out, folders), expected);
            EXPECT_EQ(diff.status, expected.empty() && folders == 0 ? 0 : 1) << diff.err;
            EXPECT_EQ(folders == 0, j == k || (j >= 3) == (k >= 3)) << diff.out;  // t/empty/ made by version 3
        }
    }
    const std::string patch = h.dir / "1to5.patch", base = h.dir / "base.pak";
    ASSERT_EQ(util({"patch", "make", h.pak, "--from", "1", "--to", "5", patch}).status, 0);
    test::write_file(base, before);
    ASSERT_EQ(util({"undo", "--to", "1", base}).status, 0);
    ASSERT_EQ(util({"patch", "apply", base, patch}).status, 0);
    EXPECT_EQ(extracted({"extract", base}, h.dir / "patched"), h.trees[5]);
    EXPECT_EQ(util({"patch", "apply", base, patch}).status, 2);  // never twice
    EXPECT_EQ(test::read_bytes(h.pak), before);  // reading at a version changes nothing
}

// A version that is not there: every read names it, status 2, nothing
// written, nothing changed.
TEST(Versions, UnknownVersionsAreRefusedByEveryReader)
{
    History h;
    const Bytes before = test::read_bytes(h.pak);
    for (const char* at : {"6", "~6", "99999999999", "x", "~", "-1", "~-1", "1x"}) {
        for (const char* command : {"list", "info", "test", "extract", "undo"}) {
            SCOPED_TRACE(std::string(command) + " " + at);
            const std::string out = h.dir / "out";
            const test::RunResult run =
                std::string(command) == "undo" ? util({command, "--to", at, h.pak})
                : std::string(command) == "extract" ? util({command, "--at", at, h.pak, "-d", out})
                                                    : util({command, "--at", at, h.pak});
            EXPECT_EQ(run.status, 2);
            EXPECT_NE(run.err.find(std::string("version ") + at), std::string::npos) << run.err;
            EXPECT_FALSE(test::exists(out));
        }
    }
    EXPECT_EQ(test::read_bytes(h.pak), before);
}

// Bytes that are, or were, someone's file content are never history; a
// damaged history is reported as far as it reads and never touches the
// version in force.
TEST(Versions, ContentAndDamageNeverPassForHistory)
{
    History h;
    const Bytes real = test::read_bytes(h.pak);
    const size_t anchor = anchor_at(real);
    tavmerk::HistoryAnchor a;
    ASSERT_TRUE(tavmerk::read_history_anchor(real.data() + anchor, a));
    const std::string block(real.begin() + a.newest.offset, real.begin() + a.newest.offset + a.newest.size);
    const std::string marker_and_anchor(real.begin() + anchor - tavmerk::room_marker_size,
                                        real.begin() + anchor + tavmerk::history_anchor_size);

    // Copies of real history stored as files: right after the directory
    // (the first record's data there) and as the last data.
    const std::string payloads[] = {marker_and_anchor + block, block, marker_and_anchor};
    for (const std::string& payload : payloads) {
        SCOPED_TRACE(payload.size());
        ArchiveBuilder b;
        b.folder("t").stored("first", payload).stored("last", payload).end();
        const std::string pak = h.dir / "content.pak";
        test::write_file(pak, b.build().bytes);
        test::RunResult log = util({"log", pak});
        EXPECT_EQ(log.status, 0);
        EXPECT_EQ(log.out.find("\n"), log.out.size() - 1) << log.out;  // the current version alone
        test::write_file(h.dir / "p", payload);
        ASSERT_EQ(util({"add", "--to", "t", pak, h.dir / "p"}).status, 0);
        log = util({"log", pak});
        EXPECT_EQ(log.status, 0);
        EXPECT_EQ(log.out.substr(0, 3), "1  ") << log.out;
        EXPECT_EQ(util({"test", "--at", "0", pak}).status, 0);
        EXPECT_EQ(util({"test", pak}).status, 0);
    }

    // Every byte of the anchor and of the newest block flipped in turn.
    const auto listed = [](const Bytes& archive) {
        tavmerk::ArchiveBytes bytes;
        bytes.data = archive.data();
        bytes.size = archive.size();
        std::ostringstream out, err;
        tavmerk::UtilConsole console(out, err);
        tavmerk::list_records(bytes, false, console);
        return out.str();
    };
    const std::string current = listed(real);
    std::vector<size_t> places;
    for (size_t i = 0; i < tavmerk::history_anchor_size; ++i)
        places.push_back(anchor + i);
    for (size_t i = 0; i < a.newest.size; ++i)
        places.push_back(a.newest.offset + i);
    size_t damaged = 0;
    for (const size_t at : places) {
        Bytes bad = real;
        bad[at] ^= 0x41;
        const auto [status, text] = log_of(bad);
        EXPECT_EQ(listed(bad), current);
        if (status == 1) {
            ++damaged;
            EXPECT_NE(text.find("history damaged before version"), std::string::npos) << text;
        } else {
            // Only a broken magic reads as no history at all.
            EXPECT_EQ(status, 0);
            EXPECT_EQ(text.find("\n"), text.size() - 1) << at << "\n" << text;
            EXPECT_TRUE(at < anchor + 16) << at;
        }
    }
    EXPECT_EQ(damaged, places.size() - 16);
    // A commit on damaged history keeps the version in force and says so.
    Bytes bad = real;
    bad[a.newest.offset + 20] ^= 1;
    const std::string pak = h.dir / "damaged.pak";
    test::write_file(pak, bad);
    ASSERT_EQ(util({"mkdir", pak, "t/after"}).status, 0);
    const test::RunResult log = util({"log", pak});
    EXPECT_EQ(log.status, 1);
    EXPECT_NE(log.out.find("history damaged before version"), std::string::npos) << log.out;
    EXPECT_EQ(util({"test", pak}).status, 0);
}

// "/P" writes its own bytes and nothing else: the history ends there,
// said so, never misread; later commits start it again.
TEST(Versions, RepackEndsTheHistory)
{
    History h;
    const std::string tree = h.dir / "expanded";
    ASSERT_EQ(test::run_tool({"/E", h.pak, tree}).status, 0);
    test::write_file(tree + "/t/new.txt", "chang by /P");  // same length: the directory keeps its size
    ASSERT_EQ(test::run_tool({"/P", h.pak, tree}).status, 0);
    test::RunResult log = util({"log", h.pak});
    EXPECT_EQ(log.status, 0);
    EXPECT_EQ(log.out.substr(0, 3), "0  ") << log.out;
    EXPECT_NE(log.out.find("history ends at a repack"), std::string::npos) << log.out;
    EXPECT_EQ(util({"list", "--at", "~1", h.pak}).status, 2);
    ASSERT_EQ(util({"mkdir", h.pak, "t/after"}).status, 0);
    log = util({"log", h.pak});
    EXPECT_EQ(log.out.substr(0, 3), "1  ") << log.out;
    EXPECT_NE(log.out.find("history ends at a repack"), std::string::npos) << log.out;
    ASSERT_EQ(util({"undo", h.pak}).status, 0);
    Tree after_repack = h.trees.back();
    for (auto& [path, contents] : after_repack)
        if (path == "t/new.txt")
            contents = "chang by /P";
    EXPECT_EQ(extracted({"extract", h.pak}, h.dir / "undone"), after_repack);
}

}  // namespace
