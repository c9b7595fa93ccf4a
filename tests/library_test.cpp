// The C interface of libtavmerk, through the shared library itself: its
// status codes and messages, cancelling from a progress callback, and
// several threads reading one archive.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive_builder.h"
#include "tavmerk/tavmerk.h"
#include "test_support.h"

namespace {

struct Archive {
    tavmerk_archive* handle = nullptr;
    ~Archive() { tavmerk_close(handle); }
};

// The place of the entry at `path`, or UINT64_MAX.
uint64_t place_of(tavmerk_archive* archive, const std::string& path)
{
    const tavmerk_entry* entries = nullptr;
    size_t count = 0;
    EXPECT_EQ(tavmerk_entries(archive, &entries, &count), TAVMERK_OK);
    for (size_t i = 0; i < count; ++i)
        if (std::string(entries[i].path, entries[i].path_length) == path)
            return entries[i].place;
    return UINT64_MAX;
}

std::string read_all(tavmerk_stream* stream, tavmerk_status& status)
{
    std::string out;
    char piece[70000];
    size_t got = 0;
    while ((status = tavmerk_stream_read(stream, piece, sizeof piece, &got)) == TAVMERK_OK && got > 0)
        out.append(piece, got);
    return out;
}

const std::string large = test::large_data(9 << 20, 3);

test::Bytes sample_archive()
{
    test::ArchiveBuilder b;
    b.folder("a").stored("s.txt", "stored").compressed("z.txt", test::sample_data(5000, 1, true));
    b.deleted("gone").compressed("large", large).folder("sub").end().end();
    return b.build().bytes;
}

TEST(LibraryStatus, EachFailureHasItsCodeAndMessage)
{
    test::ScratchDir dir;
    const std::string pak = dir / "a.pak";
    test::write_file(pak, sample_archive());
    test::Bytes damaged = sample_archive();
    test::put_be32(damaged, 28, 0xFFFFFF00u);  // directory_size past the end
    test::write_file(dir / "damaged.pak", damaged);
    test::write_file(dir / "short.pak", std::string("PACK"));

    struct Row {
        std::string path;
        int mode;
        tavmerk_status status;
        std::string message;
        const char* at = nullptr;  // set: tavmerk_open_version
    };
    const std::vector<Row> rows = {
        {dir / "missing.pak", TAVMERK_READ, TAVMERK_ERROR_SYSTEM, "missing.pak: cannot open: "},
        {dir / "damaged.pak", TAVMERK_READ, TAVMERK_ERROR_DAMAGED, "damaged directory"},
        {dir / "short.pak", TAVMERK_UPDATE, TAVMERK_ERROR_DAMAGED, "damaged directory"},
        {pak, TAVMERK_CREATE, TAVMERK_ERROR_EXISTS, "exists already"},
        {pak, 7, TAVMERK_ERROR_INVALID, "bad arguments"},
        {dir / "missing.pak", TAVMERK_READ, TAVMERK_ERROR_SYSTEM, "missing.pak: cannot open: ", "0"},
        {dir / "damaged.pak", TAVMERK_READ, TAVMERK_ERROR_DAMAGED, "damaged directory", "0"},
        {pak, TAVMERK_READ, TAVMERK_ERROR_NO_VERSION, "a.pak: no version ~1", "~1"},  // no history: only 0
        {pak, TAVMERK_READ, TAVMERK_ERROR_NO_VERSION, "a.pak: no version 1", "1"},
        {pak, TAVMERK_READ, TAVMERK_ERROR_INVALID, "a.pak: ~x: a version is K or ~K", "~x"},
        {pak, TAVMERK_READ, TAVMERK_ERROR_INVALID, "a version is K or ~K", ""},
    };
    for (const Row& row : rows) {
        tavmerk_archive* archive = nullptr;
        EXPECT_EQ(row.at ? tavmerk_open_version(row.path.c_str(), row.at, &archive)
                         : tavmerk_open(row.path.c_str(), row.mode, &archive),
                  row.status)
            << row.path << " " << (row.at ? row.at : "");
        EXPECT_EQ(archive, nullptr);
        EXPECT_NE(std::string(tavmerk_last_error()).find(row.message), std::string::npos) << tavmerk_last_error();
    }
    tavmerk_archive* none = nullptr;
    ASSERT_EQ(tavmerk_open((dir / "missing.pak").c_str(), TAVMERK_READ, &none), TAVMERK_ERROR_SYSTEM);
#ifndef _WIN32
    EXPECT_EQ(tavmerk_last_system_error(), ENOENT);
#endif

    Archive a;
    ASSERT_EQ(tavmerk_open(pak.c_str(), TAVMERK_READ, &a.handle), TAVMERK_OK);
    tavmerk_stream* stream = nullptr;
    EXPECT_EQ(tavmerk_stream_open(a.handle, place_of(a.handle, "a/sub"), &stream), TAVMERK_ERROR_NOT_FOUND);
    EXPECT_EQ(tavmerk_stream_open(a.handle, place_of(a.handle, "a/gone"), &stream), TAVMERK_ERROR_NOT_FOUND);
    EXPECT_EQ(tavmerk_stream_open(a.handle, 99, &stream), TAVMERK_ERROR_NOT_FOUND);
    EXPECT_EQ(tavmerk_stream_open(nullptr, 0, &stream), TAVMERK_ERROR_INVALID);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(tavmerk_verify(a.handle, nullptr, nullptr, nullptr, nullptr), TAVMERK_OK);
    EXPECT_EQ(tavmerk_put_bytes(a.handle, "a/new", "x", 1, TAVMERK_STORAGE_CHOSEN), TAVMERK_ERROR_INVALID);
    EXPECT_EQ(tavmerk_commit(a.handle, nullptr, nullptr), TAVMERK_ERROR_INVALID);
}

TEST(LibraryStatus, RefusedChangesFailAtOnceAndLeaveTheRestStaged)
{
    test::ScratchDir dir;
    const std::string pak = dir / "a.pak";
    test::write_file(pak, sample_archive());
    Archive a;
    ASSERT_EQ(tavmerk_open(pak.c_str(), TAVMERK_UPDATE, &a.handle), TAVMERK_OK);
    ASSERT_EQ(tavmerk_put_bytes(a.handle, "a/new", "new", 3, TAVMERK_STORAGE_STORE), TAVMERK_OK);
    struct Row {
        tavmerk_status got, want;
    };
    const Row rows[] = {
        {tavmerk_put_bytes(a.handle, "a/../x", "x", 1, TAVMERK_STORAGE_CHOSEN), TAVMERK_ERROR_REFUSED},
        {tavmerk_put_bytes(a.handle, "a/x", "x", 1, 9), TAVMERK_ERROR_INVALID},
        {tavmerk_put_file(a.handle, "a/x", (dir / "no-such-file").c_str(), TAVMERK_STORAGE_CHOSEN),
         TAVMERK_ERROR_SYSTEM},
        {tavmerk_mkdir(a.handle, "a//b"), TAVMERK_ERROR_REFUSED},
        {tavmerk_remove(a.handle, "a/gone"), TAVMERK_ERROR_NOT_FOUND},
        {tavmerk_rename(a.handle, "a/none", "a/y"), TAVMERK_ERROR_NOT_FOUND},
        {tavmerk_rename(a.handle, "a/s.txt", "a/b\\c"), TAVMERK_ERROR_REFUSED},
        {tavmerk_remove_place(a.handle, 3), TAVMERK_ERROR_NOT_FOUND},  // the deleted record
        // Names checked when staged, against the archive as the changes before leave it.
        {tavmerk_put_bytes(a.handle, "top.txt", "x", 1, TAVMERK_STORAGE_CHOSEN), TAVMERK_ERROR_REFUSED},
        {tavmerk_put_bytes(a.handle, "a/s.txt/inner", "x", 1, TAVMERK_STORAGE_CHOSEN), TAVMERK_ERROR_CONFLICT},
        {tavmerk_put_bytes(a.handle, "a/sub", "x", 1, TAVMERK_STORAGE_CHOSEN), TAVMERK_ERROR_CONFLICT},
        {tavmerk_mkdir(a.handle, "a/new/deeper"), TAVMERK_ERROR_CONFLICT},  // a file staged before
        {tavmerk_rename(a.handle, "a/z.txt", "a/new/z.txt"), TAVMERK_ERROR_CONFLICT},
        {tavmerk_rename(a.handle, "a/z.txt", "z.txt"), TAVMERK_ERROR_REFUSED},
        {tavmerk_check_name(a.handle, "a/s.txt/inner", TAVMERK_NAME_FOLDER), TAVMERK_ERROR_CONFLICT},
        {tavmerk_check_name(a.handle, "a/s.txt", TAVMERK_NAME_FOLDER), TAVMERK_ERROR_CONFLICT},
        {tavmerk_check_name(a.handle, "a", TAVMERK_NAME_FOLDER), TAVMERK_OK},
        {tavmerk_check_name(a.handle, "a/s.txt", TAVMERK_NAME_FILE), TAVMERK_OK},
        {tavmerk_check_name(a.handle, "a", TAVMERK_NAME_FILE), TAVMERK_ERROR_REFUSED},
        {tavmerk_check_name(a.handle, "a/x", 5), TAVMERK_ERROR_INVALID},
        {tavmerk_rename(a.handle, "a/new", "a/renamed"), TAVMERK_OK},  // made by the put staged before
        {tavmerk_remove(a.handle, "a/s.txt"), TAVMERK_OK},
        {tavmerk_check_name(a.handle, "a/s.txt/inner", TAVMERK_NAME_FILE), TAVMERK_OK},  // removed before
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i)
        EXPECT_EQ(rows[i].got, rows[i].want) << "row " << i;
    EXPECT_EQ(tavmerk_staged(a.handle), 3u);
    ASSERT_EQ(tavmerk_commit(a.handle, nullptr, nullptr), TAVMERK_OK) << tavmerk_last_error();
    EXPECT_EQ(tavmerk_staged(a.handle), 0u);
    tavmerk_stream* stream = nullptr;
    ASSERT_EQ(tavmerk_stream_open(a.handle, place_of(a.handle, "a/renamed"), &stream), TAVMERK_OK);
    tavmerk_status status = TAVMERK_OK;
    EXPECT_EQ(read_all(stream, status), "new");
    tavmerk_stream_close(stream);
    stream = nullptr;
    EXPECT_EQ(tavmerk_stream_open(a.handle, place_of(a.handle, "a/s.txt"), &stream), TAVMERK_ERROR_NOT_FOUND);
    tavmerk_stream_close(stream);
}

// The content at `path` after a reload, or "<none>".
std::string content_at(tavmerk_archive* archive, const std::string& path)
{
    tavmerk_stream* stream = nullptr;
    if (tavmerk_stream_open(archive, place_of(archive, path), &stream) != TAVMERK_OK)
        return "<none>";
    tavmerk_status status = TAVMERK_OK;
    std::string out = read_all(stream, status);
    tavmerk_stream_close(stream);
    return status == TAVMERK_OK ? out : "<damaged>";
}

TEST(LibraryChanges, LaterChangesSeeARenameOntoTheOtherMethod)
{
    // a/s.txt (stored) renamed onto a/z.txt (zlib) is decoded and stored
    // again at the commit; a later change to a/z.txt must act on that.
    const std::string zlib_text = test::sample_data(5000, 1, true);
    struct Row {
        const char* name;
        std::function<tavmerk_status(tavmerk_archive*)> then;
        std::vector<std::pair<std::string, std::string>> want;  // path, content
    };
    const std::vector<Row> rows = {
        {"put", [](tavmerk_archive* a) { return tavmerk_put_bytes(a, "a/z.txt", "new", 3, 0); },
         {{"a/z.txt", "new"}, {"a/s.txt", "<none>"}}},
        {"remove", [](tavmerk_archive* a) { return tavmerk_remove(a, "a/z.txt"); },
         {{"a/z.txt", "<none>"}, {"a/s.txt", "<none>"}}},
        {"rename", [](tavmerk_archive* a) { return tavmerk_rename(a, "a/z.txt", "a/moved"); },
         {{"a/moved", "stored"}, {"a/z.txt", "<none>"}}},
        {"rename onto zlib", [](tavmerk_archive* a) { return tavmerk_rename(a, "a/z.txt", "a/y.txt"); },
         {{"a/y.txt", "stored"}, {"a/z.txt", "<none>"}}},
        {"rename onto stored", [](tavmerk_archive* a) { return tavmerk_rename(a, "a/z.txt", "a/t.txt"); },
         {{"a/t.txt", "stored"}, {"a/z.txt", "<none>"}}},
    };
    for (const Row& row : rows) {
        test::ScratchDir dir;
        test::ArchiveBuilder b;
        b.folder("a").stored("s.txt", "stored").compressed("z.txt", zlib_text);
        b.compressed("y.txt", test::sample_data(3000, 2, true)).stored("t.txt", "plain");
        const std::string pak = dir / "a.pak";
        test::write_file(pak, b.build().bytes);
        Archive a;
        ASSERT_EQ(tavmerk_open(pak.c_str(), TAVMERK_UPDATE, &a.handle), TAVMERK_OK);
        ASSERT_EQ(tavmerk_rename(a.handle, "a/s.txt", "a/z.txt"), TAVMERK_OK);
        ASSERT_EQ(row.then(a.handle), TAVMERK_OK) << row.name;
        ASSERT_EQ(tavmerk_commit(a.handle, nullptr, nullptr), TAVMERK_OK) << row.name << ": " << tavmerk_last_error();
        for (const auto& [path, content] : row.want)
            EXPECT_EQ(content_at(a.handle, path), content) << row.name << ": " << path;
        EXPECT_EQ(tavmerk_verify(a.handle, nullptr, nullptr, nullptr, nullptr), TAVMERK_OK) << row.name;
    }
}

TEST(LibraryChanges, PlacesFromAnEarlierDirectoryReachOnlyTheirOwnRecord)
{
    // Another handle commits between the listing and the use of b/x's
    // place: a put of a/new moves every place after it (b/x keeps its
    // record), a put of b/x gives it another record.
    using Act = std::function<tavmerk_status(tavmerk_archive*, uint64_t, const std::string&)>;
    const auto put_new = [](tavmerk_archive* a) { return tavmerk_put_bytes(a, "a/new", "n", 1, 0); };
    const auto replace_x = [](tavmerk_archive* a) { return tavmerk_put_bytes(a, "b/x", "changed", 7, 0); };
    const Act remove = [](tavmerk_archive* a, uint64_t place, const std::string&) {
        const tavmerk_status staged = tavmerk_remove_place(a, place);
        return staged != TAVMERK_OK ? staged : tavmerk_commit(a, nullptr, nullptr);
    };
    const Act rename = [](tavmerk_archive* a, uint64_t place, const std::string&) {
        const tavmerk_status staged = tavmerk_rename_place(a, place, "b/z");
        return staged != TAVMERK_OK ? staged : tavmerk_commit(a, nullptr, nullptr);
    };
    const Act extract = [](tavmerk_archive* a, uint64_t place, const std::string& out) {
        return tavmerk_extract(a, out.c_str(), nullptr, 0, &place, 1, TAVMERK_EXISTING_KEEP, nullptr, nullptr,
                               nullptr, nullptr);
    };
    struct Row {
        const char* name;
        std::function<tavmerk_status(tavmerk_archive*)> other;
        Act act;
        tavmerk_status status;
        std::vector<std::pair<std::string, std::string>> want;  // path, content ("out/" + path: extracted)
    };
    const std::vector<Row> rows = {
        {"remove", put_new, remove, TAVMERK_OK, {{"b/x", "<none>"}, {"b/y", "why"}, {"a/new", "n"}}},
        {"rename", put_new, rename, TAVMERK_OK, {{"b/z", "ex"}, {"b/x", "<none>"}, {"b/y", "why"}}},
        {"extract", put_new, extract, TAVMERK_OK, {{"out/b/x", "ex"}, {"out/b/y", "<none>"}}},
        {"remove replaced", replace_x, remove, TAVMERK_ERROR_STALE, {{"b/x", "changed"}, {"b/y", "why"}}},
        {"rename replaced", replace_x, rename, TAVMERK_ERROR_STALE, {{"b/x", "changed"}, {"b/z", "<none>"}}},
        {"extract replaced", replace_x, extract, TAVMERK_ERROR_STALE, {{"out/b/x", "<none>"}}},
    };
    for (const Row& row : rows) {
        test::ScratchDir dir;
        test::ArchiveBuilder b;
        b.folder("a").stored("s.txt", "one").end().folder("b").stored("x", "ex").stored("y", "why");
        const std::string pak = dir / "a.pak";
        test::write_file(pak, b.build().bytes);
        Archive a, other;
        // A first commit rewrites the archive with room: later ones keep every record where it is.
        ASSERT_EQ(tavmerk_open(pak.c_str(), TAVMERK_UPDATE, &other.handle), TAVMERK_OK);
        ASSERT_EQ(tavmerk_mkdir(other.handle, "a/sub"), TAVMERK_OK);
        ASSERT_EQ(tavmerk_commit(other.handle, nullptr, nullptr), TAVMERK_OK);
        ASSERT_EQ(tavmerk_open(pak.c_str(), TAVMERK_UPDATE, &a.handle), TAVMERK_OK);
        const uint64_t x = place_of(a.handle, "b/x");
        ASSERT_EQ(row.other(other.handle), TAVMERK_OK);
        ASSERT_EQ(tavmerk_commit(other.handle, nullptr, nullptr), TAVMERK_OK);
        const std::string out = dir / "out";
        EXPECT_EQ(row.act(a.handle, x, out), row.status) << row.name << ": " << tavmerk_last_error();
        ASSERT_EQ(tavmerk_reload(a.handle), TAVMERK_OK);
        for (const auto& [path, content] : row.want) {
            if (path.compare(0, 4, "out/") == 0) {
                const std::string file = out + test::sep + "b" + test::sep + path.substr(6);
                EXPECT_EQ(test::exists(file) ? test::read_file(file) : "<none>", content) << row.name << ": " << path;
            } else {
                EXPECT_EQ(content_at(a.handle, path), content) << row.name << ": " << path;
            }
        }
    }
}

// The archive's versions as tavmerk_versions lists them.
struct Listed {
    uint32_t version, files, added, changed, removed, flags;
    std::string summary;
    bool operator==(const Listed& o) const
    {
        return version == o.version && files == o.files && added == o.added && changed == o.changed &&
               removed == o.removed && flags == o.flags && summary == o.summary;
    }
};

std::ostream& operator<<(std::ostream& out, const Listed& v)
{
    return out << v.version << " files " << v.files << " +" << v.added << " ~" << v.changed << " -" << v.removed
               << " flags " << v.flags << " \"" << v.summary << "\"";
}

std::vector<Listed> versions_of(tavmerk_archive* archive, int* end = nullptr)
{
    const tavmerk_version_info* versions = nullptr;
    size_t count = 0;
    std::vector<Listed> listed;
    EXPECT_EQ(tavmerk_versions(archive, &versions, &count, end), TAVMERK_OK) << tavmerk_last_error();
    for (size_t i = 0; i < count; ++i) {
        const tavmerk_version_info& v = versions[i];
        listed.push_back(Listed{v.version, v.files, v.added, v.changed, v.removed, v.flags, v.summary});
    }
    return listed;
}

TEST(LibraryVersions, EachCommitIsAVersionThatReadsAndUndoes)
{
    test::ScratchDir dir;
    const std::string pak = dir / "a.pak";
    const std::string zlib_text = test::sample_data(5000, 1, true);
    test::ArchiveBuilder b;
    b.room = 4096;  // commits in place: the archive as built is the first version recorded
    b.folder("a").stored("s.txt", "one").compressed("z.txt", zlib_text);
    test::write_file(pak, b.build().bytes);
    Archive a;
    ASSERT_EQ(tavmerk_open(pak.c_str(), TAVMERK_UPDATE, &a.handle), TAVMERK_OK);
    ASSERT_EQ(tavmerk_put_bytes(a.handle, "a/s.txt", "two", 3, TAVMERK_STORAGE_CHOSEN), TAVMERK_OK);
    ASSERT_EQ(tavmerk_commit(a.handle, nullptr, nullptr), TAVMERK_OK) << tavmerk_last_error();
    ASSERT_EQ(tavmerk_put_bytes(a.handle, "a/new", "n", 1, TAVMERK_STORAGE_CHOSEN), TAVMERK_OK);
    ASSERT_EQ(tavmerk_remove(a.handle, "a/z.txt"), TAVMERK_OK);
    ASSERT_EQ(tavmerk_commit_summary(a.handle, "mine\nover two lines", nullptr, nullptr), TAVMERK_OK);

    const uint32_t all = TAVMERK_VERSION_TIME_KNOWN | TAVMERK_VERSION_COUNTS_KNOWN | TAVMERK_VERSION_DATA_KEPT;
    const uint32_t oldest = TAVMERK_VERSION_TIME_KNOWN | TAVMERK_VERSION_DATA_KEPT;
    int end = -1;
    EXPECT_EQ(versions_of(a.handle, &end), (std::vector<Listed>{{2, 2, 1, 0, 1, all, "mine over two lines"},
                                                                {1, 2, 0, 1, 0, all, "library commit"},
                                                                {0, 2, 0, 0, 0, oldest, ""}}));
    EXPECT_EQ(end, TAVMERK_HISTORY_COMPLETE);

    // Each version read as the current one is: entries, streams, verify
    // and extract (a/new and a/z.txt never stand in one version).
    struct Row {
        const char* at;
        std::string s, z, added;
    };
    for (const Row& row : {Row{"~2", "one", zlib_text, "<none>"}, Row{"0", "one", zlib_text, "<none>"},
                           Row{"~1", "two", zlib_text, "<none>"}, Row{"2", "two", "<none>", "n"}}) {
        Archive at;
        ASSERT_EQ(tavmerk_open_version(pak.c_str(), row.at, &at.handle), TAVMERK_OK) << row.at;
        EXPECT_EQ(content_at(at.handle, "a/s.txt"), row.s) << row.at;
        EXPECT_EQ(content_at(at.handle, "a/z.txt"), row.z) << row.at;
        EXPECT_EQ(content_at(at.handle, "a/new"), row.added) << row.at;
        EXPECT_EQ(tavmerk_verify(at.handle, nullptr, nullptr, nullptr, nullptr), TAVMERK_OK) << row.at;
        const std::string out = dir / (std::string("out") + row.at);
        ASSERT_EQ(tavmerk_extract(at.handle, out.c_str(), nullptr, 0, nullptr, 0, TAVMERK_EXISTING_KEEP, nullptr,
                                  nullptr, nullptr, nullptr),
                  TAVMERK_OK)
            << row.at << ": " << tavmerk_last_error();
        const std::string z = out + test::sep + "a" + test::sep + "z.txt";
        const std::string added = out + test::sep + "a" + test::sep + "new";
        EXPECT_EQ(test::read_file(out + test::sep + "a" + test::sep + "s.txt"), row.s) << row.at;
        EXPECT_EQ(test::exists(z) ? test::read_file(z) : "<none>", row.z) << row.at;
        EXPECT_EQ(test::exists(added) ? test::read_file(added) : "<none>", row.added) << row.at;
        EXPECT_EQ(versions_of(at.handle).size(), 3u) << row.at;
        // Read only: no change, no undo.
        EXPECT_EQ(tavmerk_put_bytes(at.handle, "a/x", "x", 1, TAVMERK_STORAGE_CHOSEN), TAVMERK_ERROR_INVALID);
        EXPECT_EQ(tavmerk_undo(at.handle, "0", nullptr), TAVMERK_ERROR_INVALID);
    }

    // "~1" is resolved once: a reload after another commit keeps version 1.
    Archive one;
    ASSERT_EQ(tavmerk_open_version(pak.c_str(), "~1", &one.handle), TAVMERK_OK);
    ASSERT_EQ(tavmerk_put_bytes(a.handle, "a/s.txt", "three", 5, TAVMERK_STORAGE_CHOSEN), TAVMERK_OK);

    // Undo refuses staged changes and versions it cannot have, leaving the
    // archive byte for byte.
    const std::string before = test::read_file(pak);
    EXPECT_EQ(tavmerk_undo(a.handle, "0", nullptr), TAVMERK_ERROR_INVALID);
    EXPECT_NE(std::string(tavmerk_last_error()).find("changes are staged"), std::string::npos);
    ASSERT_EQ(tavmerk_commit(a.handle, nullptr, nullptr), TAVMERK_OK);
    ASSERT_EQ(tavmerk_reload(one.handle), TAVMERK_OK);
    EXPECT_EQ(content_at(one.handle, "a/s.txt"), "two");
    EXPECT_EQ(versions_of(one.handle).front().version, 3u);
    const std::string committed = test::read_file(pak);
    EXPECT_NE(committed, before);
    struct Refused {
        const char* to;
        tavmerk_status status;
        std::string message;
    };
    for (const Refused& row : {Refused{"~4", TAVMERK_ERROR_NO_VERSION, "a.pak: no version ~4"},
                               Refused{"9", TAVMERK_ERROR_NO_VERSION, "a.pak: no version 9"},
                               Refused{"-1", TAVMERK_ERROR_INVALID, "a.pak: -1: a version is K or ~K"}}) {
        EXPECT_EQ(tavmerk_undo(a.handle, row.to, nullptr), row.status) << row.to;
        EXPECT_NE(std::string(tavmerk_last_error()).find(row.message), std::string::npos) << tavmerk_last_error();
        EXPECT_EQ(test::read_file(pak), committed) << row.to;
    }

    // Undo to the version before, then to the first with a summary; the
    // handle follows each.
    ASSERT_EQ(tavmerk_undo(a.handle, nullptr, nullptr), TAVMERK_OK) << tavmerk_last_error();
    EXPECT_EQ(content_at(a.handle, "a/s.txt"), "two");
    EXPECT_EQ(content_at(a.handle, "a/new"), "n");
    ASSERT_EQ(tavmerk_undo(a.handle, "0", "back to the start"), TAVMERK_OK) << tavmerk_last_error();
    EXPECT_EQ(content_at(a.handle, "a/s.txt"), "one");
    EXPECT_EQ(content_at(a.handle, "a/z.txt"), zlib_text);
    EXPECT_EQ(content_at(a.handle, "a/new"), "<none>");
    const std::vector<Listed> listed = versions_of(a.handle);
    ASSERT_EQ(listed.size(), 6u);
    EXPECT_EQ(listed[0], (Listed{5, 2, 1, 1, 1, all, "back to the start"}));
    EXPECT_EQ(listed[1], (Listed{4, 2, 0, 1, 0, all, "undo to version 2"}));
    EXPECT_EQ(tavmerk_verify(a.handle, nullptr, nullptr, nullptr, nullptr), TAVMERK_OK);
}

TEST(LibraryStatus, DamagedRecordsAreToldByPlace)
{
    test::ScratchDir dir;
    test::ArchiveBuilder b;
    b.folder("a").stored("good", "fine").stored("bad", "data");
    b.last().checksum = 1;
    const std::string pak = dir / "a.pak";
    test::write_file(pak, b.build().bytes);
    Archive a;
    ASSERT_EQ(tavmerk_open(pak.c_str(), TAVMERK_READ, &a.handle), TAVMERK_OK);
    std::vector<std::pair<uint64_t, std::string>> problems;
    const auto tell = [](void* context, uint64_t place, const char* message) {
        static_cast<decltype(problems)*>(context)->emplace_back(place, message);
        return 1;
    };
    EXPECT_EQ(tavmerk_verify(a.handle, tell, &problems, nullptr, nullptr), TAVMERK_ERROR_DAMAGED);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], std::make_pair(place_of(a.handle, "a/bad"), std::string("bad record checksum")));

    tavmerk_stream* stream = nullptr;
    ASSERT_EQ(tavmerk_stream_open(a.handle, place_of(a.handle, "a/bad"), &stream), TAVMERK_OK);
    tavmerk_status status = TAVMERK_OK;
    read_all(stream, status);
    EXPECT_EQ(status, TAVMERK_ERROR_DAMAGED);
    tavmerk_stream_close(stream);
}

