// Repacking end to end: console output, every rewritten field, the bytes
// appended, and what survives failures.
#include <gtest/gtest.h>

#include <filesystem>

#include "fixtures.h"

namespace {

using test::ArchiveBuilder;
using test::Bytes;
using Tree = std::vector<std::pair<std::string, std::string>>;

using Fixture = test::RepackFixture;

uint32_t field(const Bytes& bytes, size_t record, size_t at) { return test::get_be32(bytes, record + at); }
std::string slice(const Bytes& bytes, size_t at, size_t size)
{
    return std::string(bytes.begin() + long(at), bytes.begin() + long(at + size));
}

struct Record {
    uint32_t stored, expanded, checksum, offset;
};
Record record(const Bytes& bytes, size_t at)
{
    return {field(bytes, at, 0), field(bytes, at, 4), field(bytes, at, 8), field(bytes, at, 12)};
}

ArchiveBuilder sample_archive()
{
    ArchiveBuilder b;
    b.folder("top");
    b.stored("raw.txt", "old raw").last().entry_key = 0x11223344;
    b.last().id_or_tag = 0xCAFEBABE;
    b.compressed("packed.txt", "old packed contents").last().entry_key = 0x55667788;
    b.deleted("gone.txt");
    b.stored("missing.txt", "nobody wrote me");
    b.folder("sub").compressed("deep.bin", "old deep").end();
    b.last().entry_key = 0x99AABBCC;
    b.end();
    return b;
}

TEST(Repack, RewritesRecordsAppendsDataAndSetsTheCrc)
{
    Fixture f;
    const test::Built built = sample_archive().build();
    test::write_file(f.pak, built.bytes);
    const std::string raw = "new raw contents";
    const std::string packed = test::sample_data(30000, 9, true);
    const std::string deep = test::sample_data(777, 10, false);
    f.source("top/raw.txt", raw);
    f.source("top/packed.txt", packed);
    f.source("top/sub/deep.bin", deep);

    const test::RunResult r = f.repack();
    EXPECT_EQ(r.out, "Packing...\n"
                     "Unpacked file\n " + f.root + test::native("top/raw.txt\n") +
                     f.root + test::native("top/packed.txt\n") +
                     "Deleted file " + f.root + test::native("top/gone.txt\n") +
                     f.root + test::native("top/sub/deep.bin\n"));
    EXPECT_EQ(r.status, 0);

    const Bytes after = test::read_bytes(f.pak);
    const size_t end = built.bytes.size();
    const std::string packed_z = test::zlib_compress(packed);
    const std::string deep_z = test::zlib_compress(deep);
    ASSERT_EQ(after.size(), end + raw.size() + packed_z.size() + deep_z.size());

    // Data appended in directory order, compressed records as zlib level 9.
    EXPECT_EQ(slice(after, end, raw.size()), raw);
    EXPECT_EQ(slice(after, end + raw.size(), packed_z.size()), packed_z);
    EXPECT_EQ(slice(after, end + raw.size() + packed_z.size(), deep_z.size()), deep_z);

    const Record r_raw = record(after, built.record_at.at("top/raw.txt"));
    EXPECT_EQ(r_raw.offset, end);
    EXPECT_EQ(r_raw.stored, raw.size());
    EXPECT_EQ(r_raw.expanded, raw.size());
    EXPECT_EQ(r_raw.checksum, test::reference_additive(raw));
    const Record r_packed = record(after, built.record_at.at("top/packed.txt"));
    EXPECT_EQ(r_packed.offset, end + raw.size());
    EXPECT_EQ(r_packed.stored, packed_z.size());
    EXPECT_EQ(r_packed.expanded, packed.size());
    EXPECT_EQ(r_packed.checksum, test::reference_additive(packed_z));  // over the bytes as stored
    const Record r_deep = record(after, built.record_at.at("top/sub/deep.bin"));
    EXPECT_EQ(r_deep.offset, end + raw.size() + packed_z.size());
    EXPECT_EQ(r_deep.checksum, test::reference_additive(deep_z));

    // Untouched: deleted and missing records, and everything but the
    // records' four fields and the CRC.
    for (const char* same : {"top/gone.txt", "top/missing.txt"})
        EXPECT_EQ(slice(after, built.record_at.at(same), 16), slice(built.bytes, built.record_at.at(same), 16));
    Bytes masked = after;
    for (const char* changed : {"top/raw.txt", "top/packed.txt", "top/sub/deep.bin"})
        for (size_t i = 0; i < 16; ++i)
            masked[built.record_at.at(changed) + i] = built.bytes[built.record_at.at(changed) + i];
    const uint32_t dir_size = test::get_be32(after, 28);
    EXPECT_EQ(test::get_be32(after, 36), test::reference_crc32(after.data() + 40, dir_size));
    test::put_be32(masked, 36, test::get_be32(built.bytes, 36));
    EXPECT_EQ(slice(masked, 0, end), slice(built.bytes, 0, end));

    // And the archive expands to the new contents.
    const std::string out = f.dir / "again";
    ASSERT_EQ(f.expand_to(out).status, 0);
    EXPECT_EQ(test::list_tree(out), (Tree{{"top/", ""},
                                          {"top/missing.txt", "nobody wrote me"},
                                          {"top/packed.txt", packed},
                                          {"top/raw.txt", raw},
                                          {"top/sub/", ""},
                                          {"top/sub/deep.bin", deep}}));
}

TEST(Repack, WithoutSourcesOnlyTheCrcChanges)
{
    Fixture f;
    ArchiveBuilder b = sample_archive();
    Bytes bytes = b.build().bytes;
    test::put_be32(bytes, 36, 0xBADC0DE5);
    test::write_file(f.pak, bytes);
    const test::RunResult r = f.repack();
    EXPECT_EQ(r.out, "Packing...\nDeleted file " + f.root + test::native("top/gone.txt\n"));
    EXPECT_EQ(r.status, 0);
    const Bytes after = test::read_bytes(f.pak);
    test::put_be32(bytes, 36, test::reference_crc32(bytes.data() + 40, test::get_be32(bytes, 28)));
    EXPECT_EQ(after, bytes);
}

TEST(Repack, TwoPassesGrowTheArchiveByTheNewDataEachTime)
{
    Fixture f;
    const test::Built built = sample_archive().build();
    test::write_file(f.pak, built.bytes);
    ASSERT_EQ(f.expand_to(f.src).status, 0);
    ASSERT_EQ(f.repack().status, 0);
    const Bytes first = test::read_bytes(f.pak);
    ASSERT_EQ(f.repack().status, 0);
    const Bytes second = test::read_bytes(f.pak);
    const size_t growth = first.size() - built.bytes.size();
    EXPECT_EQ(growth, 7 + test::zlib_compress("old packed contents").size() + 15 +
                          test::zlib_compress("old deep").size());
    EXPECT_EQ(second.size(), first.size() + growth);
    // The directories differ only in data offsets.
    Bytes masked = second;
    for (const auto& [path, at] : built.record_at) {
        if (path == "top/gone.txt")
            continue;
        EXPECT_EQ(field(second, at, 12), field(first, at, 12) + growth) << path;
        test::put_be32(masked, at + 12, field(first, at, 12));
    }
    test::put_be32(masked, 36, test::get_be32(first, 36));
    EXPECT_EQ(slice(masked, 0, built.bytes.size()), slice(first, 0, built.bytes.size()));
}

// Data for which zlib's level-9 stream is exactly as long as the data.
std::string same_length_source()
{
    for (size_t n = 1; n < 200; ++n)
        for (uint32_t seed = 0; seed < 50; ++seed) {
            std::string data = test::sample_data(n, seed, seed % 2 == 0);
            if (test::zlib_compress(data).size() == data.size())
                return data;
        }
    return "";
}

// A source past the size handled whole (compressed in pieces) whose
// level-9 stream is exactly as long as it: noise, then zeros to even it out.
std::string large_same_length_source()
{
    return test::sample_data((size_t(9) << 20) / 2, 21, false) + std::string(1492, '\0');
}

TEST(Repack, TinyEmptyEvenSizedAndLargeSourcesRoundTrip)
{
    Fixture f;
    const std::string even = same_length_source();
    ASSERT_FALSE(even.empty());
    const std::string large = test::large_data(size_t(5) << 20, 8);
    const std::string large_z = test::zlib_compress(large);
    const std::string large_even = large_same_length_source();
    ASSERT_EQ(test::zlib_compress(large_even).size(), large_even.size());
    ArchiveBuilder b;
    b.folder("t").compressed("empty", "x").compressed("one", "xyz").compressed("two", "xyz");
    b.compressed("even", "placeholder text placeholder text").stored("raw_empty", "x");
    b.compressed("large", "x").compressed("large_even", "x").stored("large_raw", "x").end();
    const test::Built built = b.build();
    test::write_file(f.pak, built.bytes);
    f.source("t/empty", "");
    f.source("t/one", "a");
    f.source("t/two", "ab");
    f.source("t/even", even);
    f.source("t/raw_empty", "");
    f.source("t/large", large);
    f.source("t/large_even", large_even);
    f.source("t/large_raw", large);
    const test::RunResult r = f.repack();
    EXPECT_EQ(r.out, "Packing...\n" + f.root + test::native("t/empty\n") + f.root + test::native("t/one\n") + f.root +
                         test::native("t/two\n") + f.root + test::native("t/even\nUnpacked file\n ") + f.root +
                         test::native("t/raw_empty\n") + f.root + test::native("t/large\n") + f.root +
                         test::native("t/large_even\nUnpacked file\n ") + f.root + test::native("t/large_raw\n"));
    EXPECT_EQ(r.status, 0);
    const Bytes after = test::read_bytes(f.pak);
    EXPECT_EQ(record(after, built.record_at.at("t/empty")).stored, test::zlib_compress("").size());
    // The stream as long as its source is stored raw, so it reads back.
    const Record r_even = record(after, built.record_at.at("t/even"));
    EXPECT_EQ(r_even.stored, even.size());
    EXPECT_EQ(slice(after, r_even.offset, r_even.stored), even);
    // Large sources: zlib's one-shot level-9 stream, the same rule, and
    // every field as for any other record.
    const Record r_large = record(after, built.record_at.at("t/large"));
    EXPECT_EQ(r_large.stored, large_z.size());
    EXPECT_TRUE(slice(after, r_large.offset, r_large.stored) == large_z);
    EXPECT_EQ(r_large.checksum, test::reference_additive(large_z));
    const Record r_large_even = record(after, built.record_at.at("t/large_even"));
    EXPECT_EQ(r_large_even.stored, large_even.size());
    EXPECT_EQ(r_large_even.expanded, large_even.size());
    EXPECT_EQ(r_large_even.checksum, test::reference_additive(large_even));
    const Record r_large_raw = record(after, built.record_at.at("t/large_raw"));
    EXPECT_EQ(r_large_raw.offset, r_large_even.offset + large_even.size());
    EXPECT_EQ(r_large_raw.checksum, test::reference_additive(large));
    EXPECT_EQ(after.size(), r_large_raw.offset + large.size());
    const std::string out = f.dir / "out";
    ASSERT_EQ(f.expand_to(out).status, 0);
    EXPECT_TRUE(test::list_tree(out) == (Tree{{"t/", ""},
                                              {"t/empty", ""},
                                              {"t/even", even},
                                              {"t/large", large},
                                              {"t/large_even", large_even},
                                              {"t/large_raw", large},
                                              {"t/one", "a"},
                                              {"t/raw_empty", ""},
                                              {"t/two", "ab"}}));
}

TEST(Repack, DamagedArchivesAreLeftAlone)
{
    Fixture f;
    const Bytes good = sample_archive().build().bytes;
    f.source("top/raw.txt", "new");
    std::vector<Bytes> cases;
    cases.push_back({});
    cases.push_back(Bytes(good.begin(), good.begin() + 30));
    Bytes past_end = good;
    test::put_be32(past_end, 28, uint32_t(good.size()));
    cases.push_back(past_end);
    Bytes entries_past = good;
    test::put_be32(entries_past, 28, test::get_be32(good, 28) - 2);
    cases.push_back(entries_past);
    for (const Bytes& bytes : cases) {
        test::write_file(f.pak, bytes);
        const test::RunResult r = f.repack();
        EXPECT_EQ(r.out, "Error in dir file " + f.pak + "\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(test::read_bytes(f.pak), bytes);
    }
}

TEST(Repack, BadFolderIdKeepsTheOldDirectory)
{
    Fixture f;
    ArchiveBuilder b;
    b.folder("t").stored("first", "1").folder("bad").end();
    b.last().id_or_tag = 5;
    b.stored("after", "3").end();
    const Bytes bytes = b.build().bytes;
    test::write_file(f.pak, bytes);
    f.source("t/first", "changed");
    const test::RunResult r = f.repack();
    EXPECT_EQ(r.out, "Packing...\nUnpacked file\n " + f.root + test::native("t/first\nError in dir id\n"));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(test::read_bytes(f.pak), bytes);  // the data appended cut off again
}

TEST(Repack, FailedAppendKeepsTheArchiveAsItWas)
{
    if (!test::file_size_limits_supported)
        GTEST_SKIP() << "needs a file-size limit (POSIX resource limits)";
    Fixture f;
    ArchiveBuilder b;
    b.folder("t").stored("a", "1").compressed("b", "2").stored("c", "3").end();
    const Bytes bytes = b.build().bytes;
    test::write_file(f.pak, bytes);
    f.source("t/a", "small");
    f.source("t/b", test::sample_data(50000, 11, false));
    f.source("t/c", "also small");
    const test::RunResult r = f.repack({"", (long long)(bytes.size() + 1000), ""});
    EXPECT_EQ(r.out, "Packing...\nUnpacked file\n " + f.root + test::native("t/a\nCan't write data file ") + f.pak + "\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(test::read_bytes(f.pak), bytes);
    const std::string out = f.dir / "out";
    ASSERT_EQ(f.expand_to(out).status, 0);
    EXPECT_EQ(test::list_tree(out), (Tree{{"t/", ""}, {"t/a", "1"}, {"t/b", "2"}, {"t/c", "3"}}));
}

// Sources and records several times larger than the memory allowed go
// through whole, and expand again, under the same limit.
TEST(Repack, LargeSourcesUnderAMemoryLimit)
{
    if (!test::file_size_limits_supported)
        GTEST_SKIP() << "needs POSIX resource limits";
    if (test::built_with_address_sanitizer)
        GTEST_SKIP() << "the sanitizer's shadow memory does not fit a memory limit";
    Fixture f;
    ArchiveBuilder b;
    b.folder("t").stored("raw", "1").compressed("packed", "2").end();
    test::write_file(f.pak, b.build().bytes);
    const std::string raw = test::sample_data(size_t(6) << 20, 51, false);
    const std::string packed = test::large_data(size_t(6) << 20, 52);
    f.source("t/raw", raw);
    f.source("t/packed", packed);
    test::RunOptions limited;
    limited.memory_limit = 24 << 20;
    const test::RunResult r = f.repack(limited);
    EXPECT_EQ(r.out, "Packing...\nUnpacked file\n " + f.root + test::native("t/raw\n") + f.root +
                         test::native("t/packed\n"));
    EXPECT_EQ(r.status, 0);
    const std::string out = f.dir / "out";
    const test::RunResult e = test::run_tool({"/E", f.pak, out}, limited);
    EXPECT_EQ(e.status, 0);
    EXPECT_EQ(e.out, "Unpacked file " + out + test::native("/t/raw\n") + out + test::native("/t/packed\n"));
    EXPECT_TRUE(test::list_tree(out) == (Tree{{"t/", ""}, {"t/packed", packed}, {"t/raw", raw}}));
}

TEST(Repack, OffsetsPast4GiBAreRefused)
{
    Fixture f;
    ArchiveBuilder b;
    b.folder("t").stored("big", "x").stored("near_end", "y").stored("fits", "z").end();
    const test::Built built = b.build();
    test::write_file(f.pak, built.bytes);
    // Sparse files: a source of exactly 4 GiB, and an archive whose end
    // leaves room for 3 more bytes below 4 GiB.
    f.source("t/big", "");
    std::filesystem::resize_file(f.src + "/t/big", 1ULL << 32);
    f.source("t/near_end", "four");
    f.source("t/fits", "abc");
    std::filesystem::resize_file(f.pak, (1ULL << 32) - 3);
    const test::RunResult r = f.repack();
    EXPECT_EQ(r.out, "Packing...\nFile " + f.root + test::native("t/big too large\nFile ") + f.root +
                         test::native("t/near_end too large\nUnpacked file\n ") + f.root + test::native("t/fits\n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(std::filesystem::file_size(f.pak), 1ULL << 32);
    const Bytes head = test::read_head(f.pak, built.bytes.size());
    EXPECT_EQ(record(head, built.record_at.at("t/fits")).offset, (1ULL << 32) - 3);
    EXPECT_EQ(record(head, built.record_at.at("t/big")).stored, 1u);
    EXPECT_EQ(record(head, built.record_at.at("t/near_end")).stored, 1u);
}

TEST(Repack, RoundTripOfAnEditedTree)
{
    Fixture f;
    ArchiveBuilder b;
    b.folder("game").compressed("script.txt", test::sample_data(40000, 12, true));
    b.stored("image.raw", test::sample_data(9000, 13, false)).folder("levels");
    for (int i = 0; i < 5; ++i)
        b.compressed("level" + std::to_string(i), test::sample_data(3000 + size_t(i), uint32_t(20 + i), true));
    b.end().end();
    test::write_file(f.pak, b.build().bytes);
    ASSERT_EQ(f.expand_to(f.src).status, 0);
    f.source("game/script.txt", "rewritten script");
    f.source("game/levels/level3", test::sample_data(123456, 99, true));
    f.source("game/image.raw", "");
    const Tree edited = test::list_tree(f.src);
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(f.repack().status, 0);
        const std::string out = f.dir / ("out" + std::to_string(pass));
        const test::RunResult r = f.expand_to(out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(test::list_tree(out), edited);
    }
}

}  // namespace
