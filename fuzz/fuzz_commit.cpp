// Fuzz target: file content that ends like the redo record of a directory
// write cut short, stored through the engine as a new file of a small
// archive, and then another commit. The plan at the input's start
// (commit_plan.h) says how the content is made: the input's own bytes, or a
// record made by the engine's record maker and aimed at the offset the
// content lands at, its image and before-bytes taken from the input, from
// the archive's directory before or after the commit, or an empty
// directory, its trailer fields moved by the input. Whatever the content,
// every file stays live and reads back exactly, the content included, both
// from the directory at offset 0 and through what "/E" and list read
// (map_committed_archive): no stored bytes are ever taken for a record.
#include <zlib.h>

#include <map>
#include <set>
#include <tuple>

#include "archive/layout.h"
#include "archive/reader.h"
#include "archive/redo.h"
#include "archive/room.h"
#include "archive_builder.h"
#include "checksum/checksum.h"
#include "commit_plan.h"
#include "engine/archive_commit.h"
#include "engine/change_set.h"
#include "fuzz_support.h"
#include "platform/test_hooks.h"

namespace {

using fuzz::Bytes;
using fuzz::Plan;
using Files = std::map<std::string, std::string>;

// What an archive holds: its live files' contents and its folders.
struct Holding {
    Files files;
    std::set<std::string> folders;
};

struct Base {
    Bytes bytes;
    Holding holding;
    Bytes directory;  // header, directory block and the room marker after it, where one holds
};

// The bytes from offset 0 that make up the header, directory block and a
// room marker after it that holds.
Bytes directory_of(const Bytes& archive)
{
    if (archive.size() < tavmerk::header_size)
        fuzz::fail("an archive shorter than its header");
    const uint32_t block = tavmerk::directory_size(archive.data());
    size_t size = tavmerk::header_size + block;
    const uint8_t* marker = tavmerk::marker_after_directory(archive.data(), archive.size());
    if (marker && tavmerk::read_room_marker(marker, block) != 0)
        size += tavmerk::room_marker_size;
    if (size > archive.size())
        fuzz::fail("a directory past the archive's end");
    return Bytes(archive.begin(), archive.begin() + long(size));
}

const std::string tail_contents = test::sample_data(300, 11, true);
const std::string more_contents = test::sample_data(200, 12, false);
const char* const folder_names[fuzz::folder_choices] = {"t", "u", "w"};

tavmerk::Content content_of(const std::string& s)
{
    return tavmerk::Content::of_bytes(Bytes(s.begin(), s.end()));
}

tavmerk::Content content_of(const Bytes& b)
{
    return tavmerk::Content::of_bytes(b);
}

struct State {
    fuzz::Scratch scratch{"commit"};
    Base plain, roomy;

    State()
    {
        test::ArchiveBuilder b;
        b.folder("t").stored("a", "alpha\n").compressed("b", test::sample_data(2000, 7, true)).deleted("gone").end();
        b.folder("u").stored("c", test::sample_data(300, 8, false)).compressed("d", "").end();
        plain.bytes = b.build().bytes;
        plain.holding.files = {{"t/a", "alpha\n"},
                               {"t/b", test::sample_data(2000, 7, true)},
                               {"u/c", test::sample_data(300, 8, false)},
                               {"u/d", ""}};
        plain.holding.folders = {"t", "u"};
        plain.directory = directory_of(plain.bytes);

        // The same archive after a commit that outgrew its directory: written
        // anew with room, so that later commits write in place.
        write(plain.bytes);
        tavmerk::ChangeSet keep;
        keep.mkdir("t/keep");
        const tavmerk::ChangeResult made = tavmerk::commit_changes(scratch.archive(), keep);
        if (!made.ok() || !made.rewritten)
            fuzz::fail("the archive with room could not be made");
        roomy.bytes = scratch.read_archive();
        roomy.holding = plain.holding;
        roomy.holding.folders.insert("t/keep");
        roomy.directory = directory_of(roomy.bytes);
    }

