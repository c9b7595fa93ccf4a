// The directory walk: paths, order, counts, and damaged or hostile input.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "archive/entry_cursor.h"
#include "archive/layout.h"
#include "archive/walk.h"
#include "archive_builder.h"
#include "test_support.h"
#include "walk_visitor.h"

namespace {

using tavmerk::WalkEnd;
using test::native;
using test::sep;

// Records every event as one line, in order.
class Recorder : public tavmerk::WalkVisitor {
public:
    explicit Recorder(size_t stop_after = SIZE_MAX) : stop_after_(stop_after) {}
    bool file(const std::string& path, size_t record_at) override
    {
        events.push_back("file " + path + " @" + std::to_string(record_at));
        return --stop_after_ > 0;
    }
    void deleted(const std::string& path) override { events.push_back("deleted " + path); }
    void unsafe(const std::string& path) override { events.push_back("unsafe " + path); }
    std::vector<std::string> events;

private:
    size_t stop_after_;
};

struct WalkRun {
    WalkEnd end;
    std::vector<std::string> events;
};

WalkRun walk(const test::Built& built, const std::string& root = native("/R/"))
{
    const uint8_t* header = built.bytes.data();
    Recorder recorder;
    const WalkEnd end = tavmerk::walk_root(header + 40, built.bytes.size() - 40 < tavmerk::directory_size(header)
                                                           ? built.bytes.size() - 40
                                                           : tavmerk::directory_size(header),
                                           tavmerk::root_folder_count(header), root, recorder);
    return {end, recorder.events};
}

std::string at(const test::Built& built, const std::string& path)
{
    return " @" + std::to_string(built.record_at.at(path) - 40);
}

TEST(Walk, ComposesPathsInPreOrder)
{
    test::ArchiveBuilder b;
    b.folder("top").stored("a.txt", "A").folder("sub").compressed("b.bin", "BBB").end().deleted("gone").end();
    b.folder("empty").end();
    b.folder("").stored("c", "C").end();  // empty name: doubled separator
    const test::Built built = b.build();
    const WalkRun run = walk(built);
    EXPECT_EQ(run.end, WalkEnd::complete);
    const std::vector<std::string> expected = {
        "file " + native("/R/top/a.txt") + at(built, "top/a.txt"),
        "file " + native("/R/top/sub/b.bin") + at(built, "top/sub/b.bin"),
        "deleted " + native("/R/top/gone"),
        "file " + native("/R//c") + at(built, "c"),
    };
    EXPECT_EQ(run.events, expected);
}

TEST(Walk, NamesAreCutAtNulButSkippedWhole)
{
    test::ArchiveBuilder b;
    b.folder(std::string("dir\0hidden", 10)).stored(std::string("f\0xx", 4), "1").stored("next", "2").end();
    const WalkRun run = walk(b.build());
    ASSERT_EQ(run.events.size(), 2u);
    EXPECT_EQ(run.events[0].substr(0, 15), "file " + native("/R/dir/f @"));
    EXPECT_EQ(run.events[1].substr(0, 18), "file " + native("/R/dir/next @"));
}

TEST(Walk, TopLevelEntriesAreFoldersWhateverTheirKindAndId)
{
    test::ArchiveBuilder b;
    b.folder("t").stored("f", "x").end();
    b.last().kind = 7;
    b.last().id_or_tag = 0xDEAD;
    const WalkRun run = walk(b.build());
    EXPECT_EQ(run.end, WalkEnd::complete);
    ASSERT_EQ(run.events.size(), 1u);
    EXPECT_EQ(run.events[0].substr(0, 12), "file " + native("/R/t/f "));
}

TEST(Walk, CountsWithTopBitSetWalkNothing)
{
    test::ArchiveBuilder b;
    b.folder("t").stored("f", "x").end();
    b.last().child_count = 0x80000001u;
    // The child entry is then not walked; the next top-level folder is
    // read where the first one's children would have started.
    EXPECT_TRUE(walk(b.build()).events.empty());

    test::ArchiveBuilder roots;
    roots.folder("t").stored("f", "x").end();
    roots.root_folder_count = 0xFFFFFFFFu;
    const WalkRun run = walk(roots.build());
    EXPECT_EQ(run.end, WalkEnd::complete);
    EXPECT_TRUE(run.events.empty());
}

TEST(Walk, BadFolderIdStopsAfterEverythingBeforeIt)
{
    test::ArchiveBuilder b;
    b.folder("t").stored("first", "1").folder("bad").stored("inside", "2").end();
    b.last().id_or_tag = 1;
    b.stored("after", "3").end();
    const WalkRun run = walk(b.build());
    EXPECT_EQ(run.end, WalkEnd::bad_folder_id);
    ASSERT_EQ(run.events.size(), 1u);
    EXPECT_EQ(run.events[0].substr(0, 16), "file " + native("/R/t/first "));
}

// The entry cursor, row by row: every entry in directory order with its
// place, depth, parent, kind, name and counts, and how the walk ends.
// Offsets are checked against the builder's and against each other: each
// entry starts where the one before it ends.
TEST(Walk, EntryCursorYieldsEveryEntryInPlace)
{
    struct Row {
        const char* what;
        void (*build)(test::ArchiveBuilder&);
        std::vector<std::string> entries;  // place depth parent kind name counts
        WalkEnd end;
    };
    const std::vector<Row> rows = {
        {"tree",
         [](test::ArchiveBuilder& b) {
             b.folder("top").stored("a", "1").folder("sub").compressed("b", "BBB").deleted("c").end();
             b.stored("d", "2").end().folder("two").end();
         },
         {"0 0 - folder top 3/3", "1 1 0 file a stored", "2 1 0 folder sub 2/2", "3 2 2 file b zlib",
          "4 2 2 file c deleted", "5 1 0 file d stored", "6 0 - folder two 0/0"},
         WalkEnd::complete},
        {"kind bytes: a top-level folder whatever its own, a nested file by a non-zero one",
         [](test::ArchiveBuilder& b) {
             b.folder("t").stored("f", "x");
             b.last().kind = 9;
             b.end();
             b.last().kind = 7;
             b.last().id_or_tag = 0xDEAD;
         },
         {"0 0 - folder t 1/1", "1 1 0 file f stored"},
         WalkEnd::complete},
        {"a count with the top bit set is none",
         [](test::ArchiveBuilder& b) {
             b.folder("t").stored("f", "x").end();
             b.last().child_count = 0x80000001u;
         },
         {"0 0 - folder t 0/2147483649"},
         WalkEnd::complete},
        {"names are cut at NUL for the path, kept whole",
         [](test::ArchiveBuilder& b) {
             b.folder(std::string("d\0x", 3)).stored(std::string("f\0yy", 4), "1").stored("g", "2").end();
         },
         {"0 0 - folder d(3) 2/2", "1 1 0 file f(4) stored", "2 1 0 file g stored"},
         WalkEnd::complete},
        {"a bad folder id ends the walk at its place",
         [](test::ArchiveBuilder& b) {
             b.folder("t").stored("first", "1").folder("bad").stored("inside", "2").end();
             b.last().id_or_tag = 1;
             b.stored("after", "3").end();
         },
         {"0 0 - folder t 3/3", "1 1 0 file first stored"},
         WalkEnd::bad_folder_id},
        {"a name past the block ends the walk as damaged",
         [](test::ArchiveBuilder& b) {
             b.folder("t").stored("a", "1").folder("s").end().stored("b", "2");
             b.last().name_length = 0xFFFFFFF0u;
             b.end();
         },
         {"0 0 - folder t 3/3", "1 1 0 file a stored", "2 1 0 folder s 0/0"},
         WalkEnd::damaged},
    };
    for (const Row& row : rows) {
        test::ArchiveBuilder b;
        row.build(b);
        const test::Built built = b.build();
        const uint8_t* header = built.bytes.data();
        tavmerk::EntryCursor cursor(header + 40, tavmerk::directory_size(header), tavmerk::root_folder_count(header));
        std::vector<std::string> lines;
        std::vector<std::string> paths;  // by place, composed through the parents
        size_t next_at = 0;
        while (cursor.next()) {
            const tavmerk::DirectoryEntry& e = cursor.entry();
            const bool top = e.parent == tavmerk::DirectoryEntry::none;
            std::string name(e.component());
            if (e.name_length != name.size())
                name += "(" + std::to_string(e.name_length) + ")";
            std::string line = std::to_string(e.place) + " " + std::to_string(e.depth) + " " +
                               (top ? "-" : std::to_string(e.parent)) + (e.folder ? " folder " : " file ") + name;
            if (e.folder)
                line += " " + std::to_string(e.child_count) + "/" + std::to_string(e.stored_child_count());
            else
                line += e.kind() == tavmerk::RecordKind::deleted  ? " deleted"
                        : e.kind() == tavmerk::RecordKind::stored ? " stored"
                                                                  : " zlib";
            lines.push_back(line);
            paths.push_back((top ? "" : paths.at(e.parent) + "/") + std::string(e.name_bytes()));
            EXPECT_EQ(e.entry_at, next_at) << row.what << ": " << line;
            if (e.folder) {
                EXPECT_EQ(e.record_at, e.entry_at) << row.what << ": " << line;
                next_at = e.entry_at + 17 + e.name_length;
            } else {
                EXPECT_EQ(e.record_at, built.record_at.at(paths.back()) - 40) << row.what << ": " << line;
                EXPECT_EQ(e.record_at, e.entry_at + 9) << row.what << ": " << line;
                next_at = e.entry_at + 29 + e.name_length;
            }
        }
        EXPECT_EQ(lines, row.entries) << row.what;
        EXPECT_EQ(cursor.end(), row.end) << row.what;
        EXPECT_FALSE(cursor.next()) << row.what;
        // Complete, it stops after the last entry it walked (a count with
        // the top bit set leaves its children's bytes unread).
        if (row.end == WalkEnd::complete) {
            EXPECT_EQ(cursor.offset(), next_at) << row.what;
        }
    }
}

TEST(Walk, ParentReferencesAreReportedUnsafe)
{
    test::ArchiveBuilder b;
    b.folder("t");
    b.stored("..", "x").stored("a/../b", "x").stored("../x", "x").stored("x/..", "x");
    b.stored("..a", "ok").stored("a..", "ok").stored(".", "dot").stored("a/./b", "ok");
    b.deleted("..");  // deleted wins: never reaches an action anyway
    b.folder("..").stored("below", "x").end();
    b.folder("x/../..").stored("below", "x").end();
    b.end();
    const WalkRun run = walk(b.build());
    std::vector<std::string> kinds;
    for (const std::string& e : run.events)
        kinds.push_back(e.substr(0, e.find(" @")));
    // Names keep their own "/"; the walk puts its separator between levels.
    const std::string t = native("/R/t/");
    const std::vector<std::string> expected = {
        "unsafe " + t + "..",          "unsafe " + t + "a/../b",          "unsafe " + t + "../x",
        "unsafe " + t + "x/..",        "file " + t + "..a",               "file " + t + "a..",
        "file " + t + ".",             "file " + t + "a/./b",             "deleted " + t + "..",
        "unsafe " + t + ".." + sep + "below", "unsafe " + t + "x/../.." + sep + "below",
    };
    EXPECT_EQ(kinds, expected);
}

// Where a backslash separates levels too (Windows), "..\x" climbs as "../x"
// does and must be refused; elsewhere a backslash is an ordinary byte.
TEST(Walk, BackslashParentReferencesWhereBackslashSeparates)
{
    test::ArchiveBuilder b;
    b.folder("t");
    b.stored("..\\x", "x").stored("a\\..\\b", "x").stored("x\\..", "x").stored("..\\", "x").stored("a\\..b", "ok");
    b.folder("..\\..").stored("below", "x").end();
    b.folder("y").folder("z\\..\\..").stored("below", "x").end().end();
    b.end();
    const WalkRun run = walk(b.build());
    std::vector<std::string> kinds;
    for (const std::string& e : run.events)
        kinds.push_back(e.substr(0, e.find(" @")));
    const std::string climbs = sep == '\\' ? "unsafe " : "file ";
    const std::string t = native("/R/t/");
    const std::vector<std::string> expected = {
        climbs + t + "..\\x",
        climbs + t + "a\\..\\b",
        climbs + t + "x\\..",
        climbs + t + "..\\",
        "file " + t + "a\\..b",
        climbs + t + "..\\.." + sep + "below",
        climbs + t + "y" + sep + "z\\..\\.." + sep + "below",
    };
    EXPECT_EQ(kinds, expected);
}

TEST(Walk, VisitorCanStopTheWalk)
{
    test::ArchiveBuilder b;
    b.folder("t").stored("a", "1").stored("b", "2").stored("c", "3").end();
    const test::Built built = b.build();
    Recorder recorder(2);
    EXPECT_EQ(tavmerk::walk_root(built.bytes.data() + 40, tavmerk::directory_size(built.bytes.data()), 1, "/R/",
                                 recorder),
              WalkEnd::stopped);
    EXPECT_EQ(recorder.events.size(), 2u);
}

TEST(Walk, EveryTruncationIsDetectedAsDamage)
{
    test::ArchiveBuilder b;
    b.folder("top").stored("a", "x").folder("sub").compressed("b", "yy").end().end().folder("two").end();
    const test::Built built = b.build();
    const uint32_t size = tavmerk::directory_size(built.bytes.data());
    for (uint32_t cut = 0; cut < size; ++cut) {
        Recorder recorder;
        EXPECT_EQ(tavmerk::walk_root(built.bytes.data() + 40, cut, 2, "/R/", recorder), WalkEnd::damaged) << cut;
        EXPECT_EQ(tavmerk::check_directory(built.bytes.data() + 40, cut, 2), WalkEnd::damaged) << cut;
    }
    EXPECT_EQ(tavmerk::check_directory(built.bytes.data() + 40, size, 2), WalkEnd::complete);
}

TEST(Walk, HugeCountsAndNameLengthsAreDamageNotOverreads)
{
    for (int field = 0; field < 3; ++field) {
        test::ArchiveBuilder b;
        b.folder("top").stored("a", "x").end();
        if (field == 0)
            b.last().child_count = 0x7FFFFFFF;
        if (field == 1)
            b.last().name_length = 0xFFFFFFFF;
        b.folder("t2").stored("f", "z").end();
        if (field == 2)
            b.last().name_length = 0xFFFFFFF0;
        EXPECT_EQ(walk(b.build()).end, WalkEnd::damaged) << field;
    }
}

TEST(Walk, DeepNestingEndsNormally)
{
    // A chain of 200,000 folders with one file at the bottom, built by hand
    // (the builder would recurse).
    constexpr uint32_t depth = 200000;
    test::Bytes bytes(40, 0);
    test::put_be32(bytes, 16, 1);
    for (uint32_t i = 0; i < depth; ++i) {
        const uint8_t folder[17] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1};
        bytes.insert(bytes.end(), folder, folder + 17);
        bytes.push_back('d');
    }
    const uint8_t file[29] = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 40, 0, 0, 0, 1};
    bytes.insert(bytes.end(), file, file + 29);
    bytes.push_back('f');
    test::put_be32(bytes, 28, uint32_t(bytes.size() - 40));
    Recorder recorder;
    EXPECT_EQ(tavmerk::walk_root(bytes.data() + 40, bytes.size() - 40, 1, native("/"), recorder), WalkEnd::complete);
    ASSERT_EQ(recorder.events.size(), 1u);
    std::string expected = "file " + native("/");
    for (uint32_t i = 0; i < depth; ++i)
        expected += native("d/");
    expected += "f @" + std::to_string(bytes.size() - 40 - 30 + 9);
    EXPECT_EQ(recorder.events[0], expected);
}

TEST(Walk, RandomDamageNeverReadsOutOfBounds)
{
    test::ArchiveBuilder b;
    b.folder("top").stored("a", "x").folder("sub").compressed("b", "yy").deleted("c").end().end();
    b.folder("two").stored("d", "zz").end();
    const test::Built built = b.build();
    std::mt19937 rng(12345);
    for (int round = 0; round < 20000; ++round) {
        test::Bytes bytes = built.bytes;
        const int flips = 1 + int(rng() % 4);
        for (int i = 0; i < flips; ++i)
            bytes[40 + rng() % (bytes.size() - 40)] ^= uint8_t(1u << (rng() % 8));
        const size_t size = 40 + rng() % (bytes.size() - 40 + 1);
        // An exactly sized copy lets the sanitizers see any overread.
        test::Bytes block(bytes.begin() + 40, bytes.begin() + long(size));
        Recorder recorder;
        // The check that runs before any file is touched must foresee
        // exactly how the walk itself will end.
        const WalkEnd walked = tavmerk::walk_root(block.data(), block.size(), 2, "/R/", recorder);
        EXPECT_EQ(tavmerk::check_directory(block.data(), block.size(), 2), walked) << round;
    }
}

}  // namespace
