// Writes the fuzzers' seed corpus: small archives of every shape, built by
// the tests' archive builder, as CORPUS/<target>/seed-<name>. Files of other
// names (kept cases of past findings) are left alone.
//   make_corpus fuzz/corpus
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "archive_builder.h"
#include "commit_plan.h"
#include "fixed_tree.h"
#include "sample_archive.h"
#include "test_support.h"

namespace {

using test::ArchiveBuilder;
using test::Bytes;
using Seeds = std::vector<std::pair<std::string, Bytes>>;

// Archives for expansion and the walk: every kind of entry, name and damage
// the tool has a rule for.
Seeds archive_shapes()
{
    Seeds seeds;
    seeds.emplace_back("sample", test::sample_archive_bytes());

    ArchiveBuilder mixed;
    mixed.folder("data").stored("readme.txt", "plain text\n").compressed("big.txt", test::sample_data(3000, 1, true));
    mixed.stored("empty.bin", "").deleted("old.txt");
    mixed.folder("nested").folder("deeper").compressed("leaf.bin", test::sample_data(300, 2, false)).end().end();
    mixed.folder("no_files").folder("still_none").end().deleted("dead").end().end();
    mixed.folder("second").compressed("tiny", "t").end();
    seeds.emplace_back("mixed", mixed.build().bytes);

    ArchiveBuilder names;
    names.folder("..").stored("up", "x").end();
    names.folder("x").stored("../../up", "x").stored("a/b/c", "levels").stored("back\\slash", "bs").end();
    names.folder("").stored("..", "x").stored("", "empty name").stored(".", "dot").stored("end/", "slash").end();
    names.folder("nul").stored(std::string("cut\0tail", 8), "nul").folder(std::string("d\0ir", 4)).stored("f", "f");
    names.end().end();
    names.folder(".").folder(".").stored("dots", "d").end().end();
    seeds.emplace_back("names", names.build().bytes);

    ArchiveBuilder bad_id;
    bad_id.folder("t").stored("first", "1").folder("bad").stored("inside", "2").end();
    bad_id.last().id_or_tag = 9;
    bad_id.stored("after", "3").end();
    seeds.emplace_back("bad-folder-id", bad_id.build().bytes);

    ArchiveBuilder top;
    top.folder("kind").stored("f", "1").end();
    top.last().kind = 7;
    top.last().id_or_tag = 0x12345678;
    top.folder("none").stored("f", "2").end();
    top.last().child_count = 0x80000000;
    seeds.emplace_back("top-level-fields", top.build().bytes);

    Bytes negative = top.build().bytes;
    test::put_be32(negative, 16, 0x80000002);
    seeds.emplace_back("negative-root-count", negative);

    ArchiveBuilder data;
    data.folder("d").stored("past_end", "abcdef").last().data_offset = 0xFFFFFF00;
    data.compressed("runs_over", "abc").last().stored_size = 0x7FFFFFFF;
    data.stored("looks_packed", test::zlib_compress("hello"));
    std::string damaged = test::zlib_compress(test::sample_data(2000, 3, true));
    damaged[damaged.size() / 2] ^= 0x55;
    data.compressed("damaged", test::sample_data(2000, 3, true)).last().stored_bytes = damaged;
    data.compressed("short", "abc").last().expanded_size = 10;
    data.compressed("long", test::sample_data(500, 4, true)).last().expanded_size = 100;
    data.compressed("claims_4g", "small").last().expanded_size = 0xFFFFFFF0;
    data.compressed("no_room", "x").last().expanded_size = 0;
    data.end();
    seeds.emplace_back("file-data", data.build().bytes);

    ArchiveBuilder deep;
    for (int i = 0; i < 40; ++i)
        deep.folder("l" + std::to_string(i));
    deep.stored("bottom", "deep");
    for (int i = 0; i < 40; ++i)
        deep.end();
    seeds.emplace_back("deep", deep.build().bytes);

    // Levels past the output tree's 128 open folders, in branches that part
    // and meet again.
    ArchiveBuilder levels;
    std::string chain;
    for (int i = 0; i < 140; ++i)
        chain += "l/";
    levels.folder("top").folder(chain + "a").stored("f", "1").end();
    levels.folder(chain.substr(0, 2 * 135) + "b").stored("g", "2").end().stored("h", "3").end();
    seeds.emplace_back("deep-levels", levels.build().bytes);

    ArchiveBuilder many;
    for (int i = 0; i < 6; ++i)
        many.folder("r" + std::to_string(i)).stored("f", std::to_string(i)).end();
    many.folder("empty").end();
    seeds.emplace_back("many-roots", many.build().bytes);

    const Bytes good = mixed.build().bytes;
    seeds.emplace_back("empty-file", Bytes());
    seeds.emplace_back("short-header", Bytes(good.begin(), good.begin() + 39));
    Bytes past_end = good;
    test::put_be32(past_end, 28, uint32_t(good.size()));
    seeds.emplace_back("directory-past-end", past_end);
    Bytes cut = good;
    test::put_be32(cut, 28, test::get_be32(good, 28) - 3);
    seeds.emplace_back("entries-past-block", cut);
    ArchiveBuilder counts;
    counts.folder("d").stored("a", "1").end();
    counts.last().child_count = 5;
    seeds.emplace_back("count-past-block", counts.build().bytes);
    return seeds;
}

// Archives for repacking: records naming the fixed tree's files in every
// way the tool resolves, stored and compressed, next to records it passes
// over.
Seeds repack_shapes()
{
    Seeds seeds;
    ArchiveBuilder plain;
    plain.folder("d").stored("a", "old a").compressed("text", "old text").folder("sub").stored("bin", "old").end();
    plain.compressed("empty", "was not empty").deleted("gone").stored("missing", "m").end();
    plain.folder("e").compressed("one", "old one").end();
    seeds.emplace_back("plain", plain.build().bytes);

    ArchiveBuilder methods;
    methods.folder("d").compressed("a", "old a").stored("text", "old text").folder("sub").compressed("bin", "o");
    methods.end().stored("empty", "x").end();
    methods.folder("e").stored("one", "").end();
    seeds.emplace_back("methods-swapped", methods.build().bytes);

    ArchiveBuilder paths;
    paths.folder("d").stored("./a", "1").stored("sub//bin", "2").stored("a/", "3").stored(".", "4").end();
    paths.folder("").folder("d").compressed("text", "5").end().end();
    paths.folder("d/sub").stored("bin", "6").end();
    paths.folder("..").stored("d/a", "7").end();
    paths.folder("x").stored("../d/a", "8").end();
    paths.folder("d").stored(std::string("a\0ignored", 9), "9").stored("sub", "folder").end();
    seeds.emplace_back("paths", paths.build().bytes);

    ArchiveBuilder again;
    again.folder("d");
    for (int i = 0; i < 4; ++i)
        again.stored("a", "same file " + std::to_string(i)).compressed("text", "t");
    again.end();
    seeds.emplace_back("same-file-again", again.build().bytes);

    ArchiveBuilder bad_id;
    bad_id.folder("d").stored("a", "1").folder("bad").end();
    bad_id.last().id_or_tag = 5;
    bad_id.compressed("text", "2").end();
    seeds.emplace_back("bad-folder-id", bad_id.build().bytes);

    ArchiveBuilder tagged;
    tagged.header_filler = std::string("0123456789abcdef") + "UNTOUCH!" + "KEEP";
    tagged.folder("e").compressed("one", "1").end();
    tagged.last().entry_key = 0xDEADBEEF;
    tagged.last().id_or_tag = 0xFEEDFACE;
    seeds.emplace_back("header-and-tags", tagged.build().bytes);

    const Bytes good = plain.build().bytes;
    Bytes cut = good;
    test::put_be32(cut, 28, test::get_be32(good, 28) - 3);
    seeds.emplace_back("entries-past-block", cut);
    seeds.emplace_back("short-header", Bytes(good.begin(), good.begin() + 30));
    return seeds;
}

// Plans for the commit fuzzer (commit_plan.h): one for each way of making
// the payload, and each storage, base and follow-up commit among them.
Seeds commit_plans()
{
    using fuzz::BeforeFrom;
    using fuzz::FollowUp;
    using fuzz::ImageFrom;
    using fuzz::PayloadFrom;
    namespace flag = fuzz::flag;
    const auto plan = [](PayloadFrom payload, ImageFrom image, BeforeFrom before, uint8_t flags, uint8_t folder,
                         FollowUp follow_up) {
        fuzz::Plan p;
        p.payload = payload;
        p.image = image;
        p.before = before;
        p.flags = flags;
        p.folder = folder;
        p.follow_up = follow_up;
        p.prefix = 8;
        return p;
    };
    const auto bytes_of = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    const uint8_t t = 0, u = 1, w = 2;
    const uint8_t in_place = flag::with_room | flag::fix_checksum;
    Seeds seeds;

    seeds.emplace_back("raw-bytes", fuzz::encode_plan(plan(PayloadFrom::raw, ImageFrom::input, BeforeFrom::input, 0, t,
                                                           FollowUp::put),
                                                      bytes_of("content that is only content\n")));
    seeds.emplace_back("raw-compressible", fuzz::encode_plan(plan(PayloadFrom::raw, ImageFrom::input, BeforeFrom::input,
                                                                  flag::chosen | flag::with_room, u, FollowUp::remove),
                                                             bytes_of(test::sample_data(1500, 5, true))));

    // A directory of one empty folder, sealed by the target.
    ArchiveBuilder folder_only;
    folder_only.folder("x").end();
    const Bytes folder_archive = folder_only.build().bytes;
    const Bytes folder_block(folder_archive.begin() + 40, folder_archive.end());
    fuzz::Plan input_image =
        plan(PayloadFrom::record, ImageFrom::input, BeforeFrom::input, in_place, w, FollowUp::mkdir);
    input_image.block = uint8_t(folder_block.size());
    input_image.root_count = 1;
    Bytes material(8, 'p');
    material.insert(material.end(), folder_block.begin(), folder_block.end());
    seeds.emplace_back("record-input-image", fuzz::encode_plan(input_image, material));
    input_image.flags |= flag::image_marker;
    input_image.follow_up = FollowUp::none;
    seeds.emplace_back("record-input-image-with-room-marker", fuzz::encode_plan(input_image, material));

    // Another archive's header and directory, whole, as the image.
    ArchiveBuilder other;
    other.folder("t").stored("a", "other").end();
    const Bytes other_archive = other.build().bytes;
    const size_t other_size = 40 + test::get_be32(other_archive, 28);
    fuzz::Plan unsealed =
        plan(PayloadFrom::record, ImageFrom::input_unsealed, BeforeFrom::base, in_place, u, FollowUp::put);
    unsealed.block = uint8_t(other_size);
    material.assign(8, 'p');
    material.insert(material.end(), other_archive.begin(), other_archive.begin() + long(other_size));
    seeds.emplace_back("record-other-archive-directory", fuzz::encode_plan(unsealed, material));

    material.assign(8, 'p');
    seeds.emplace_back("record-base-directory",
                       fuzz::encode_plan(plan(PayloadFrom::record, ImageFrom::base_directory, BeforeFrom::input,
                                              in_place, u, FollowUp::mkdir),
                                         material));
    seeds.emplace_back("record-current-directory",
                       fuzz::encode_plan(plan(PayloadFrom::record, ImageFrom::current_directory, BeforeFrom::current,
                                              in_place, u, FollowUp::mkdir),
                                         material));
    seeds.emplace_back("record-current-directory-before-base",
                       fuzz::encode_plan(plan(PayloadFrom::record, ImageFrom::current_directory, BeforeFrom::base,
                                              in_place, w, FollowUp::remove),
                                         material));
    seeds.emplace_back("record-empty-directory",
                       fuzz::encode_plan(plan(PayloadFrom::record, ImageFrom::empty_directory, BeforeFrom::base,
                                              in_place, u, FollowUp::none),
                                         material));
    seeds.emplace_back("record-empty-directory-rewritten",
                       fuzz::encode_plan(plan(PayloadFrom::record, ImageFrom::empty_directory, BeforeFrom::base,
                                              flag::fix_checksum, w, FollowUp::mkdir),
                                         material));
    seeds.emplace_back("record-real-before",
                       fuzz::encode_plan(plan(PayloadFrom::record, ImageFrom::empty_directory, BeforeFrom::current,
                                              in_place, u, FollowUp::mkdir),
                                         material));
    seeds.emplace_back("record-then-second-file",
                       fuzz::encode_plan(plan(PayloadFrom::record, ImageFrom::empty_directory, BeforeFrom::base,
                                              in_place | flag::second_file, u, FollowUp::mkdir),
                                         material));
    seeds.emplace_back("record-stored-as-chosen",
                       fuzz::encode_plan(plan(PayloadFrom::record, ImageFrom::current_directory, BeforeFrom::current,
                                              in_place | flag::chosen, u, FollowUp::put),
                                         material));
    seeds.emplace_back("record-then-dropped-file",
                       fuzz::encode_plan(plan(PayloadFrom::record, ImageFrom::empty_directory, BeforeFrom::current,
                                              in_place | flag::drop, w, FollowUp::remove),
                                         material));

    // A trailer that claims an image one byte longer, its record starting
    // two bytes earlier: it still ends the file exactly.
    Bytes moves(fuzz::trailer_moves_size, 0);
    moves[7] = 1;
    for (size_t i = 16; i < 24; ++i)
        moves[i] = 0xFF;
    moves[23] = 0xFE;
    material.assign(8, 'p');
    material.insert(material.end(), moves.begin(), moves.end());
    seeds.emplace_back("trailer-moved-fields",
                       fuzz::encode_plan(plan(PayloadFrom::trailer, ImageFrom::empty_directory, BeforeFrom::base,
                                              in_place, u, FollowUp::mkdir),
                                         material));
    return seeds;
}

void write_seeds(const std::string& folder, const Seeds& seeds)
{
    test::make_dirs(folder);
    for (const auto& [name, bytes] : seeds)
        test::write_file(folder + "/seed-" + name, bytes);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: make_corpus CORPUS_FOLDER\n", stderr);
        return 2;
    }
    const std::string corpus = argv[1];
    write_seeds(corpus + "/expand", archive_shapes());
    write_seeds(corpus + "/walk", archive_shapes());
    write_seeds(corpus + "/repack", repack_shapes());
    write_seeds(corpus + "/commit", commit_plans());
    return 0;
}