    void write(const Bytes& archive) const { scratch.write_archive(archive.data(), archive.size()); }
};

const State& state()
{
    static const State s;
    return s;
}

// ---- Reading the archive back

void check_data(const tavmerk::ArchiveReader& reader, const tavmerk::FileReader& read, const Files& files,
                const std::string& how)
{
    std::set<std::string> seen;
    tavmerk::RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const tavmerk::FileEntry& e = records.entry();
        if (!e.live())
            continue;
        const auto it = files.find(e.path);
        if (it == files.end())
            fuzz::fail(how + ": a live record at " + e.path + ", where no file was stored");
        if (!seen.insert(e.path).second)
            fuzz::fail(how + ": two live records at " + e.path);
        Bytes stored(e.stored_size);
        if (!read(e.data_offset, stored.data(), stored.size()))
            fuzz::fail(how + ": the data of " + e.path + " lies outside the file");
        if (e.checksum != test::reference_additive(stored.data(), stored.size()))
            fuzz::fail(how + ": the data of " + e.path + " does not match its checksum");
        std::string contents(stored.begin(), stored.end());
        if (e.kind == tavmerk::RecordKind::compressed) {
            contents.assign(size_t(e.expanded_size) + 1, '\0');
            uLongf length = uLongf(contents.size());
            if (uncompress(reinterpret_cast<Bytef*>(contents.data()), &length, stored.data(), uLong(stored.size())) !=
                    Z_OK ||
                length != e.expanded_size)
                fuzz::fail(how + ": the data of " + e.path + " does not inflate");
            contents.resize(length);
        }
        if (contents != it->second)
            fuzz::fail(how + ": " + e.path + " does not read back as it was stored");
    }
    if (records.end() != tavmerk::WalkEnd::complete)
        fuzz::fail(how + ": the directory does not walk whole");
    for (const auto& [path, contents] : files)
        if (!seen.count(path))
            fuzz::fail(how + ": " + path + " is no longer live");
}

// The directory at offset 0, read as the file stands: after a commit it is
// the one in force, and its CRC holds.
void check_file(const Bytes& archive, const Files& files, const std::string& stage)
{
    const std::string how = stage + ", the directory at offset 0";
    tavmerk::ArchiveReader reader;
    if (!reader.open(archive.data(), archive.size(), archive.size()))
        fuzz::fail(how + ": does not open");
    if (test::reference_crc32(reader.block(), reader.block_size()) != tavmerk::directory_crc(archive.data()))
        fuzz::fail(how + ": its CRC does not hold");
    check_data(
        reader,
        [&archive](uint64_t offset, uint8_t* dest, size_t size) {
            if (offset > archive.size() || size > archive.size() - offset)
                return false;
            std::copy(archive.begin() + long(offset), archive.begin() + long(offset + size), dest);
            return true;
        },
        files, how);
}

// What "/E" and list read: the directory in force by the engine's judgement.
void check_mapped(const std::string& path, const Files& files, const std::string& stage)
{
    const std::string how = stage + ", the archive as mapped";
    tavmerk::platform::FileView view;
    tavmerk::ArchiveReader reader;
    if (!tavmerk::map_committed_archive(path, tavmerk::platform::LockKind::shared, view, reader).completed())
        fuzz::fail(how + ": does not open");
    check_data(
        reader, [&view](uint64_t offset, uint8_t* dest, size_t size) { return view.read_at(offset, dest, size); },
        files, how);
}

// The paths the engine's changes name.
void check_paths(const std::string& path, const Holding& holding, const std::string& stage)
{
    std::vector<tavmerk::TreePath> paths;
    int error = 0;
    if (tavmerk::read_tree_paths(path, paths, error) != tavmerk::ChangeStatus::committed)
        fuzz::fail(stage + ": the engine cannot read the paths");
    std::set<std::string> folders, live;
    for (const tavmerk::TreePath& p : paths) {
        if (p.folder)
            folders.insert(p.path);
        else if (p.live)
            live.insert(p.path);
    }
    std::set<std::string> files;
    for (const auto& [file, contents] : holding.files)
        files.insert(file);
    if (folders != holding.folders)
        fuzz::fail(stage + ": the engine's folders are not the ones made");
    if (live != files)
        fuzz::fail(stage + ": the engine's live files are not the ones stored");
}