TEST(LibraryCancel, ProgressCallbackStopsVerifyAndExtract)
{
    test::ScratchDir dir;
    test::ArchiveBuilder b;
    b.folder("a");
    for (int i = 0; i < 50; ++i)
        b.stored("f" + std::to_string(i), test::sample_data(1000, uint32_t(i), false));
    const std::string pak = dir / "a.pak";
    test::write_file(pak, b.build().bytes);
    Archive a;
    ASSERT_EQ(tavmerk_open(pak.c_str(), TAVMERK_READ, &a.handle), TAVMERK_OK);
    struct Count {
        uint64_t calls = 0, records = 0;
    } count;
    const auto stop_at_three = [](void* context, uint64_t, uint64_t records) {
        auto* c = static_cast<Count*>(context);
        ++c->calls;
        c->records = records;
        return records < 3 ? 1 : 0;
    };
    EXPECT_EQ(tavmerk_verify(a.handle, nullptr, nullptr, stop_at_three, &count), TAVMERK_ERROR_CANCELLED);
    EXPECT_EQ(count.calls, 3u);
    count = Count();
    const std::string out = dir / "out";
    EXPECT_EQ(tavmerk_extract(a.handle, out.c_str(), nullptr, 0, nullptr, 0, TAVMERK_EXISTING_KEEP, nullptr, nullptr,
                              stop_at_three, &count),
              TAVMERK_ERROR_CANCELLED);
    EXPECT_EQ(count.calls, 3u);
    const std::string first = out + test::sep + "a" + test::sep + "f0";
    EXPECT_TRUE(test::exists(first));
    EXPECT_FALSE(test::exists(out + test::sep + "a" + test::sep + "f49"));

    // The three rules for a file that stands there already, one glob.
    test::write_file(first, std::string("mine"));
    const char* const glob[] = {"a/f0"};
    struct Row {
        int existing;
        tavmerk_status status;
        std::string content;
    };
    for (const Row& row : {Row{TAVMERK_EXISTING_KEEP, TAVMERK_ERROR_INCOMPLETE, "mine"},
                           Row{TAVMERK_EXISTING_SKIP, TAVMERK_OK, "mine"},
                           Row{TAVMERK_EXISTING_REPLACE, TAVMERK_OK, test::sample_data(1000, 0, false)}}) {
        EXPECT_EQ(tavmerk_extract(a.handle, out.c_str(), glob, 1, nullptr, 0, row.existing, nullptr, nullptr, nullptr,
                                  nullptr),
                  row.status)
            << row.existing;
        EXPECT_EQ(test::read_file(first), row.content) << row.existing;
    }
}

