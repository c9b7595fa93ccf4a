// tavmerk-util: its pure parts (glob patterns, name escaping) in-process,
// and every command end to end on archives built byte by byte, checking
// standard output and error apart, the exit status and the files on disk.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "fixtures.h"
#include "test_support.h"
#include "archive/path_rules.h"
#include "engine/change_set.h"
#include "engine/path_glob.h"
#include <zlib.h>

namespace test {
namespace {

TEST(UtilGlob, MatchesRawPathBytesLevelByLevel)
{
    const struct {
        const char* pattern;
        const char* path;
        bool match;
    } rows[] = {
        {"docs/a.txt", "docs/a.txt", true},
        {"docs/*.txt", "docs/a.txt", true},
        {"docs/*.txt", "docs/sub/a.txt", false},  // * stays within a level
        {"*", "docs/a.txt", false},
        {"docs/?.txt", "docs/a.txt", true},
        {"docs?a.txt", "docs/a.txt", false},      // ? never matches "/"
        {"docs/[a-c].txt", "docs/b.txt", true},
        {"docs/[!a-c].txt", "docs/b.txt", false},
        {"docs/[^a].txt", "docs/z.txt", true},
        {"docs/[]].txt", "docs/].txt", true},
        {"docs/[ab", "docs/[ab", true},           // unterminated: itself
        {"**/a.txt", "a.txt", true},              // zero levels
        {"**/a.txt", "x/y/z/a.txt", true},
        {"docs/**/a.txt", "docs/a.txt", true},
        {"docs/**/a.txt", "docsx/a.txt", false},
        {"docs/**", "docs/x/y", true},
        {"caf\xE9", "caf\xE9", true},             // bytes, whatever the encoding
        {"*\xE9", "caf\xC3\xA9", false},
        {"a*b*c*d*e*f*g", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(tavmerk::glob_match(row.pattern, row.path), row.match) << row.pattern << " on " << row.path;
}

TEST(UtilNames, EscapedForTextValidForJson)
{
    const struct {
        std::string raw, escaped, utf8;
        bool valid;
        std::string hex;
    } rows[] = {
        {"docs/a b.txt", "docs/a b.txt", "docs/a b.txt", true, "646f63732f6120622e747874"},
        {"a\\b", "a\\\\b", "a\\b", true, "615c62"},
        {"caf\xE9", "caf\\xE9", "caf\xEF\xBF\xBD", false, "636166e9"},
        {"caf\xC3\xA9", "caf\\xC3\\xA9", "caf\xC3\xA9", true, "636166c3a9"},
        {"\x01\x7F", "\\x01\\x7F", "\x01\x7F", true, "017f"},
        {"\xC0\xAF", "\\xC0\\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD", false, "c0af"},  // overlong "/"
        {"\xED\xA0\x80", "\\xED\\xA0\\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", false, "eda080"},  // surrogate
    };
    for (const auto& row : rows) {
        EXPECT_EQ(tavmerk::escape_name(row.raw), row.escaped);
        EXPECT_EQ(tavmerk::to_valid_utf8(row.raw), row.utf8);
        EXPECT_EQ(tavmerk::is_valid_utf8(row.raw), row.valid) << row.escaped;
        EXPECT_EQ(tavmerk::hex_bytes(row.raw), row.hex);
    }
}

const std::string notes = sample_data(3000, 1, true);

// docs/readme.txt (stored), docs/notes.txt (zlib), docs/old.txt (deleted),
// bin/caf\xE9 (not UTF-8), bin/cut\0tail (cut at its NUL); `damage` may
// change the readme's (0) and the notes' (1) records as they are added.
using Damage = std::function<void(int which, Node& record)>;
Bytes archive(const Damage& damage = nullptr, size_t trailing = 0)
{
    ArchiveBuilder b;
    b.folder("docs").stored("readme.txt", "hello\n");
    if (damage)
        damage(0, b.last());
    b.compressed("notes.txt", notes);
    if (damage)
        damage(1, b.last());
    b.deleted("old.txt").end();
    b.folder("bin").stored("caf\xE9", "x").stored(std::string("cut\0tail", 8), "y").end();
    Bytes bytes = b.build().bytes;
    bytes.insert(bytes.end(), trailing, uint8_t('#'));
    return bytes;
}

struct UtilFixture : RepackFixture {
    UtilFixture(const Bytes& bytes = archive()) { write_file(pak, bytes); }

    RunResult util(const std::vector<std::string>& args, RunOptions options = {})
    {
        options.binary = util_path();
        options.split_stderr = true;
#ifndef _WIN32
        options.timeout_seconds = 30;  // a run blocked on a FIFO fails rather than hangs
#endif
        RunResult result = run_tool(args, options);
#ifdef _WIN32
        // Messages reach a Windows console as text, with CR LF line ends.
        result.err.erase(std::remove(result.err.begin(), result.err.end(), '\r'), result.err.end());
#endif
        return result;
    }
};

TEST(UtilList, TextAndJsonLinesInDirectoryOrder)
{
    UtilFixture f;
    const uint32_t data = 40 + get_be32(read_bytes(f.pak), 28);
    const uint32_t notes_size = uint32_t(zlib_compress(notes).size());
    const auto row = [](const char* kind, uint32_t expanded, uint32_t stored, uint32_t offset, const char* path) {
        char line[128];
        std::snprintf(line, sizeof line, "%-7s %10u %10u %10u  %s\n", kind, expanded, stored, offset, path);
        return std::string(line);
    };
    RunResult text = f.util({"list", f.pak});
    EXPECT_EQ(text.out, row("stored", 6, 6, data, "docs/readme.txt") +
                            row("zlib", 3000, notes_size, data + 6, "docs/notes.txt") +
                            row("deleted", 0, 0, 0, "docs/old.txt") +
                            row("stored", 1, 1, data + 6 + notes_size, "bin/caf\\xE9") +
                            row("stored", 1, 1, data + 7 + notes_size, "bin/cut"));
    EXPECT_EQ(text.err, "");
    EXPECT_EQ(text.status, 0);

    RunResult json = f.util({"list", "--json", f.pak});
    const std::string offset = std::to_string(data + 6 + notes_size);
    EXPECT_EQ(json.out.substr(0, json.out.find('\n') + 1),
              "{\"path\":\"docs/readme.txt\",\"kind\":\"stored\",\"expanded_size\":6,\"stored_size\":6,\"data_offset\":" +
                  std::to_string(data) + ",\"checksum\":" + std::to_string(reference_additive("hello\n")) + "}\n");
    EXPECT_NE(json.out.find("{\"path\":\"bin/caf\xEF\xBF\xBD\",\"path_hex\":\"62696e2f636166e9\",\"kind\":\"stored\","
                            "\"expanded_size\":1,\"stored_size\":1,\"data_offset\":" + offset + ",\"checksum\":120}\n"),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("{\"path\":\"bin/cut\",\"kind\""), std::string::npos);
    EXPECT_EQ(json.status, 0);
}

TEST(UtilList, DamagedDirectoriesEndWithStatusTwo)
{
    ArchiveBuilder bad_id;
    bad_id.folder("a").stored("x", "1").folder("b").stored("y", "2").end();
    bad_id.last().id_or_tag = 7;
    ArchiveBuilder past_end;
    past_end.folder("a").stored("x", "1");
    past_end.directory_size = 100000;
    const struct {
        Bytes bytes;
        std::string out, err;
    } rows[] = {
        {bad_id.build().bytes, "stored           1          1        136  a/x\n",
         ": bad folder id in the directory\n"},
        {past_end.build().bytes, "", ": damaged directory\n"},
    };
    for (const auto& row : rows) {
        UtilFixture f(row.bytes);
        for (const char* command : {"list", "info", "test"}) {
            RunResult r = f.util({command, f.pak});
            EXPECT_EQ(r.out, std::string(command) == "list" ? row.out : "") << command;
            EXPECT_NE(r.err.find(row.err), std::string::npos) << command << r.err;
            EXPECT_EQ(r.status, 2) << command;
        }
    }
}

TEST(UtilInfo, CountsSizesAndReclaimableBytes)
{
    UtilFixture f(archive(nullptr, 10));
    const Bytes bytes = read_bytes(f.pak);
    const size_t stored = 6 + zlib_compress(notes).size() + 2;
    RunResult r = f.util({"info", f.pak});
    EXPECT_EQ(r.out, "records: 5\nlive_records: 4\ndeleted_records: 1\nfolders: 2\nexpanded_size: 3008\n"
                     "stored_size: " + std::to_string(stored) + "\ndirectory_size: " +
                         std::to_string(get_be32(bytes, 28)) + "\ndirectory_room: 0\nfile_size: " + std::to_string(bytes.size()) +
                         "\nversions: 1\nhistory_bytes: 0\nreclaimable: 10\n");
    EXPECT_EQ(r.status, 0);
}

TEST(UtilTest, OneLinePerProblemInDirectoryOrder)
{
    const std::string stream = zlib_compress(notes);
    const struct {
        const char* name;
        Damage damage;
        bool bad_crc;
        std::string out, err;
        int status;
    } rows[] = {
        {"sound", nullptr, false, "", "4 records tested, 0 problems\n", 0},
        {"bad crc", nullptr, true, "<directory>: bad directory_crc\n", "4 records tested, 1 problems\n", 1},
        {"bad checksum and outside", [](int which, Node& n) {
             if (which == 0)
                 n.checksum = 1;
             else
                 n.data_offset = 1u << 30;
         }, false,
         "docs/readme.txt: bad record checksum\ndocs/notes.txt: data outside the file\n",
         "4 records tested, 2 problems\n", 1},
        {"bad stream", [](int which, Node& n) {
             if (which == 1)
                 n.stored_bytes = "not a zlib stream";
         }, false,
         "docs/notes.txt: bad zlib stream (zlib result -3)\n", "4 records tested, 1 problems\n", 1},
        {"short stream", [](int which, Node& n) {
             if (which == 1)
                 n.expanded_size = 3001;
         }, false,
         "docs/notes.txt: zlib stream inflates to 3000 bytes, not 3001\n", "4 records tested, 1 problems\n", 1},
        {"trailing bytes", [&](int which, Node& n) {
             if (which == 1)
                 n.stored_bytes = stream + "JUNK";
         }, false, "",
         "tavmerk-util: warning: docs/notes.txt: 4 bytes after the end of its zlib stream\n"
         "4 records tested, 0 problems\n",
         0},
    };
    for (const auto& row : rows) {
        Bytes bytes = archive(row.damage);
        if (row.bad_crc)
            bytes[39] ^= 1;
        UtilFixture f(bytes);
        RunResult r = f.util({"test", f.pak});
        EXPECT_EQ(r.out, row.out) << row.name;
        EXPECT_EQ(r.err, row.err) << row.name;
        EXPECT_EQ(r.status, row.status) << row.name;
    }
}

TEST(UtilTest, ComparesWithTree)
{
    UtilFixture f;
    f.source("docs/readme.txt", "hello\n");
    f.source("docs/notes.txt", notes + "!");
    make_dirs(f.src + sep + native("bin/cut"));
    RunResult r = f.util({"test", f.pak, f.src});
    EXPECT_EQ(r.out, "docs/notes.txt: differs from the tree\nbin/caf\\xE9: missing from the tree\n"
                     "bin/cut: not a regular file in the tree\n");
    EXPECT_EQ(r.status, 1);

    // Files are found where an expansion writes them: empty and "." levels
    // (a root folder with an empty name among them) name the folder they
    // stand in.
    ArchiveBuilder odd;
    odd.folder("").folder(".").stored("x", "1").end().folder("s").folder("").compressed("y", notes).end().end().end();
    write_file(f.pak, odd.build().bytes);
    const std::string tree = f.dir / "odd";
    ASSERT_EQ(f.expand_to(tree).status, 0);
    r = f.util({"test", f.pak, tree});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "2 records tested, 0 problems\n");
    EXPECT_EQ(r.status, 0);
}

TEST(UtilUpdate, AppendsOnlyWhatChanged)
{
    UtilFixture f;
    f.expand_to(f.src);
    const Bytes before = read_bytes(f.pak);

    RunResult unchanged = f.util({"update", f.pak, f.src});
    EXPECT_EQ(unchanged.out, "");
    EXPECT_EQ(unchanged.err, "0 changed, 4 unchanged, 0 missing\n");
    EXPECT_EQ(unchanged.status, 0);
    EXPECT_EQ(read_bytes(f.pak), before);

    f.source("docs/readme.txt", "hello again\n");
    RunResult dry = f.util({"update", "--dry-run", f.pak, f.src});
    EXPECT_EQ(dry.out, "changed docs/readme.txt\n");
    EXPECT_EQ(dry.err, "1 would change, 3 unchanged, 0 missing\n");
    EXPECT_EQ(dry.status, 0);
    EXPECT_EQ(read_bytes(f.pak), before);

    RunResult real = f.util({"update", "-q", f.pak, f.src});
    EXPECT_EQ(real.out, "changed docs/readme.txt\n");
    EXPECT_EQ(real.err, "");
    EXPECT_EQ(real.status, 0);
    // With no room for its version, the update made room first (the
    // archive compacted, every version kept): the version before is listed.
    const std::string log = f.util({"log", f.pak}).out;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_EQ(log.substr(0, 2), "1 ");
    const std::string again = f.dir / "again";
    f.expand_to(again);
    EXPECT_EQ(read_file(again + sep + native("docs/readme.txt")), "hello again\n");
    EXPECT_EQ(f.util({"test", f.pak, again}).status, 0);

    // A pass that stops after appending: no change reported, none made.
    ArchiveBuilder bad_id;
    bad_id.folder("t").stored("first", "1").folder("bad").end();
    bad_id.last().id_or_tag = 5;
    bad_id.stored("after", "3").end();
    const Bytes stopped = bad_id.build().bytes;
    write_file(f.pak, stopped);
    f.source("t/first", "changed");
    RunResult failed = f.util({"update", "-q", f.pak, f.src});
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.status, 2);
    EXPECT_EQ(read_bytes(f.pak), stopped);
}

// Records past the size handled whole go through test, update and extract
// a piece at a time: a difference in the last byte of the tree's copy is
// seen, an unchanged source is not repacked, a changed one is, and
// --stdout gives their bytes in order.
TEST(UtilLarge, RecordsPastTheSizeHandledWhole)
{
    const std::string large = large_data(size_t(5) << 20, 41), raw = large_data(size_t(9) << 19, 42);
    ArchiveBuilder b;
    b.folder("big").compressed("packed", large).stored("raw", raw).end();
    UtilFixture f(b.build().bytes);
    ASSERT_EQ(f.expand_to(f.src).status, 0);
    EXPECT_EQ(f.util({"test", f.pak, f.src}).out, "");
    RunResult unchanged = f.util({"update", f.pak, f.src});
    EXPECT_EQ(unchanged.err, "0 changed, 2 unchanged, 0 missing\n");

    std::string edited = large;
    edited.back() ^= 1;
    f.source("big/packed", edited);
    RunResult tested = f.util({"test", f.pak, f.src});
    EXPECT_EQ(tested.out, "big/packed: differs from the tree\n");
    EXPECT_EQ(tested.status, 1);
    RunResult changed = f.util({"update", f.pak, f.src});
    EXPECT_EQ(changed.out, "changed big/packed\n");
    EXPECT_EQ(changed.err, "1 changed, 1 unchanged, 0 missing\n");
    EXPECT_EQ(f.util({"test", f.pak, f.src}).status, 0);
    RunResult out = f.util({"extract", f.pak, "--stdout"});
    EXPECT_TRUE(out.out == edited + raw);
    EXPECT_EQ(out.status, 0);
}

TEST(UtilExtract, PatternsExistingFilesAndStdout)
{
    using Tree = std::vector<std::pair<std::string, std::string>>;
    const struct {
        std::vector<std::string> args;
        std::string out, err;
        int status;
        Tree tree;  // under "out", which holds docs/readme.txt "old" first
        Damage damage = nullptr;
    } rows[] = {
        {{"docs/*.txt"}, "", "tavmerk-util: docs/readme.txt: exists, left as it was\nextracted: 1\n", 1,
         {{"docs/", ""}, {"docs/notes.txt", notes}, {"docs/readme.txt", "old"}}},
        {{"--skip-existing", "**/cut", "docs/*"}, "", "extracted: 2\n", 0,
         {{"bin/", ""}, {"bin/cut", "y"}, {"docs/", ""}, {"docs/notes.txt", notes}, {"docs/readme.txt", "old"}}},
        {{"--stdout", "bin/*", "docs/readme.txt"}, "hello\nxy", "extracted: 3\n", 0,
         {{"docs/", ""}, {"docs/readme.txt", "old"}}},
        {{"-q", "nothing/*", "bin/c[t-v]t"}, "", "tavmerk-util: nothing/*: matched nothing\n", 1,
         {{"bin/", ""}, {"bin/cut", "y"}, {"docs/", ""}, {"docs/readme.txt", "old"}}},
        {{"--overwrite", "docs/readme.txt"}, "", "extracted: 1\n", 0,
         {{"docs/", ""}, {"docs/readme.txt", "hello\n"}}},
        // A stream that ends early is a problem, its file written as "/E" writes it.
        {{"docs/notes.txt"}, "", "tavmerk-util: docs/notes.txt: zlib stream inflates to 3000 bytes, not 3001\n"
         "extracted: 1\n", 1, {{"docs/", ""}, {"docs/notes.txt", notes}, {"docs/readme.txt", "old"}},
         [](int which, Node& n) {
             if (which == 1)
                 n.expanded_size = 3001;
         }},
    };
    for (const auto& row : rows) {
        UtilFixture f(archive(row.damage));
        f.source("docs/readme.txt", "old");
        std::vector<std::string> args = {"extract", f.pak};
        args.insert(args.end(), row.args.begin(), row.args.end());
        if (row.args[0] != "--stdout")
            args.insert(args.end(), {"-d", f.src});
        RunResult r = f.util(args);
        EXPECT_EQ(r.out, row.out) << row.args[0];
        EXPECT_EQ(r.err, row.err) << row.args[0];
        EXPECT_EQ(r.status, row.status) << row.args[0];
        EXPECT_EQ(list_tree(f.src), row.tree) << row.args[0];
    }
}

TEST(UtilUsage, BadCommandLinesAndArchivesExitTwo)
{
    UtilFixture f;
    make_dirs(f.src);
    const std::string missing = f.dir / "missing.pak";
    struct Row {
        std::vector<std::string> args;
        std::string err;  // part of the message, with the system's reason
    };
    std::vector<Row> rows = {
        {{}, ""},
        {{"bogus"}, ""},
        {{"list"}, ""},
        {{"list", "--nope", f.pak}, ""},
        {{"update", f.pak}, ""},
        {{"extract", f.pak, "--stdout", "-d", f.src}, ""},
        {{"extract", f.pak, "--skip-existing", "--overwrite"}, ""},
        {{"list", missing}, ": cannot open: "},
        {{"extract", missing, "--stdout"}, ": cannot open: "},
        {{"update", f.pak, f.dir / "no-tree"}, ": cannot open the folder: "},
        {{"diff", f.pak}, ""},
        {{"patch", f.pak}, ""},
        {{"patch", "make", f.pak, f.pak}, ""},
        {{"diff", f.pak, missing}, ": cannot open: "},
        {{"patch", "apply", f.pak, missing}, ": cannot open: "},
        {{"patch", "apply", f.pak, f.pak}, "the patch is the archive itself"},
        {{"patch", "make", f.pak, f.pak, f.pak}, "a.pak: already exists"},
    };
#ifndef _WIN32
    rows.push_back({{"list", missing}, "missing.pak: cannot open: No such file or directory\n"});
    // A FIFO or a device is refused at once: a FIFO would block until a
    // writer came along.
    const std::string fifo = f.dir / "fifo.pak";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& pak : {fifo, std::string("/dev/null")}) {
        const std::string err = "tavmerk-util: " + pak + ": not a regular file\n";
        for (std::vector<std::string> args : {std::vector<std::string>{"list"}, {"info"}, {"test"},
                                              {"extract", "--stdout"}, {"compact"}, {"update"},
                                              {"update", "--dry-run"}}) {
            args.insert(args.begin() + 1, pak);
            if (args[0] == "update")
                args.push_back(f.src);
            rows.push_back({args, err});
        }
    }
#endif
    for (const auto& row : rows) {
        RunResult r = f.util(row.args);
        const std::string what = row.args.empty() ? "" : row.args[0] + " " + row.args.back();
        EXPECT_EQ(r.status, 2) << what << " " << r.err;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_NE(r.err, "") << what;
        EXPECT_NE(r.err.find(row.err), std::string::npos) << what << ": " << r.err;
    }
    RunResult help = f.util({"extract", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status:\n  0  all well"), std::string::npos);
    RunResult version = f.util({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("tavmerk-util ", 0), 0u);
    EXPECT_NE(version.out.find("\nzlib: "), std::string::npos);
}

// Five commits to an archive with no room, the first writing it anew:
// every version reads back as the tree it had, before and after a
// compaction that keeps them all, each byte versions share copied once.
// Keeping two versions drops the older ones' data but not their lines in
// `log`; keeping one writes what compaction of the archive without its
// history writes, byte for byte. The first change undone gives back the
// original tree.
TEST(UtilCompact, KeepsEveryVersionsTree)
{
    UtilFixture f;
    const auto tree_at = [&](const std::string& pak, const std::string& at) {
        const std::string out = f.dir / ("at" + at);
        remove_tree(out);
        std::vector<std::string> args = {"extract", pak, "-d", out};
        if (!at.empty())
            args.insert(args.begin() + 1, {"--at", at});
        const RunResult r = f.util(args);
        EXPECT_EQ(r.status, 0) << at << r.err;
        return list_tree(out);
    };
    write_file(f.dir / "x1", "one\n");
    write_file(f.dir / "x2", std::string(5000, 'z'));
    const std::vector<std::vector<std::string>> commits = {
        {"add", f.pak, f.dir / "x1", "--to", "docs"},
        {"add", f.pak, f.dir / "x2", "--to", "bin"},
        {"remove", f.pak, "docs/readme.txt"},
        {"rename", f.pak, "docs/x1", "bin/x3"},
        {"mkdir", f.pak, "new/empty"},
    };
    std::vector<std::vector<std::pair<std::string, std::string>>> saved = {tree_at(f.pak, "")};
    const Bytes original = read_bytes(f.pak);
    for (const auto& args : commits) {
        ASSERT_EQ(f.util(args).status, 0) << args[0];
        saved.push_back(tree_at(f.pak, ""));
        if (saved.size() == 2) {  // the first change, undone on a copy
            const std::string copy = f.dir / "undone.pak";
            write_file(copy, read_bytes(f.pak));
            EXPECT_EQ(f.util({"undo", copy}).status, 0);
            EXPECT_EQ(tree_at(copy, ""), saved[0]);
            EXPECT_EQ(f.util({"log", copy}).out.substr(0, 2), "2 ");
        }
    }
    EXPECT_NE(read_bytes(f.pak).size(), original.size());
    const auto every_version_reads_back = [&](const std::string& pak) {
        for (size_t k = 0; k < saved.size(); ++k)
            EXPECT_EQ(tree_at(pak, std::to_string(k)), saved[k]) << pak << " at " << k;
    };
    every_version_reads_back(f.pak);

    const Bytes before = read_bytes(f.pak);
    RunResult all = f.util({"compact", f.pak});
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out.substr(0, all.out.find('\n')), "kept 6 versions");
    const Bytes compacted = read_bytes(f.pak);
    EXPECT_EQ(all.out, "kept 6 versions\nreclaimed " + std::to_string(before.size() - compacted.size()) + " bytes\n");
    every_version_reads_back(f.pak);
    // Directory, room, each byte some version's record uses once, blocks.
    std::map<uint64_t, uint64_t> ranges;  // start -> end, merged below
    for (size_t k = 0; k < saved.size(); ++k) {
        std::istringstream lines(f.util({"list", "--at", std::to_string(k), f.pak}).out);
        std::string kind, path;
        uint64_t expanded, stored, offset;
        while (lines >> kind >> expanded >> stored >> offset >> path)
            if (kind != "deleted" && stored > 0)
                ranges[offset] = std::max(ranges[offset], offset + stored);
    }
    uint64_t distinct = 0, reach = 0;
    for (const auto& [start, end] : ranges) {
        distinct += end > std::max(start, reach) ? end - std::max(start, reach) : 0;
        reach = std::max(reach, end);
    }
    std::map<std::string, uint64_t> info;
    std::istringstream info_lines(f.util({"info", f.pak}).out);
    for (std::string key, value; info_lines >> key >> value;)
        info[key.substr(0, key.size() - 1)] = std::stoull(value);
    EXPECT_EQ(info["versions"], 6u);
    EXPECT_EQ(info["reclaimable"], 0u);
    EXPECT_EQ(compacted.size(), 40 + info["directory_size"] + info["directory_room"] + distinct + info["history_bytes"]);
    EXPECT_LT(distinct, uint64_t(5000) * 3);  // x2's data is in four versions, copied once

    const std::string two = f.dir / "two.pak";
    EXPECT_EQ(f.util({"compact", "--keep", "2", f.pak, "-o", two}).out.substr(0, 16), "kept 2 versions\n");
    EXPECT_EQ(tree_at(two, "4"), saved[4]);
    const RunResult dropped = f.util({"extract", "--at", "3", two, "-d", f.dir / "dropped"});
    EXPECT_EQ(dropped.status, 2);
    EXPECT_NE(dropped.err.find("version 3: its data was dropped"), std::string::npos) << dropped.err;
    const std::string log = f.util({"log", two}).out;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 6);
    EXPECT_EQ(log.find("(data dropped)"), log.find("\n3 ") + log.substr(log.find("\n3 ")).find("(data dropped)"));
    EXPECT_EQ(log.substr(0, log.find("\n3 ")).find("(data dropped)"), std::string::npos);

    // Without its anchor the archive has no history: what compaction
    // writes of it is what keeping one version writes.
    const std::string one = f.dir / "one.pak", bare = f.dir / "bare.pak", bare_out = f.dir / "bare-out.pak";
    Bytes unanchored = compacted;
    const size_t anchor_at = 40 + get_be32(compacted, 28) + 28;
    std::fill(unanchored.begin() + long(anchor_at), unanchored.begin() + long(anchor_at + 44), 0);
    write_file(bare, unanchored);
    EXPECT_EQ(f.util({"compact", "--keep", "1", f.pak, "-o", one}).out.substr(0, 15), "kept 1 version\n");
    EXPECT_EQ(f.util({"compact", bare, "-o", bare_out}).out.substr(0, 15), "kept 1 version\n");
    EXPECT_EQ(read_bytes(one), read_bytes(bare_out));
    EXPECT_EQ(tree_at(one, ""), saved.back());
    EXPECT_EQ(f.util({"log", one}).out.find('\n'), f.util({"log", one}).out.size() - 1);
}

// Three repacks leave three copies of every file's data; compaction keeps
// one, in directory order: exactly the archive as first built, which
// expands to the same lines and files. -o leaves the original as it was;
// in place leaves nothing beside it.
TEST(UtilCompact, KeepsOneCopyOfEachRecordsData)
{
    UtilFixture f;
    ASSERT_EQ(f.expand_to(f.src).status, 0);
    for (int pass = 0; pass < 3; ++pass)
        ASSERT_EQ(f.repack().status, 0);
    const Bytes grown = read_bytes(f.pak);
    const std::string copy = f.dir / "copy.pak";
    RunResult to_new = f.util({"compact", f.pak, "-o", copy});
    EXPECT_EQ(to_new.out, "kept 1 version\nreclaimed " + std::to_string(grown.size() - archive().size()) + " bytes\n");
    EXPECT_EQ(to_new.status, 0);
    EXPECT_EQ(read_bytes(f.pak), grown);
    EXPECT_EQ(read_bytes(copy), archive());
    EXPECT_EQ(f.util({"compact", f.pak, "-o", copy}).status, 2);  // never over an existing file

    EXPECT_EQ(f.util({"compact", f.pak}).status, 0);
    EXPECT_EQ(read_bytes(f.pak), archive());
    const auto lines = [&](const std::string& out) {
        std::string text = f.expand_to(f.dir / out).out;
        for (size_t at; (at = text.find(f.dir / out)) != std::string::npos;)
            text.replace(at, (f.dir / out).size(), "ROOT");
        return text;
    };
    write_file(f.pak, grown);
    const std::string before = lines("before");
    EXPECT_EQ(f.util({"compact", f.pak}).status, 0);
    EXPECT_EQ(lines("after"), before);
    EXPECT_EQ(list_tree(f.dir / "after"), list_tree(f.dir / "before"));
    std::vector<std::string> beside;
    for (const auto& entry : list_tree(f.dir.path()))
        if (entry.first.find('/') == std::string::npos)
            beside.push_back(entry.first);
    EXPECT_EQ(beside, (std::vector<std::string>{"a.pak", "copy.pak"}));
#ifndef _WIN32
    // Through a link: the link stays, its target is compacted and keeps
    // its permission bits.
    write_file(f.pak, grown);
    ASSERT_EQ(chmod(f.pak.c_str(), 0640), 0);
    const std::string link = f.dir / "link.pak";
    ASSERT_EQ(symlink("a.pak", link.c_str()), 0);
    EXPECT_EQ(f.util({"compact", link}).status, 0);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(f.pak.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_bytes(f.pak), archive());
    remove(link.c_str());
#endif

    // Data outside the file: refused, untouched.
    const Bytes outside = archive([](int which, Node& record) {
        if (which == 0)
            record.data_offset = 999999;
    });
    write_file(f.pak, outside);
    RunResult refused = f.util({"compact", f.pak});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("docs/readme.txt: data outside the file"), std::string::npos);
    EXPECT_EQ(read_bytes(f.pak), outside);
}


// Kind and path of each record, as list shows them, one a line.
std::string kinds_and_paths(UtilFixture& f, const std::string& pak)
{
    std::string out, kind, expanded, stored, offset, path;
    std::istringstream lines(f.util({"list", pak}).out);
    while (lines >> kind >> expanded >> stored >> offset >> path)
        out += kind + " " + path + "\n";
    return out;
}

// Each structural command on the archive above: its lines, its status, the
// records it leaves (in directory order), and an archive byte for byte as
// it was when it refuses.
TEST(UtilStructure, EachCommandIsOneCommitOfWhatItPrints)
{
    const std::string before = "stored docs/readme.txt\nzlib docs/notes.txt\ndeleted docs/old.txt\n"
                               "stored bin/caf\\xE9\nstored bin/cut\n";
    const struct {
        std::vector<std::string> args;  // after the command name and the archive
        const char* out;
        const char* err;  // a part of standard error
        int status;
        const char* records;  // nullptr: as before
    } rows[] = {
        {{"add", "--to", "docs", "@new.txt"}, "added docs/new.txt\n", "", 0,
         "stored docs/readme.txt\nzlib docs/notes.txt\ndeleted docs/old.txt\nstored docs/new.txt\n"
         "stored bin/caf\\xE9\nstored bin/cut\n"},
        {{"add", "--to", "docs", "--dry-run", "@new.txt"}, "added docs/new.txt\n", "", 0, nullptr},
        {{"add", "@new.txt"}, "", "several top-level folders", 2, nullptr},
        {{"add", "--to", "bin", "@big.txt", "@tree"}, "added bin/big.txt\nmade bin/tree\nmade bin/tree/a\n"
         "added bin/tree/a/b.txt\nadded bin/tree/a/notes.txt\n", "", 0,
         "stored docs/readme.txt\nzlib docs/notes.txt\ndeleted docs/old.txt\nstored bin/caf\\xE9\nstored bin/cut\n"
         "zlib bin/big.txt\nstored bin/tree/a/b.txt\nstored bin/tree/a/notes.txt\n"},
        {{"add", "--to", "bin", "--store", "@big.txt"}, "added bin/big.txt\n", "", 0,
         "stored docs/readme.txt\nzlib docs/notes.txt\ndeleted docs/old.txt\nstored bin/caf\\xE9\nstored bin/cut\n"
         "stored bin/big.txt\n"},
        {{"add", "--to", "docs", "@tree/a/notes.txt"}, "replaced docs/notes.txt\n", "", 0, nullptr},
        {{"add", "--to", "docs", "@missing"}, "", "missing: cannot open", 2, nullptr},
#ifdef __linux__
        // Said to be 0 bytes long, and yet bytes come: nothing is added.
        {{"add", "--to", "docs", "/proc/version"}, "",
         "tavmerk-util: /proc/version: changed while it was read; nothing changed\n", 2, nullptr},
#endif
        // A path the same commit added already: one entry, its last content.
        {{"add", "--to", "docs", "@tree/a/b.txt", "@b.txt"}, "added docs/b.txt\nreplaced docs/b.txt\n", "", 0,
         "stored docs/readme.txt\nzlib docs/notes.txt\ndeleted docs/old.txt\nstored docs/b.txt\n"
         "stored bin/caf\\xE9\nstored bin/cut\n"},
        {{"add", "--to", "docs/readme.txt", "@new.txt"}, "", "refused", 2, nullptr},
        {{"remove", "docs/notes.txt"}, "removed docs/notes.txt\n", "", 0,
         "stored docs/readme.txt\ndeleted docs/notes.txt\ndeleted docs/old.txt\nstored bin/caf\\xE9\nstored bin/cut\n"},
        // --drop takes out a matching entry already marked deleted too.
        {{"remove", "--drop", "docs/*.txt"}, "removed docs/readme.txt\nremoved docs/notes.txt\nremoved docs/old.txt\n",
         "", 0, "stored bin/caf\\xE9\nstored bin/cut\n"},
        {{"remove", "--drop", "docs/old.txt"}, "removed docs/old.txt\n", "", 0,
         "stored docs/readme.txt\nzlib docs/notes.txt\nstored bin/caf\\xE9\nstored bin/cut\n"},
        {{"remove", "docs/old.txt"}, "", "docs/old.txt: matched nothing", 2, nullptr},
        // Patterns that overlap: each entry removed once.
        {{"remove", "*", "docs/notes.txt", "docs/*"},
         "removed docs/readme.txt\nremoved docs/notes.txt\nremoved bin/caf\\xE9\nremoved bin/cut\n", "", 0,
         "deleted docs/readme.txt\ndeleted docs/notes.txt\ndeleted docs/old.txt\ndeleted bin/caf\\xE9\n"
         "deleted bin/cut\n"},
        {{"remove", "--drop", "docs", "docs/notes.txt"}, "removed docs/readme.txt\nremoved docs/notes.txt\nremoved docs/\n",
         "", 0, "stored bin/caf\\xE9\nstored bin/cut\n"},
        {{"remove", "docs"}, "removed docs/readme.txt\nremoved docs/notes.txt\n", "", 0,
         "deleted docs/readme.txt\ndeleted docs/notes.txt\ndeleted docs/old.txt\nstored bin/caf\\xE9\n"
         "stored bin/cut\n"},
        {{"remove", "docs/readme.txt", "nothing/here"}, "", "nothing/here: matched nothing", 2, nullptr},
        {{"rename", "docs/readme.txt", "docs/read.me"}, "renamed docs/readme.txt -> docs/read.me\n", "", 0,
         "stored docs/read.me\nzlib docs/notes.txt\ndeleted docs/old.txt\nstored bin/caf\\xE9\nstored bin/cut\n"},
        {{"rename", "docs/readme.txt", "bin/sub/readme.txt"},
         "made bin/sub\nrenamed docs/readme.txt -> bin/sub/readme.txt\n", "", 0,
         "zlib docs/notes.txt\ndeleted docs/old.txt\nstored bin/caf\\xE9\nstored bin/cut\nstored bin/sub/readme.txt\n"},
        // Onto a file: that entry stays where it was, with its method.
        {{"rename", "docs/readme.txt", "docs/notes.txt"}, "renamed docs/readme.txt -> docs/notes.txt\n", "", 0,
         "zlib docs/notes.txt\ndeleted docs/old.txt\nstored bin/caf\\xE9\nstored bin/cut\n"},
        {{"rename", "docs", "bin"}, "", "not empty", 2, nullptr},
        {{"rename", "bin", "other"}, "renamed bin/ -> other/\n", "", 0,
         "stored docs/readme.txt\nzlib docs/notes.txt\ndeleted docs/old.txt\nstored other/caf\\xE9\n"
         "stored other/cut\n"},
        {{"rename", "bin", "docs/bin"}, "renamed bin/ -> docs/bin/\n", "", 0,
         "stored docs/readme.txt\nzlib docs/notes.txt\ndeleted docs/old.txt\nstored docs/bin/caf\\xE9\n"
         "stored docs/bin/cut\n"},
        {{"rename", "docs", "docs/inner"}, "", "refused", 2, nullptr},
        {{"rename", "docs/none", "docs/x"}, "", "no such file", 2, nullptr},
        {{"mkdir", "docs/x/y", "docs"}, "made docs/x\nmade docs/x/y\n", "", 0, nullptr},
        {{"mkdir", "docs/readme.txt/x"}, "", "refused", 2, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args.back());
        UtilFixture f;
        write_file(f.dir / "new.txt", "fresh\n");
        write_file(f.dir / "big.txt", notes);
        make_dirs(f.dir / "tree/a");
        write_file(f.dir / "tree/a/b.txt", "b\n");
        write_file(f.dir / "tree/a/notes.txt", "new notes");
        write_file(f.dir / "b.txt", "other b");
        std::vector<std::string> args{row.args[0], f.pak};
        for (size_t i = 1; i < row.args.size(); ++i)
            args.push_back(row.args[i][0] == '@' ? f.dir / row.args[i].substr(1) : row.args[i]);
        const Bytes old = read_bytes(f.pak);
        const RunResult r = f.util(args);
        EXPECT_EQ(r.out, row.out);
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(kinds_and_paths(f, f.pak), row.records ? row.records : before);
        if (row.status == 2 || row.args[row.args.size() - 2] == "--dry-run") {
            EXPECT_EQ(read_bytes(f.pak), old);
        }
        if (row.status == 0) {
            EXPECT_EQ(f.util({"test", f.pak}).status, 0);
            EXPECT_EQ(f.util({"mkdir", f.pak, "docs/later"}).status, 0);  // a second commit on top
            EXPECT_EQ(kinds_and_paths(f, f.pak), row.records ? row.records : before);
        }
    }
    // Names "/E" would not write back at the same path, on Linux or Windows.
    UtilFixture f;
    const Bytes old = read_bytes(f.pak);
    const std::vector<std::string> refused{"docs//x", "docs/./x", "docs/..", "docs/a\\b", "docs/x ", "docs/x.",
                                           "docs/a:b", "docs/CON", "docs/lpt1.txt", "docs/\x01",
                                           "docs/x/" + std::string(256, 'n')};
    for (const std::string& name : refused) {
        const RunResult r = f.util({"mkdir", f.pak, name});
        EXPECT_EQ(r.status, 2) << name;
        EXPECT_NE(r.err.find("refused"), std::string::npos) << name << r.err;
    }
    EXPECT_EQ(read_bytes(f.pak), old);
    EXPECT_EQ(f.util({"mkdir", f.pak, "docs/" + std::string(255, 'n')}).status, 0);  // as long as a name gets

    // A name with a separator in it makes a folder no entry stands for:
    // no file may be put there.
    ArchiveBuilder b;
    b.folder("docs").stored("x/y", "y").end();
    write_file(f.pak, b.build().bytes);
    write_file(f.dir / "x", "x");
    const RunResult implied = f.util({"add", f.pak, f.dir / "x", "--to", "docs"});
    EXPECT_EQ(implied.status, 2);
    EXPECT_NE(implied.err.find("refused"), std::string::npos) << implied.err;
}

// create is the inverse of "/E": the tree it is made from expands back
// whole, repacks, tests clean, and the same tree always gives the same bytes.
TEST(UtilStructure, CreateAndSyncRoundTrip)
{
    UtilFixture f;
    f.source("top/a.txt", notes);
    f.source("top/raw.bin", sample_data(5000, 3, false));
    f.source("top/empty", "");
    f.source("other/deep/er/x", "x");
    make_dirs(f.src + "/top/nothing");
    const std::string made = f.dir / "made.pak", again = f.dir / "again.pak";
    const std::string lines = "added other/deep/er/x\nadded top/a.txt\nadded top/empty\nadded top/raw.bin\n";
    const RunResult dry = f.util({"create", "--dry-run", made, f.src});
    EXPECT_EQ(dry.out, lines);
    EXPECT_EQ(dry.err, "4 added (dry run: nothing written)\n");
    EXPECT_EQ(dry.status, 0);
    EXPECT_FALSE(exists(made));
    const RunResult r = f.util({"create", made, f.src, "--store", "**/*.txt"});
    EXPECT_EQ(r.out, lines);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(f.util({"create", "--dry-run", made, f.src}).status, 2);  // it would not replace a file
    EXPECT_EQ(kinds_and_paths(f, made), "stored other/deep/er/x\nstored top/a.txt\nstored top/empty\n"
                                        "stored top/raw.bin\n");
    ASSERT_EQ(f.util({"create", again, f.src, "--store", "**/*.txt", "--like", made}).status, 0);
    EXPECT_EQ(read_bytes(again), read_bytes(made));
    EXPECT_EQ(f.util({"create", again, f.src}).status, 2);  // never over a file
    EXPECT_EQ(f.util({"test", made, f.src}).status, 0);
    const std::string out = f.dir / "out";
    ASSERT_EQ(run_tool({"/E", made, out}).status, 0);
    auto tree = list_tree(f.src);
    tree.erase(std::find(tree.begin(), tree.end(), std::make_pair(std::string("top/nothing/"), std::string())));
    EXPECT_EQ(list_tree(out), tree);  // "/E" leaves no empty folder
    EXPECT_EQ(run_tool({"/P", made, out}).status, 0);
    EXPECT_EQ(f.util({"test", made, out}).status, 0);

    // update --sync: one file changed, one added, one gone.
    write_file(out + "/top/a.txt", "changed");
    write_file(out + "/top/new.txt", "new");
    ASSERT_EQ(std::remove((out + "/top/raw.bin").c_str()), 0);
    const RunResult sync = f.util({"update", made, out, "--sync"});
    EXPECT_EQ(sync.out, "changed top/a.txt\nremoved top/raw.bin\nadded top/new.txt\n");
    EXPECT_EQ(sync.status, 0);
    const std::string check = f.dir / "check";
    ASSERT_EQ(run_tool({"/E", made, check}).status, 0);
    EXPECT_EQ(list_tree(check), list_tree(out));

    // A file at the top of the tree has no folder to go in.
    f.source("loose", "x");
    EXPECT_EQ(f.util({"create", f.dir / "third.pak", f.src}).status, 2);
    EXPECT_FALSE(exists(f.dir / "third.pak"));
#ifndef _WIN32
    // A link is left out, and said so.
    ASSERT_EQ(std::remove((f.src + "/loose").c_str()), 0);
    ASSERT_EQ(symlink("a.txt", (f.src + "/top/link").c_str()), 0);
    const RunResult linked = f.util({"create", f.dir / "third.pak", f.src});
    EXPECT_EQ(linked.status, 1);
    EXPECT_NE(linked.err.find("link: a link, left out"), std::string::npos) << linked.err;
#endif
}

// An archive whose docs/a.txt has a second live record after the first
// (the one "/E" writes), synced with trees that lack some of it. A sync
// that would empty a top-level folder, or remove more than --max-remove,
// writes nothing; one that commits leaves what a second sync of the same
// tree finds nothing to change in.
TEST(UtilStructure, SyncRemovesOnlyWhatTheTreeLacks)
{
    ArchiveBuilder b;
    b.folder("docs").stored("a.txt", "a").stored("a.txt", "shadowed").stored("b.txt", "b").end();
    b.folder("bin").stored("x", "x").stored("y", "y").end();
    const Bytes built = b.build().bytes;
    const std::string before = "stored docs/a.txt\nstored docs/a.txt\nstored docs/b.txt\nstored bin/x\nstored bin/y\n";
    const struct {
        const char* name;
        std::vector<std::string> tree;  // of docs/a.txt, docs/b.txt, bin/x, bin/y
        std::vector<std::string> options;
        const char* out;
        const char* err;  // a part of standard error
        int status;
        const char* records;  // nullptr: as before
    } rows[] = {
        {"whole", {"docs/a.txt", "docs/b.txt", "bin/x", "bin/y"}, {}, "", "nothing to change", 0, nullptr},
        {"one gone", {"docs/b.txt", "bin/x", "bin/y"}, {}, "removed docs/a.txt\nremoved docs/a.txt\n", "", 0,
         "deleted docs/a.txt\ndeleted docs/a.txt\nstored docs/b.txt\nstored bin/x\nstored bin/y\n"},
        {"empty", {}, {}, "", "would remove 5 records", 2, nullptr},
        {"empty, dry run", {}, {"--dry-run"}, "", "would remove 5 records", 2, nullptr},
        {"no bin", {"docs/a.txt", "docs/b.txt"}, {}, "", "would remove 2 records", 2, nullptr},
        {"no bin, forced", {"docs/a.txt", "docs/b.txt"}, {"--force"}, "removed bin/x\nremoved bin/y\n", "", 0,
         "stored docs/a.txt\nstored docs/a.txt\nstored docs/b.txt\ndeleted bin/x\ndeleted bin/y\n"},
        {"over the cap", {"docs/a.txt", "bin/x"}, {"--max-remove", "1"}, "", "would remove 2 records", 2, nullptr},
        {"at the cap", {"docs/a.txt", "bin/x"}, {"--max-remove", "2"}, "removed docs/b.txt\nremoved bin/y\n", "", 0,
         "stored docs/a.txt\nstored docs/a.txt\ndeleted docs/b.txt\nstored bin/x\ndeleted bin/y\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        UtilFixture f(built);
        make_dirs(f.src);
        for (const std::string& path : row.tree)
            f.source(path, path.substr(path.find('/') + 1, 1));  // as built
        std::vector<std::string> args{"update", f.pak, f.src, "--sync"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        const RunResult r = f.util(args);
        EXPECT_EQ(r.out, row.out);
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
        EXPECT_EQ(r.status, row.status);
        if (row.status == 2) {
            EXPECT_EQ(read_bytes(f.pak), built);
        }
        EXPECT_EQ(kinds_and_paths(f, f.pak), row.records ? row.records : before);
        if (row.status != 0)
            continue;
        args.erase(args.begin() + 4, args.end());
        args.push_back("--force");
        const Bytes synced = read_bytes(f.pak);
        const RunResult again = f.util(args);
        EXPECT_EQ(again.out, "");
        EXPECT_EQ(again.err, "nothing to change\n");
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(read_bytes(f.pak), synced);
    }
    // remove, too, takes every live record at the path it names.
    UtilFixture f(built);
    const RunResult removed = f.util({"remove", f.pak, "docs/a.txt"});
    EXPECT_EQ(removed.out, "removed docs/a.txt\nremoved docs/a.txt\n");
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(kinds_and_paths(f, f.pak),
              "deleted docs/a.txt\ndeleted docs/a.txt\nstored docs/b.txt\nstored bin/x\nstored bin/y\n");
}

// A stored file is read twice, to choose its method and to append it: one
// that grew or shrank in between fails the commit, which names it.
TEST(UtilStructure, FileChangedWhileReadIsNamed)
{
    for (const std::string change : {"grown", ""}) {
        SCOPED_TRACE(change.empty() ? "shrunk" : "grown");
        UtilFixture f;
        const std::string one = f.dir / "one.bin", two = f.dir / "two.bin";
        write_file(one, "first");
        write_file(two, "second");
        tavmerk::ChangeSet changes;
        changes.put("docs/one.bin", tavmerk::Content::of_file(one), tavmerk::Storage::store);
        changes.put("docs/two.bin", tavmerk::Content::of_file(two), tavmerk::Storage::store);
        tavmerk::CommitOptions options;
        options.progress = [&](uint64_t, uint64_t records) {
            if (records == 1)  // one.bin is appended, two.bin not yet
                write_file(two, change.empty() ? "sec" : "second, " + change);
            return true;
        };
        const Bytes old = read_bytes(f.pak);
        const tavmerk::ChangeResult result = tavmerk::commit_changes(f.pak, changes, options);
        EXPECT_EQ(result.status, tavmerk::ChangeStatus::read_failed);
        EXPECT_EQ(result.error, tavmerk::platform::changed_while_read);
        EXPECT_EQ(result.failed_change, 1u);
        EXPECT_EQ(read_bytes(f.pak), old);
    }
}

// A commit in place writes the directory over the bytes before the first
// data, and grows into room only where no record points: never over data
// that lies inside the directory block (past its last folder) or right
// after it, even where that data looks like a room marker.
TEST(UtilStructure, DirectoryWrittenInPlaceLeavesEveryRecordsData)
{
    const std::string bb = "bb data\n", c = sample_data(90, 8, true);
    const auto build = [&](const std::string& first) {
        ArchiveBuilder b;
        b.folder("docs").stored("a.txt", first).stored("bb.txt", bb).stored("c.txt", c).end();
        return b;
    };
    // docs/a.txt's data starts with a room marker that holds for the
    // directory, its room ending with that data.
    const uint32_t size = get_be32(build(std::string(100, 'a')).build().bytes, 28);
    Bytes marker(28);
    const std::string name = "TAVMERK-DIR-ROOM";
    std::copy(name.begin(), name.end(), marker.begin());
    put_be32(marker, 16, 40 + size + 100);
    put_be32(marker, 20, size);
    put_be32(marker, 24, reference_crc32(marker.data(), 24));
    const std::string a = std::string(marker.begin(), marker.end()) + sample_data(72, 7, false);
    // That data right after the directory block, or at the end of the
    // block itself (`tail`: past its last folder).
    const auto layout = [&](bool tail) {
        ArchiveBuilder b = build(a);
        if (!tail)
            return b.build().bytes;
        b.directory_size = size + uint32_t(a.size());
        Bytes bytes = b.build().bytes;
        put_be32(bytes, 36, reference_crc32(bytes.data() + 40, size + a.size()));
        return bytes;
    };
    const struct {
        bool tail;
        std::vector<std::vector<std::string>> commands;  // after the command name and the archive
        std::vector<std::pair<std::string, std::string>> expanded;
    } rows[] = {
        {true, {{"remove", "--drop", "docs/bb.txt"}}, {{"docs/", ""}, {"docs/a.txt", a}, {"docs/c.txt", c}}},
        {true, {{"rename", "docs/c.txt", "docs/c"}},
         {{"docs/", ""}, {"docs/a.txt", a}, {"docs/bb.txt", bb}, {"docs/c", c}}},
        {true, {{"remove", "docs/c.txt"}, {"add", "--to", "docs", "@new.txt"}},
         {{"docs/", ""}, {"docs/a.txt", a}, {"docs/bb.txt", bb}, {"docs/new.txt", "fresh\n"}}},
        {false, {{"remove", "--drop", "docs/bb.txt"}, {"rename", "docs/c.txt", "docs/c"}},
         {{"docs/", ""}, {"docs/a.txt", a}, {"docs/c", c}}},
        {false, {{"remove", "docs/a.txt"}, {"add", "--to", "docs", "@new.txt"}},
         {{"docs/", ""}, {"docs/bb.txt", bb}, {"docs/c.txt", c}, {"docs/new.txt", "fresh\n"}}},
        {false, {{"rename", "docs/bb.txt", "docs/a.txt"}, {"mkdir", "docs/more"}},
         {{"docs/", ""}, {"docs/a.txt", bb}, {"docs/c.txt", c}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.tail ? "tail: " : "marker: ") + row.commands[0][0] + " " +
                     row.commands[0].back());
        UtilFixture f(layout(row.tail));
        write_file(f.dir / "new.txt", "fresh\n");
        const Bytes old = read_bytes(f.pak);
        // The file as it was stays reachable whether the archive is written
        // in place or anew: what a reader of the old directory still reads.
        const std::string kept = f.dir / "kept.pak";
        std::filesystem::create_hard_link(f.pak, kept);
        for (const std::vector<std::string>& command : row.commands) {
            std::vector<std::string> args{command[0], f.pak};
            for (size_t i = 1; i < command.size(); ++i)
                args.push_back(command[i][0] == '@' ? f.dir / command[i].substr(1) : command[i]);
            ASSERT_EQ(f.util(args).status, 0) << command[0];
        }
        const RunResult tested = f.util({"test", f.pak});
        EXPECT_EQ(tested.status, 0) << tested.out;
        const std::string out = f.dir / "out";
        ASSERT_EQ(run_tool({"/E", f.pak, out}).status, 0);
        EXPECT_EQ(list_tree(out), row.expanded);
        const Bytes after = read_bytes(kept);
        const size_t data_start = 40 + get_be32(old, 28) - (row.tail ? a.size() : 0);
        ASSERT_GE(after.size(), old.size());
        EXPECT_TRUE(std::equal(old.begin() + long(data_start), old.end(), after.begin() + long(data_start)));
    }
}

// ---- diff and patch: archives described as lists of paths.

// A path of a tree to build, in directory order: `how` is 's' stored,
// 'z' zlib (level 9), '1' zlib at level 1, 'd' deleted, '/' an empty
// folder. Items that share folders must come together.
struct Item {
    std::string path, contents;
    char how = 's';
};

Bytes build_tree(const std::vector<Item>& items)
{
    ArchiveBuilder b;
    std::vector<std::string> open;
    for (const Item& item : items) {
        std::vector<std::string> levels;
        for (size_t from = 0, at; from <= item.path.size(); from = at + 1) {
            at = std::min(item.path.find('/', from), item.path.size());
            levels.push_back(item.path.substr(from, at - from));
        }
        const std::string name = item.how == '/' ? "" : levels.back();
        if (item.how != '/')
            levels.pop_back();
        size_t common = 0;
        while (common < open.size() && common < levels.size() && open[common] == levels[common])
            ++common;
        for (; open.size() > common; open.pop_back())
            b.end();
        for (; open.size() < levels.size(); open.push_back(levels[open.size()]))
            b.folder(levels[open.size()]);
        if (item.how == 's')
            b.stored(name, item.contents);
        else if (item.how == 'z' || item.how == '1')
            b.compressed(name, item.contents);
        else if (item.how == 'd')
            b.deleted(name);
        if (item.how == '1')
            b.last().stored_bytes = zlib_compress(item.contents, 1);
    }
    for (; !open.empty(); open.pop_back())
        b.end();
    return b.build().bytes;
}

const std::vector<Item> base_tree = {
    {"docs/a.txt", "alpha"}, {"docs/notes.txt", notes, 'z'}, {"docs/old.txt", "", 'd'}, {"bin/x", "x"}};

std::vector<Item> with(std::vector<Item> items, const std::vector<Item>& more)
{
    items.insert(items.end(), more.begin(), more.end());
    return items;
}

// Each difference, both ways (NEW against the base, then the base against
// NEW): the lines in path order and status 1, or nothing and status 0.
TEST(UtilDiff, OneLinePerPathThatDiffers)
{
    std::string one_off = notes;
    one_off[1500] ^= 1;
    const struct {
        const char* name;
        std::vector<Item> new_tree;
        const char* forward;
        const char* backward;
    } rows[] = {
        {"same", base_tree, "", ""},
        {"added", with(base_tree, {{"docs/sub/b.txt", "b"}}), "added docs/sub/b.txt\n", "removed docs/sub/b.txt\n"},
        {"removed and deleted", {{"docs/a.txt", "alpha"}, {"docs/notes.txt", notes, 'z'}, {"bin/x", "", 'd'}},
         "removed bin/x\n", "added bin/x\n"},
        {"changed, same size", {{"docs/a.txt", "alphA"}, {"docs/notes.txt", notes, 'z'}, {"bin/x", "x"}},
         "changed docs/a.txt\n", "changed docs/a.txt\n"},
        {"method and content", {{"docs/a.txt", "alpha"}, {"docs/notes.txt", one_off}, {"bin/x", "x"}},
         "changed docs/notes.txt\n", "changed docs/notes.txt\n"},
        {"method only", {{"docs/a.txt", "alpha"}, {"docs/notes.txt", notes}, {"bin/x", "x"}}, "", ""},
        {"stream made anew", {{"docs/a.txt", "alpha"}, {"docs/notes.txt", notes, '1'}, {"bin/x", "x"}},
         "changed docs/notes.txt\n", "changed docs/notes.txt\n"},
        {"empty folders", with(base_tree, {{"docs/e", "", '/'}, {"new/f/g", "", '/'}}),
         "added docs/e/\nadded new/f/g/\n", "removed docs/e/\nremoved new/f/g/\n"},
        // The first live record at a path is the one that counts.
        {"shadowed", {{"docs/a.txt", "alpha"}, {"docs/a.txt", "other"}, {"docs/notes.txt", notes, 'z'}, {"bin/x", "x"}},
         "", ""},
        {"shadowing", {{"docs/a.txt", "", 'd'}, {"docs/a.txt", "first"}, {"docs/a.txt", "alpha"},
                       {"docs/notes.txt", notes, 'z'}, {"bin/x", "x"}},
         "changed docs/a.txt\n", "changed docs/a.txt\n"},
        {"file to folder", {{"docs/a.txt/in", "alpha"}, {"docs/notes.txt", notes, 'z'}, {"bin/x", "x"}},
         "removed docs/a.txt\nadded docs/a.txt/in\n", "added docs/a.txt\nremoved docs/a.txt/in\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        UtilFixture f(build_tree(base_tree));
        const std::string other = f.dir / "new.pak";
        write_file(other, build_tree(row.new_tree));
        for (const bool forward : {true, false}) {
            const RunResult r = f.util({"diff", forward ? f.pak : other, forward ? other : f.pak});
            const std::string expected = forward ? row.forward : row.backward;
            EXPECT_EQ(r.out, expected);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.status, expected.empty() ? 0 : 1);
        }
    }

    UtilFixture f(build_tree(base_tree));
    const std::string other = f.dir / "new.pak";
    write_file(other, build_tree(with(base_tree, {{"docs/e", "", '/'}, {"docs/\xE9", "e"}})));
    const RunResult json = f.util({"diff", "--json", f.pak, other});
    const Bytes built = read_bytes(other);
    const std::string data_end = std::to_string(built.size() - 1);
    EXPECT_EQ(json.out, "{\"path\":\"docs/e\",\"kind\":\"folder\",\"change\":\"added\"}\n"
                        "{\"path\":\"docs/\xEF\xBF\xBD\",\"path_hex\":\"646f63732fe9\",\"kind\":\"stored\","
                        "\"expanded_size\":1,\"stored_size\":1,\"data_offset\":" + data_end +
                            ",\"checksum\":101,\"change\":\"added\"}\n");
    EXPECT_EQ(json.status, 1);

    // Damage on either side: status 2, whichever way round.
    ArchiveBuilder bad_id;
    bad_id.folder("docs").stored("a.txt", "alpha").folder("in").end();
    bad_id.last().id_or_tag = 3;
    bad_id.end();
    std::vector<Item> bad_stream = base_tree;
    bad_stream[1].how = 's';  // stored in the base: the stream is inflated to be compared
    const struct {
        const char* name;
        Bytes old_bytes, new_bytes;
        const char* err;
    } damaged[] = {
        {"bad folder id", build_tree(base_tree), bad_id.build().bytes, "new.pak: damaged directory\n"},
        {"bad stream", build_tree(bad_stream), archive([](int which, Node& n) {
             if (which == 1)
                 n.stored_bytes = std::string(zlib_compress(notes).size(), 'z');
         }), "docs/notes.txt: its data cannot be read or inflated\n"},
    };
    for (const auto& row : damaged) {
        SCOPED_TRACE(row.name);
        UtilFixture g(row.old_bytes);
        const std::string other_pak = g.dir / "new.pak";
        write_file(other_pak, row.new_bytes);
        for (const bool forward : {true, false}) {
            const RunResult r = g.util({"diff", forward ? g.pak : other_pak, forward ? other_pak : g.pak});
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
            EXPECT_EQ(r.status, 2);
        }
    }
}

// The live records of an archive as list shows them, without their data
// offsets, sorted: what a tree holds whatever the order and place of its data.
std::string live_records(UtilFixture& f, const std::string& pak)
{
    std::vector<std::string> lines;
    std::string kind, expanded, stored, offset, path;
    std::istringstream in(f.util({"list", pak}).out);
    while (in >> kind >> expanded >> stored >> offset >> path)
        if (kind != "deleted")
            lines.push_back(kind + " " + expanded + " " + stored + " " + path);
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& line : lines)
        out += line + "\n";
    return out;
}

// A patch made from OLD to NEW and applied to a copy of OLD gives NEW's
// tree: the same live records and the same files expanded. Applied again,
// or to an archive whose patched file changed, it is refused as conflicts
// and nothing changes; expanded and repacked, it still applies.
TEST(UtilPatch, RoundTripGivesTheNewTree)
{
    const std::string big = sample_data(20000, 3, true);
    const std::vector<Item> old_tree = {
        {"docs/a.txt", "alpha"}, {"docs/big.txt", big, 'z'}, {"docs/empty", "", '/'}, {"docs/old.txt", "", 'd'},
        {"bin/x", "x"},          {"bin/y", "y"},          {"t/dir/y", "why"},       {"t/f", "file"}};
    const std::vector<Item> new_tree = {
        {"docs/a.txt", "alpha, longer"}, {"docs/b.txt", big + "b", '1'}, {"docs/big.txt", big, 'z'},
        {"bin/y", "y"},                  {"t/dir", "now a file"},        {"t/f/g", "now below"},
        {"fresh/folder", "", '/'}};
    const std::string lines = "removed bin/x\nchanged docs/a.txt\nadded docs/b.txt\nremoved docs/empty/\n"
                              "added fresh/folder/\nadded t/dir\nremoved t/dir/y\nremoved t/f\nadded t/f/g\n";
    UtilFixture f(build_tree(old_tree));
    const std::string new_pak = f.dir / "new.pak", patch = f.dir / "p.pak", target = f.dir / "target.pak";
    write_file(new_pak, build_tree(new_tree));

    const RunResult made = f.util({"patch", "make", f.pak, new_pak, patch});
    EXPECT_EQ(f.util({"diff", f.pak, new_pak}).out, lines);
    EXPECT_EQ(made.out, lines);
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.err.find("p.pak: 4 added, 1 changed, 4 removed, "), std::string::npos) << made.err;
    EXPECT_EQ(f.util({"test", patch}).status, 0);
    // Only what changed is in it: the unchanged 20 KB file is not.
    EXPECT_LT(read_bytes(patch).size(), read_bytes(new_pak).size() - big.size() / 2);
    const Bytes made_bytes = read_bytes(patch);
    EXPECT_EQ(f.util({"patch", "make", f.pak, new_pak, patch}).status, 2);
    EXPECT_EQ(f.util({"patch", "make", f.pak, f.pak, patch, "--force"}).status, 0);
    EXPECT_TRUE(read_bytes(patch) != made_bytes);
    ASSERT_EQ(f.util({"patch", "make", f.pak, new_pak, patch, "--force"}).status, 0);
    EXPECT_TRUE(read_bytes(patch) == made_bytes);

    const Bytes old_bytes = read_bytes(f.pak);
    write_file(target, old_bytes);
    const RunResult dry = f.util({"patch", "apply", "--dry-run", target, patch});
    EXPECT_EQ(dry.status, 0);
    EXPECT_TRUE(read_bytes(target) == old_bytes);
    const RunResult applied = f.util({"patch", "apply", target, patch});
    EXPECT_EQ(applied.out, dry.out);
    EXPECT_EQ(applied.out, "removed t/f\nremoved t/dir/y\nremoved docs/empty/\nremoved bin/x\nremoved t/dir/\n"
                           "made fresh\nmade fresh/folder\nreplaced docs/a.txt\nadded docs/b.txt\nadded t/dir\n"
                           "made t/f\nadded t/f/g\n");
    EXPECT_EQ(applied.status, 0) << applied.err;
    EXPECT_EQ(f.util({"diff", target, new_pak}).out, "");
    EXPECT_EQ(live_records(f, target), live_records(f, new_pak));
    ASSERT_EQ(run_tool({"/E", target, f.dir / "got"}).status, 0);
    ASSERT_EQ(run_tool({"/E", new_pak, f.dir / "want"}).status, 0);
    EXPECT_EQ(list_tree(f.dir / "got"), list_tree(f.dir / "want"));

    const Bytes patched = read_bytes(target);
    const RunResult twice = f.util({"patch", "apply", target, patch});
    EXPECT_EQ(twice.out, "conflict bin/x\nconflict docs/a.txt\nconflict docs/b.txt\nconflict docs/empty/\n"
                         "conflict fresh/folder/\nconflict t/dir\nconflict t/dir/y\nconflict t/f\nconflict t/f/g\n");
    EXPECT_NE(twice.err.find("9 paths not as the patch's base had them; nothing changed"), std::string::npos);
    EXPECT_EQ(twice.status, 2);
    EXPECT_TRUE(read_bytes(target) == patched);

    // One patched file changed since the base: that path conflicts.
    std::vector<Item> edited = old_tree;
    edited[0].contents = "alphA";
    write_file(target, build_tree(edited));
    const RunResult conflict = f.util({"patch", "apply", target, patch});
    EXPECT_EQ(conflict.out, "conflict docs/a.txt\n");
    EXPECT_EQ(conflict.status, 2);
    EXPECT_TRUE(read_bytes(target) == build_tree(edited));
    const RunResult forced = f.util({"patch", "apply", "--force", target, patch});
    EXPECT_EQ(forced.status, 0);
    EXPECT_EQ(live_records(f, target), live_records(f, new_pak));

    // Expanded and repacked: its level-1 stream is now level 9, of the
    // same content, and the patch applies as made. Edited, it is refused.
    const std::string expanded = f.dir / "patch-tree", listed = f.util({"list", patch}).out;
    ASSERT_EQ(run_tool({"/E", patch, expanded}).status, 0);
    ASSERT_EQ(run_tool({"/P", patch, expanded}).status, 0);
    EXPECT_NE(f.util({"list", patch}).out, listed);
    write_file(target, old_bytes);
    EXPECT_EQ(f.util({"patch", "apply", target, patch}).status, 0);
    ASSERT_EQ(run_tool({"/E", target, f.dir / "again"}).status, 0);
    EXPECT_EQ(list_tree(f.dir / "again"), list_tree(f.dir / "want"));
    write_file(expanded + sep + native("docs/b.txt"), big + "c");
    ASSERT_EQ(run_tool({"/P", patch, expanded}).status, 0);
    write_file(target, old_bytes);
    const RunResult refused = f.util({"patch", "apply", target, patch});
    EXPECT_NE(refused.err.find("docs/b.txt: not the file the manifest names"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(read_bytes(target) == old_bytes);

    // Neither archive may hold the manifest's own path.
    write_file(target, build_tree(with(old_tree, {{".tavmerk-patch/manifest.json", "{}"}})));
    const RunResult taken = f.util({"patch", "make", target, new_pak, f.dir / "other.pak"});
    EXPECT_NE(taken.err.find("holds .tavmerk-patch"), std::string::npos) << taken.err;
    EXPECT_EQ(taken.status, 2);
    EXPECT_FALSE(exists(f.dir / "other.pak"));
}

uint32_t crc_of(const std::string& data)
{
    return uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
}

// A manifest entry for a stored file added at `path` with `contents`.
std::string added_entry(const std::string& path, const std::string& contents)
{
    const std::string size = std::to_string(contents.size());
    return "{\"path\":\"" + path + "\",\"type\":\"file\",\"change\":\"added\",\"base\":\"absent\",\"patch\":"
           "{\"kind\":\"stored\",\"expanded_size\":" + size + ",\"stored_size\":" + size + ",\"checksum\":" +
           std::to_string(reference_additive(contents)) + ",\"content_crc32\":" + std::to_string(crc_of(contents)) +
           "}}";
}

std::string manifest(const std::string& entries, int version = 1)
{
    return "{\"format\":\"tavmerk-patch\",\"version\":" + std::to_string(version) + ",\"entries\":[" + entries + "]}";
}

// Patches built by hand that lie, lack their manifest or name paths the
// engine refuses: each refused with a message, the archive byte for byte
// as it was and nothing else written beside it.
TEST(UtilPatch, HostilePatchesChangeNothing)
{
    const std::string entry = added_entry("docs/new.txt", "new");
    const Item record = {"docs/new.txt", "new"};
    const std::string changed_a = "{\"path\":\"docs/a.txt\",\"type\":\"file\",\"change\":\"changed\",\"base\":"
                                  "{\"kind\":\"stored\",\"expanded_size\":5,\"stored_size\":5,\"checksum\":1},"
                                  "\"patch\":{\"kind\":\"stored\",\"expanded_size\":3,\"stored_size\":3,\"checksum\":" +
                                  std::to_string(reference_additive("new")) + ",\"content_crc32\":" +
                                  std::to_string(crc_of("new")) + "}}";
    const auto patch = [](const std::string& text, std::vector<Item> records) {
        records.insert(records.begin(), Item{".tavmerk-patch/manifest.json", text});
        return build_tree(records);
    };
    ArchiveBuilder damaged_record;
    damaged_record.folder(".tavmerk-patch").stored("manifest.json", manifest(entry)).end();
    damaged_record.folder("docs").stored("new.txt", "new");
    damaged_record.last().stored_bytes = "NEW";
    damaged_record.last().checksum = reference_additive("new");  // the manifest's
    damaged_record.end();
    const struct {
        const char* name;
        Bytes patch;
        const char* out;
        const char* err;
    } rows[] = {
        {"no manifest", build_tree({record}), "", "not a patch: no .tavmerk-patch/manifest.json"},
        {"not JSON", patch("{\"format\":", {record}), "", "manifest.json: not a patch's manifest (not JSON)"},
        {"other version", patch(manifest(entry, 2), {record}), "", "(version 2, not 1)"},
        {"negative size", patch(manifest(std::string(entry).replace(entry.find("\"expanded_size\":3"), 17,
                                                                    "\"expanded_size\":-3")),
                                {record}),
         "", "(\"expanded_size\" is not a 32-bit count)"},
        {"parent level", patch(manifest(added_entry("docs/../../x", "new")), {record}), "",
         "docs/../../x: refused: a name"},
        {"refused name", patch(manifest(added_entry("docs/a:b", "new")), {{"docs/a:b", "new"}}), "",
         "docs/a:b: refused: a name"},
        {"manifest's folder", patch(manifest(added_entry(".tavmerk-patch/x", "new")), {record}), "",
         ".tavmerk-patch/x: refused"},
        {"twice", patch(manifest(entry + "," + entry), {record}), "", "docs/new.txt: named twice"},
        {"record missing", patch(manifest(entry), {}), "", "docs/new.txt: the manifest names a file the patch does"},
        {"record unlike", patch(manifest(entry), {{"docs/new.txt", "old"}}), "",
         "docs/new.txt: not the file the manifest names"},
        {"unlisted record", patch(manifest(entry), {record, {"docs/extra", "x"}}), "",
         "docs/extra: a file the manifest does not name"},
        {"base lies", patch(manifest(changed_a), {{"docs/a.txt", "new"}}), "conflict docs/a.txt\n",
         "1 paths not as the patch's base had them"},
        {"damaged record", damaged_record.build().bytes, "", "docs/new.txt: its record's bytes are not"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        UtilFixture f(build_tree(base_tree));
        const Bytes before = read_bytes(f.pak);
        const std::string patch_pak = f.dir / "p.pak";
        write_file(patch_pak, row.patch);
        const RunResult r = f.util({"patch", "apply", f.pak, patch_pak});
        EXPECT_EQ(r.out, row.out);
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(list_tree(f.dir.path()) == (std::vector<std::pair<std::string, std::string>>{
                                                   {"a.pak", std::string(before.begin(), before.end())},
                                                   {"p.pak", std::string(row.patch.begin(), row.patch.end())}}));
    }
}

#ifndef _WIN32
// A folder of the tree that cannot be listed is a problem line, and the
// records below it are kept: the sync cannot tell their files gone. Run
// as "nobody" where the tests run as root, whom permissions do not stop.
TEST(UtilStructure, SyncKeepsTheRecordsOfAFolderItCannotRead)
{
    ArchiveBuilder b;
    b.folder("docs").stored("a", "a").folder("sub").stored("c", "c").end().end();
    b.folder("bin").stored("x", "x").end();
    const Bytes built = b.build().bytes;
    const struct {
        const char* folder;
        mode_t mode;
        const char* survey;  // the line of the file it cannot read, if any
    } rows[] = {
        {"docs/sub", 0711, ""},  // its files can be opened, not found
        {"bin", 0, "tavmerk-util: bin/x: cannot read: Permission denied\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.folder);
        UtilFixture f(built);
        f.source("docs/a", "a");
        f.source("bin/x", "x");
        make_dirs(f.src + "/docs/sub");
        if (std::string(row.folder) != "docs/sub")
            f.source("docs/sub/c", "c");  // else its file is gone
        const std::string folder = f.src + "/" + row.folder;
        ASSERT_EQ(chmod(folder.c_str(), row.mode), 0);
        if (geteuid() != 0 && access(folder.c_str(), R_OK) == 0)
            GTEST_SKIP() << "the folder is still readable";
        ASSERT_EQ(chmod(f.dir.path().c_str(), 0755), 0);
        ASSERT_EQ(chmod(f.pak.c_str(), 0666), 0);
        const std::string util = f.dir / "tavmerk-util";
        std::filesystem::copy_file(util_path(), util);
        std::filesystem::permissions(util, std::filesystem::perms(0755));
        RunOptions options;
        options.binary = util;
        options.split_stderr = true;
        options.unprivileged = true;
        const RunResult r = run_tool({"update", f.pak, f.src, "--sync"}, options);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, row.survey + ("tavmerk-util: " + folder +
                                       ": cannot read the folder: Permission denied; its records kept\n"
                                       "nothing to change\n"));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(read_bytes(f.pak), built);
        chmod(folder.c_str(), 0755);
    }
}

// Offsets are 32-bit: a commit that would take the archive (its redo
// record included) to 4 GiB is refused before anything is written. The
// archive is made that large sparsely.
TEST(UtilStructure, RefusesToTakeTheArchiveTo4GiB)
{
    UtilFixture f;
    ASSERT_EQ(truncate(f.pak.c_str(), (int64_t(1) << 32) - 200), 0);
    write_file(f.dir / "new.txt", "fresh\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"add", f.pak, f.dir / "new.txt", "--to", "docs"},
          std::vector<std::string>{"mkdir", f.pak, "docs/a/long/path/of/folders/to/make/the/directory/grow"}}) {
        const RunResult r = f.util(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("4 GiB"), std::string::npos) << r.err;
        struct stat st;
        ASSERT_EQ(stat(f.pak.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, (int64_t(1) << 32) - 200);
    }
}
#endif

}  // namespace
}  // namespace test