void check_archive(const Holding& holding, const std::string& stage)
{
    const fuzz::Scratch& scratch = state().scratch;
    check_file(scratch.read_archive(), holding.files, stage);
    check_mapped(scratch.archive(), holding.files, stage);
    check_paths(scratch.archive(), holding, stage);
}

// ---- Making the payload

class Material {
public:
    Material(const uint8_t* data, size_t size) : data_(data), left_(size) {}

    // The next `size` bytes, `pad` where the material has run out.
    Bytes take(size_t size, uint8_t pad)
    {
        const size_t have = std::min(size, left_);
        Bytes out(data_, data_ + have);
        out.resize(size, pad);
        data_ += have;
        left_ -= have;
        return out;
    }

private:
    const uint8_t* data_;
    size_t left_;
};

std::string payload_path(const Plan& plan)
{
    return std::string(folder_names[plan.folder]) + "/evil";
}

std::string tail_path(const Plan& plan)
{
    return std::string(folder_names[plan.folder]) + "/tail";
}

tavmerk::Storage storage_of(const Plan& plan)
{
    return plan.has(fuzz::flag::chosen) ? tavmerk::Storage::chosen : tavmerk::Storage::store;
}

const Base& base_of(const Plan& plan)
{
    return plan.has(fuzz::flag::with_room) ? state().roomy : state().plain;
}

// The payload's commit made with `contents` in the payload's place, on a
// fresh copy of the base: the engine places data and writes directories
// the same way each time, so the archive it leaves is the one the payload's
// commit will leave but for the payload's own record.
Bytes commit_in_place_of_payload(const Plan& plan, const Bytes& contents)
{
    const State& s = state();
    s.write(base_of(plan).bytes);
    tavmerk::ChangeSet changes;
    changes.put(payload_path(plan), content_of(contents), tavmerk::Storage::store);
    if (plan.has(fuzz::flag::second_file))
        changes.put(tail_path(plan), content_of(tail_contents), storage_of(plan));
    if (!tavmerk::commit_changes(s.scratch.archive(), changes).ok())
        fuzz::fail("the probing commit failed");
    return s.scratch.read_archive();
}

// Where the payload's data lands, and how long the directory the payload's
// commit leaves is (with its room marker): they depend on the base, the
// paths and the second file, never on the payload's size or bytes.
struct Landing {
    uint64_t lands = 0;
    size_t directory_size = 0;
};

Landing landing_of(const Plan& plan)
{
    static std::map<std::tuple<uint8_t, bool, bool>, Landing> known;
    const auto key = std::make_tuple(plan.folder, plan.has(fuzz::flag::with_room), plan.has(fuzz::flag::second_file));
    const auto it = known.find(key);
    if (it != known.end())
        return it->second;
    const Bytes probed = commit_in_place_of_payload(plan, Bytes{0});
    tavmerk::ArchiveReader reader;
    if (!reader.open(probed.data(), probed.size(), probed.size()))
        fuzz::fail("the probed archive does not open");
    tavmerk::RecordCursor records = reader.records(std::string(), '/');
    while (records.next())
        if (records.entry().path == payload_path(plan))
            return known[key] = Landing{records.entry().data_offset, directory_of(probed).size()};
    fuzz::fail("the probed archive has no payload");
}

Bytes empty_directory(const Bytes& like)
{
    Bytes image(like.begin(), like.begin() + long(tavmerk::header_size));
    tavmerk::write_be32(image.data() + tavmerk::root_folder_count_at, 0);
    tavmerk::write_be32(image.data() + tavmerk::directory_size_at, 0);
    tavmerk::seal_directory(image.data());
    return image;
}