TEST(LibraryCancel, CancelledCommitLeavesTheArchiveByteForByte)
{
    test::ScratchDir dir;
    const std::string pak = dir / "a.pak";
    test::write_file(pak, sample_archive());
    const std::string before = test::read_file(pak);
    Archive a;
    ASSERT_EQ(tavmerk_open(pak.c_str(), TAVMERK_UPDATE, &a.handle), TAVMERK_OK);
    const std::string data = test::sample_data(300000, 4, true);
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(tavmerk_put_bytes(a.handle, ("a/n" + std::to_string(i)).c_str(), data.data(), data.size(),
                                    TAVMERK_STORAGE_CHOSEN),
                  TAVMERK_OK);
    ASSERT_EQ(tavmerk_remove(a.handle, "a/s.txt"), TAVMERK_OK);
    for (uint64_t stop_at : {0u, 1u, 5u}) {
        const auto cancel = [](void* context, uint64_t, uint64_t records) {
            return records < *static_cast<uint64_t*>(context) ? 1 : 0;
        };
        EXPECT_EQ(tavmerk_commit(a.handle, cancel, &stop_at), TAVMERK_ERROR_CANCELLED) << stop_at;
        EXPECT_EQ(test::read_file(pak), before);
        EXPECT_EQ(tavmerk_staged(a.handle), 9u);
    }
    ASSERT_EQ(tavmerk_commit(a.handle, nullptr, nullptr), TAVMERK_OK);
    EXPECT_NE(place_of(a.handle, "a/n7"), UINT64_MAX);
    EXPECT_EQ(tavmerk_verify(a.handle, nullptr, nullptr, nullptr, nullptr), TAVMERK_OK);
}