// A header over `plan.block` bytes of material, sealed, with a room marker
// after it when the plan asks.
Bytes image_from_material(const Plan& plan, const Bytes& like, uint64_t lands, Material& material)
{
    Bytes image(like.begin(), like.begin() + long(tavmerk::header_size));
    const Bytes block = material.take(plan.block, 0);
    image.insert(image.end(), block.begin(), block.end());
    tavmerk::write_be32(image.data() + tavmerk::root_folder_count_at, plan.root_count);
    tavmerk::write_be32(image.data() + tavmerk::directory_size_at, uint32_t(block.size()));
    tavmerk::seal_directory(image.data());
    if (plan.has(fuzz::flag::image_marker)) {
        const size_t at = image.size();
        image.resize(at + tavmerk::room_marker_size);
        tavmerk::make_room_marker(uint32_t(block.size()), lands, image.data() + at);
    }
    return image;
}

uint64_t be64_at(const uint8_t* p)
{
    return uint64_t(fuzz::be32_at(p)) << 32 | fuzz::be32_at(p + 4);
}

void put_be64(uint8_t* p, uint64_t value)
{
    tavmerk::write_be32(p, uint32_t(value >> 32));
    tavmerk::write_be32(p + 4, uint32_t(value));
}

// Moves the fields of the trailer at the end of `record` by the material:
// sizes and offsets are added to, CRCs flipped, the trailer's own CRC
// recomputed before it is flipped. Moves of zero leave the record whole.
void move_trailer_fields(Bytes& record, Material& material)
{
    const Bytes moves = material.take(fuzz::trailer_moves_size, 0);
    uint8_t* trailer = record.data() + record.size() - tavmerk::redo_trailer_size;
    const size_t image_size_at = tavmerk::redo_marker_size, before_crc_at = image_size_at + 8,
                 image_crc_at = before_crc_at + 4, record_at_at = image_crc_at + 4, trailer_crc_at = record_at_at + 8;
    const auto add64 = [&](size_t at, size_t move) {
        put_be64(trailer + at, be64_at(trailer + at) + be64_at(&moves[move]));
    };
    const auto flip32 = [&](size_t at, size_t move) {
        tavmerk::write_be32(trailer + at, fuzz::be32_at(trailer + at) ^ fuzz::be32_at(&moves[move]));
    };
    add64(image_size_at, 0);
    flip32(before_crc_at, 8);
    flip32(image_crc_at, 12);
    add64(record_at_at, 16);
    const uint32_t crc = tavmerk::Crc32().compute(trailer, trailer_crc_at);
    tavmerk::write_be32(trailer + trailer_crc_at, crc ^ fuzz::be32_at(moves.data() + 24));
}

// Sets the payload's first word so that its additive checksum is 0, the
// checksum of the zeros the probing commit stored: the directory the
// payload's commit leaves is then exactly the probed one.
void fix_checksum(Bytes& payload)
{
    std::fill(payload.begin(), payload.begin() + 4, 0);
    const uint32_t word = 0u - tavmerk::additive_checksum(payload.data(), payload.size());
    for (size_t i = 0; i < 4; ++i)
        payload[i] = uint8_t(word >> (8 * i));  // the checksum sums little-endian words
}