TEST(LibraryThreads, StreamsOfOneArchiveReadInParallel)
{
    test::ScratchDir dir;
    const std::string pak = dir / "a.pak";
    test::write_file(pak, sample_archive());
    Archive a;
    ASSERT_EQ(tavmerk_open(pak.c_str(), TAVMERK_READ, &a.handle), TAVMERK_OK);
    const uint64_t place = place_of(a.handle, "a/large");
    tavmerk_stream* shared = nullptr;
    ASSERT_EQ(tavmerk_stream_open(a.handle, place, &shared), TAVMERK_OK);
    ASSERT_EQ(tavmerk_stream_size(shared), large.size());
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < wrong.size(); ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            tavmerk_stream* own = nullptr;
            if (tavmerk_stream_open(a.handle, place, &own) != TAVMERK_OK)
                return void(++wrong[t]);
            std::vector<char> piece(100000);
            for (int i = 0; i < 20; ++i) {
                const uint64_t at = rng() % large.size();
                size_t got = 0;
                if (tavmerk_stream_seek(own, at) != TAVMERK_OK ||
                    tavmerk_stream_read(own, piece.data(), piece.size(), &got) != TAVMERK_OK ||
                    got != std::min<uint64_t>(piece.size(), large.size() - at) ||
                    large.compare(size_t(at), got, piece.data(), got) != 0)
                    ++wrong[t];
            }
            tavmerk_stream_close(own);
        });
    }
    // Meanwhile the shared stream reads the whole content on this thread.
    tavmerk_status status = TAVMERK_OK;
    EXPECT_EQ(read_all(shared, status), large);
    EXPECT_EQ(status, TAVMERK_OK);
    for (std::thread& thread : threads)
        thread.join();
    tavmerk_stream_close(shared);
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