Bytes make_payload(const Plan& plan, const uint8_t* data, size_t size)
{
    if (plan.payload == fuzz::PayloadFrom::raw)
        return Bytes(data, data + size);
    const Base& base = base_of(plan);
    const Landing landing = landing_of(plan);
    const uint64_t lands = landing.lands;
    Material material(data, size);
    Bytes payload = material.take(plan.prefix, 'p');

    const bool needs_current =
        plan.image == fuzz::ImageFrom::current_directory || plan.before == fuzz::BeforeFrom::current;
    Bytes image;
    switch (plan.image) {
    case fuzz::ImageFrom::input:
        image = image_from_material(plan, base.directory, lands, material);
        break;
    case fuzz::ImageFrom::input_unsealed:
        image = material.take(plan.block, 0);
        break;
    case fuzz::ImageFrom::base_directory:
        image = base.directory;
        break;
    case fuzz::ImageFrom::current_directory:
        // As long as the directory the commit leaves: the probe below fills it.
        image.assign(landing.directory_size, 0);
        break;
    case fuzz::ImageFrom::empty_directory:
    case fuzz::ImageFrom::count:
        image = empty_directory(base.directory);
        break;
    }
    const uint64_t payload_size = plan.prefix + tavmerk::redo_record_size(image.size());
    Bytes current;
    if (needs_current)
        current = commit_in_place_of_payload(plan, Bytes(size_t(payload_size), 0));
    if (plan.image == fuzz::ImageFrom::current_directory) {
        image = directory_of(current);
        if (image.size() != landing.directory_size)
            fuzz::fail("the directory a commit leaves changed its size with the payload's");
    }

    Bytes before;
    switch (plan.before) {
    case fuzz::BeforeFrom::input:
    case fuzz::BeforeFrom::count:
        before = material.take(image.size(), 0);
        break;
    case fuzz::BeforeFrom::base:
        before = base.bytes;
        break;
    case fuzz::BeforeFrom::current:
        before = current;
        break;
    }
    before.resize(image.size(), 0);

    const uint64_t aimed = uint64_t(int64_t(lands + plan.prefix) + plan.aim);
    Bytes record = tavmerk::make_redo_record(before, image, aimed);
    if (plan.payload == fuzz::PayloadFrom::trailer)
        move_trailer_fields(record, material);
    payload.insert(payload.end(), record.begin(), record.end());
    if (plan.has(fuzz::flag::fix_checksum) && plan.prefix >= 4)
        fix_checksum(payload);
    return payload;
}

// ---- The follow-up commit

void follow_up(const Plan& plan, Holding& holding)
{
    tavmerk::ChangeSet changes;
    switch (plan.follow_up) {
    case fuzz::FollowUp::none:
    case fuzz::FollowUp::count:
        return;
    case fuzz::FollowUp::mkdir:
        changes.mkdir("t/later");
        holding.folders.insert("t/later");
        break;
    case fuzz::FollowUp::put:
        changes.put("u/more", content_of(more_contents), storage_of(plan));
        holding.files["u/more"] = more_contents;
        break;
    case fuzz::FollowUp::remove:
        changes.remove("t/a", plan.has(fuzz::flag::drop));
        holding.files.erase("t/a");
        break;
    }
    if (!tavmerk::commit_changes(state().scratch.archive(), changes).ok())
        fuzz::fail("the follow-up commit failed");
    check_archive(holding, "after the follow-up commit");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_tool();
    tavmerk::platform::set_syncs_enabled(false);  // a few ms an input, not a few syncs' worth
    state();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Plan plan;
    if (!fuzz::decode_plan(data, size, plan))
        return 0;
    const State& s = state();
    const Bytes payload = make_payload(plan, data + fuzz::plan_size, size - fuzz::plan_size);

    s.write(base_of(plan).bytes);
    Holding holding = base_of(plan).holding;
    tavmerk::ChangeSet changes;
    changes.put(payload_path(plan), content_of(payload), storage_of(plan));
    holding.files[payload_path(plan)] = std::string(payload.begin(), payload.end());
    holding.folders.insert(folder_names[plan.folder]);
    if (plan.has(fuzz::flag::second_file)) {
        changes.put(tail_path(plan), content_of(tail_contents), storage_of(plan));
        holding.files[tail_path(plan)] = tail_contents;
    }
    if (!tavmerk::commit_changes(s.scratch.archive(), changes).ok())
        fuzz::fail("the payload's commit failed");
    check_archive(holding, "after the payload's commit");
    follow_up(plan, holding);
    s.scratch.check_outside_root();
    return 0;
}
