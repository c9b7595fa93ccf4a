#include "engine/compact.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "archive/layout.h"
#include "archive/reader.h"
#include "archive/room.h"
#include "checksum/checksum.h"
#include "engine/archive_commit.h"
#include "engine/archive_rewrite.h"
#include "engine/history.h"
#include "engine/transaction.h"
#include "platform/platform.h"

namespace tavmerk {

namespace {

// The new header and directory: the old ones with each live record's
// data moved to follow the directory, in directory order, after room of
// the size the old directory had (`room` bytes from the block's end).
std::vector<uint8_t> compacted_directory(const ArchiveReader& reader, uint64_t room, uint64_t& data_size)
{
    std::vector<uint8_t> directory(reader.header(), reader.block() + reader.block_size());
    if (room > 0)
        directory.resize(directory.size() + room_marker_size);
    uint64_t at = directory.size() - (room > 0 ? room_marker_size : 0) + room;
    const uint64_t data_start = at;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& entry = records.entry();
        if (!entry.live())
            continue;
        set_data_offset(directory.data() + directory_block_at + entry.record_at, uint32_t(at));
        at += entry.stored_size;
    }
    seal_directory(directory.data());
    if (room > 0)
        make_room_marker(uint32_t(reader.block_size()), data_start,
                         directory.data() + header_size + reader.block_size());
    data_size = at - data_start;
    return directory;
}

// The new archive, written to `out`: its directory and room, then each
// live record's stored bytes copied by the system from the old file.
bool write_compacted(platform::OutputFile& out, const std::vector<uint8_t>& directory, uint64_t room_after,
                     const ArchiveReader& reader, const platform::FileView& view)
{
    if (!platform::write_file(out, directory.data(), directory.size()) || !write_zeros(out, room_after))
        return false;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& entry = records.entry();
        if (entry.live() && !platform::write_file_from(out, view, entry.data_offset, entry.stored_size))
            return false;
    }
    return true;
}


// Byte ranges of the old file that the kept versions' live records use,
// merged where they overlap or touch, each with where it goes in the new
// file.
class DataMap {
public:
    struct Span {
        uint64_t start, end, to;
    };

    void add(uint64_t start, uint64_t size)
    {
        if (size == 0)
            return;
        pending_.push_back(Span{start, start + size, 0});
        // Versions share most of their data: merging now and then keeps
        // the list near the count of distinct ranges.
        if (pending_.size() >= std::max<size_t>(spans_.size(), size_t(1) << 16))
            merge();
    }

    // Folds in what was added and gives each range its place, the first
    // at `data_start`, in offset order.
    void place(uint64_t data_start)
    {
        merge();
        uint64_t at = data_start;
        for (Span& s : spans_) {
            s.to = at;
            at += s.end - s.start;
        }
        size_ = at - data_start;
        end_ = at;
    }

    // Where the byte at `offset` goes; an offset in no range (a record
    // with no data) goes to where the next range does.
    uint64_t moved(uint64_t offset) const
    {
        auto it = std::upper_bound(spans_.begin(), spans_.end(), offset,
                                   [](uint64_t o, const Span& s) { return o < s.start; });
        if (it != spans_.begin() && offset <= std::prev(it)->end)
            return std::prev(it)->to + (offset - std::prev(it)->start);
        return it == spans_.end() ? end_ : it->to;
    }

    const std::vector<Span>& spans() const { return spans_; }
    uint64_t size() const { return size_; }

private:
    void merge()
    {
        spans_.insert(spans_.end(), pending_.begin(), pending_.end());
        pending_.clear();
        std::sort(spans_.begin(), spans_.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
        size_t kept = 0;
        for (const Span& s : spans_) {
            if (kept > 0 && s.start <= spans_[kept - 1].end)
                spans_[kept - 1].end = std::max(spans_[kept - 1].end, s.end);
            else
                spans_[kept++] = s;
        }
        spans_.resize(kept);
    }

    std::vector<Span> spans_, pending_;
    uint64_t size_ = 0, end_ = 0;
};

// Adds the data of the live records of `reader`'s directory to `data`;
// false when the walk does not end whole or some data lies past
// `data_end`.
bool add_live_data(const ArchiveReader& reader, uint64_t data_end, DataMap& data)
{
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& e = records.entry();
        if (!e.live())
            continue;
        if (uint64_t(e.data_offset) + e.stored_size > data_end)
            return false;
        data.add(e.data_offset, e.stored_size);
    }
    return records.end() == WalkEnd::complete;
}

bool add_image_data(const std::vector<uint8_t>& image, uint64_t data_end, DataMap& data)
{
    ArchiveReader reader;
    return reader.open(image.data(), image.size(), data_end) && add_live_data(reader, data_end, data);
}

// `image` (header and directory) with its live records' offsets moved as
// `data` says and its CRC sealed again.
bool move_offsets(std::vector<uint8_t>& image, const DataMap& data)
{
    return move_live_offsets(image, [&data](uint64_t offset) { return data.moved(offset); });
}

// The room after `reader`'s directory block: from the block's end to the
// end of the room its marker gives, or 0.
uint64_t room_after(const ArchiveReader& reader, uint64_t data_end, const ReadAt& read_at)
{
    const uint64_t block_end = header_size + uint64_t(reader.block_size());
    uint8_t marker[room_marker_size];
    if (block_end + room_marker_size > data_end || !read_at(block_end, marker, sizeof marker))
        return 0;
    const uint64_t end = room_end(reader, marker);
    return end > block_end ? end - block_end : 0;
}

// Everything the compacted archive is made of.
struct Plan {
    std::vector<uint8_t> directory;  // header, directory block, room marker (and anchor)
    uint64_t data_start = 0;         // the room's end
    bool with_history = false;
    DataMap data;                    // with history: the ranges copied
    uint64_t data_size = 0;          // without: the live records' data, in directory order
    std::vector<std::vector<uint8_t>> blocks;  // oldest first
    BlockRef newest;                           // the newest of them
    uint64_t size = 0;
    uint32_t kept = 1;
    uint32_t versions = 1;
    uint64_t history_bytes = 0;
};

// The new version blocks, oldest first, after the data: each carrying
// its version's image with offsets moved where the version is kept, its
// metadata alone where not. The newest one's place is left in `newest`.
bool plan_blocks(const HistorySource& source, const History& history, Plan& plan)
{
    BlockRef& newest = plan.newest;
    uint64_t at = plan.data_start + plan.data.size();
    plan.size = at;
    std::vector<uint8_t> bytes, image, made;
    for (size_t i = history.versions.size() - 1; i >= 1; --i) {
        // The block that made versions[i - 1], carrying versions[i].
        VersionBlock block;
        if (!read_block_at(source, history.versions[i].image_block, bytes, block))
            return false;
        block.previous = newest;
        if (i == history.versions.size() - 1 && history.end == HistoryEnd::damaged)
            block.flags |= block_flag_after_damage;
        const bool kept = i < plan.kept;
        if (kept && (!inflate_block_image(block, bytes, source.data_end, image) || !move_offsets(image, plan.data)))
            return false;
        if (!make_version_block(block, kept ? image.data() : nullptr, kept ? image.size() : 0, made))
            return false;
        newest = BlockRef{uint32_t(at), uint32_t(made.size()), Crc32().compute(made.data(), made.size())};
        at += made.size();
        if (at >= archive_size_limit)
            return false;
        plan.blocks.push_back(made);
        plan.size = at;
    }
    return true;
}

bool plan_with_history(const HistorySource& source, const History& history, uint64_t room,
                       const CompactOptions& options, Plan& plan)
{
    const ArchiveReader& reader = *source.reader;
    const uint64_t block_end = header_size + uint64_t(reader.block_size());
    plan.with_history = true;
    if (!add_live_data(reader, source.data_end, plan.data))
        return false;
    // The earlier versions' data, newest first, as far as it is kept and
    // can be read.
    const size_t limit = options.keep == 0 ? history.versions.size() : options.keep;
    std::vector<uint8_t> bytes, image;
    VersionBlock block;
    while (plan.kept < std::min(limit, history.versions.size()) && history.versions[plan.kept].data_kept &&
           read_block_at(source, history.versions[plan.kept].image_block, bytes, block) &&
           inflate_block_image(block, bytes, source.data_end, image) && add_image_data(image, source.data_end, plan.data))
        ++plan.kept;
    plan.data_start = block_end + std::max<uint64_t>(room, room_marker_size + history_anchor_size);
    plan.data.place(plan.data_start);
    plan.directory.assign(reader.header(), reader.block() + reader.block_size());
    return move_offsets(plan.directory, plan.data) && plan_blocks(source, history, plan);
}

bool plan_compaction(const ArchiveReader& reader, uint64_t data_end, const ReadAt& read_at,
                     const CompactOptions& options, Plan& plan)
{
    const HistorySource source{&reader, data_end, read_at};
    const History history = read_history(source);
    plan.versions = uint32_t(history.versions.size());
    plan.history_bytes = history.history_bytes;
    const uint64_t room = std::max(room_after(reader, data_end, read_at), options.least_room);
    if (options.keep != 1 && history.versions.size() > 1) {
        if (!plan_with_history(source, history, room, options, plan))
            return false;
        anchor_image(plan.directory, plan.data_start, plan.newest, history.versions[0].version);
        return true;
    }
    plan.directory = compacted_directory(reader, room, plan.data_size);
    plan.data_start = header_size + uint64_t(reader.block_size()) + room;
    plan.size = plan.data_start + plan.data_size;
    return true;
}

// The directory, its room and the old data kept.
bool write_with_history(platform::OutputFile& out, const std::vector<uint8_t>& directory, const Plan& plan,
                        const platform::FileView& view)
{
    if (!platform::write_file(out, directory.data(), directory.size()) ||
        !write_zeros(out, plan.data_start - directory.size()))
        return false;
    for (const DataMap::Span& s : plan.data.spans())
        if (!platform::write_file_from(out, view, s.start, size_t(s.end - s.start)))
            return false;
    return true;
}

bool write_blocks(platform::OutputFile& out, const Plan& plan)
{
    for (const std::vector<uint8_t>& block : plan.blocks)
        if (!platform::write_file(out, block.data(), block.size()))
            return false;
    return true;
}

}  // namespace

bool write_zeros(platform::OutputFile& out, uint64_t size)
{
    static const std::vector<uint8_t> zeros(size_t(64) << 10);
    while (size > 0) {
        const size_t n = size_t(std::min<uint64_t>(size, zeros.size()));
        if (!platform::write_file(out, zeros.data(), n))
            return false;
        size -= n;
    }
    return true;
}

bool compacted_size(const ArchiveReader& reader, uint64_t data_end, const ReadAt& read_at,
                    const CompactOptions& options, CompactSizes& sizes)
{
    Plan plan;
    if (!plan_compaction(reader, data_end, read_at, options, plan))
        return false;
    sizes.new_size = plan.size;
    sizes.versions_kept = plan.kept;
    sizes.versions = plan.versions;
    sizes.history_bytes = plan.history_bytes;
    return true;
}

uint64_t room_for_directory(uint64_t directory_size)
{
    return std::max(directory_size, least_reserved_room) + room_marker_size + history_anchor_size;
}

bool compaction_sizes(const std::string& archive_path, const CompactOptions& options, CompactSizes& sizes)
{
    Transaction tx;
    if (tx.begin(archive_path, Transaction::Mode::dry_run) != CommitStatus::committed ||
        !tx.file().size(sizes.old_size))
        return false;
    const platform::UpdateFile& file = tx.file();
    return compacted_size(tx.reader(), tx.data_end(),
                          [&file](uint64_t at, uint8_t* dest, size_t size) { return file.read_at(at, dest, size); },
                          options, sizes);
}

bool lacks_room_for_version(const std::string& archive_path, uint64_t& directory_size)
{
    Transaction tx;
    if (tx.begin(archive_path, Transaction::Mode::dry_run) != CommitStatus::committed)
        return false;
    directory_size = tx.reader().block_size();
    return header_size + directory_size + room_marker_size + history_room() > tx.room_end();
}

RunResult make_room(const std::string& archive_path, uint64_t directory_size, uint64_t& identity)
{
    CompactOptions options;
    options.least_room = room_for_directory(directory_size);
    CompactSizes sizes;
    const RunResult made = compact_archive(archive_path, std::string(), sizes, nullptr, options);
    identity = sizes.identity;
    return made;
}

RunResult compact_archive(const std::string& archive_path, const std::string& output_path, CompactSizes& sizes,
                          const std::function<void(const FileEntry&)>& outside, const CompactOptions& options)
{
    const bool in_place = output_path.empty();
    // In place, a link at the archive's path stays: its target is compacted.
    std::string target_path = in_place ? platform::resolved_path(archive_path) : archive_path;
    if (target_path.empty())
        target_path = archive_path;  // cannot be found: the open says so
    // Under the transaction's exclusive lock, with whatever an interrupted
    // commit left finished; the file is mapped to copy its data.
    Transaction tx;
    const CommitStatus status = tx.begin(target_path);
    const RunResult begun = run_result_of(status, tx.error());
    if (!begun.completed())
        return begun;
    platform::FileView view;
    if (platform::map_file(target_path, view) != platform::ViewStatus::ok)
        return {RunEnd::cannot_open, platform::last_error()};
    view.limit(tx.data_end());
    const ArchiveReader& reader = tx.reader();
    // The whole walk first: nothing is written for an archive that a walk
    // cannot finish or whose data lies outside it.
    bool data_outside = false;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        if (records.entry().live() && !reader.data_inside(records.entry())) {
            data_outside = true;
            if (outside)
                outside(records.entry());
        }
    }
    if (records.end() != WalkEnd::complete)
        return walk_result(records.end());
    if (data_outside)
        return {RunEnd::data_outside};

    const ReadAt read_at = [&view](uint64_t at, uint8_t* dest, size_t size) { return view.read_at(at, dest, size); };
    Plan plan;
    if (!plan_compaction(reader, tx.data_end(), read_at, options, plan))
        return {RunEnd::damaged};
    if (plan.size >= archive_size_limit)
        return {RunEnd::write_failed, EFBIG};
    sizes.old_size = view.size();
    sizes.new_size = plan.size;
    sizes.versions_kept = plan.kept;
    sizes.identity = directory_identity(plan.directory.data(), plan.directory.size());

    // In place the old file stays locked (by the view) until the new one
    // has its name on disk; Windows must let go of it before the rename,
    // and a run holding it open then makes the rename fail instead.
    return write_archive_file(
        in_place ? target_path : output_path, in_place ? Placing::replace : Placing::new_file,
        [&](platform::OutputFile& out, RunEnd&) {
            return plan.with_history
                       ? write_with_history(out, plan.directory, plan, view) && write_blocks(out, plan)
                       : write_compacted(out, plan.directory, plan.data_start - plan.directory.size(), reader, view);
        },
        [&] {
            if (in_place && !platform::can_replace_open_file) {
                view = platform::FileView();
                tx.release();
            }
        });
}

bool move_live_offsets(std::vector<uint8_t>& image, const OffsetMove& moved)
{
    ArchiveReader reader;
    if (image.size() < header_size || !reader.open(image.data(), image.size(), archive_size_limit))
        return false;
    std::vector<std::pair<size_t, uint32_t>> moves;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& e = records.entry();
        if (e.live())
            moves.emplace_back(e.record_at, uint32_t(moved(e.data_offset)));
    }
    if (records.end() != WalkEnd::complete)
        return false;
    for (const auto& m : moves)
        set_data_offset(image.data() + directory_block_at + m.first, m.second);
    seal_directory(image.data());
    return true;
}

RunResult commit_by_rewrite(Transaction& tx, const std::string& path, const VersionedRewrite& rewrite,
                            std::vector<uint8_t>& image)
{
    platform::FileView view;
    if (platform::map_file(path, view) != platform::ViewStatus::ok)
        return {RunEnd::cannot_open, platform::last_error()};
    view.limit(tx.data_end());
    const ReadAt read_at = [&view](uint64_t at, uint8_t* dest, size_t size) { return view.read_at(at, dest, size); };
    const HistorySource source{&tx.reader(), tx.data_end(), read_at};
    const History history = read_history(source);
    Plan plan;
    const uint64_t room = std::max(room_after(tx.reader(), tx.data_end(), read_at), room_for_directory(rewrite.directory_size));
    if (!plan_with_history(source, history, room, CompactOptions(), plan))
        return {RunEnd::damaged};

    // After the old data and blocks, the block of this commit's version,
    // whose image is the directory it replaces (plan.directory, moved
    // too), then the commit's own data, last as with any commit; the
    // block's size does not depend on the counts, made after the image,
    // nor on anything but its summary and image.
    VersionBlock block;
    block.summary = summary_line(rewrite.note.summary);
    std::vector<uint8_t> bytes;
    if (!make_version_block(block, plan.directory.data(), plan.directory.size(), bytes))
        return {RunEnd::write_failed, ENOMEM};
    const uint64_t new_data_at = plan.size + bytes.size();
    if (new_data_at + rewrite.new_data_size >= archive_size_limit)
        return {RunEnd::write_failed, EFBIG};
    RunEnd made = RunEnd::completed;
    if (!rewrite.make_image([&plan](uint64_t offset) { return plan.data.moved(offset); }, new_data_at, image, made))
        return {made == RunEnd::completed ? RunEnd::damaged : made};
    const uint64_t block_end = header_size + uint64_t(directory_size(image.data()));
    ArchiveReader after;
    if (block_end + room_marker_size + history_anchor_size > plan.data_start ||
        !after.open(image.data(), block_end, archive_size_limit))
        return {RunEnd::damaged};
    block = next_version_block(history, tx.file(), tx.reader(), after, rewrite.note);
    if (!plan.blocks.empty()) {
        block.previous = plan.newest;  // older damage is told by the oldest block
        block.flags &= ~uint32_t(block_flag_after_damage);
    } else {
        block.previous = BlockRef();
    }
    if (!make_version_block(block, plan.directory.data(), plan.directory.size(), bytes) ||
        plan.size + bytes.size() != new_data_at)
        return {RunEnd::write_failed, ENOMEM};
    anchor_image(image, plan.data_start,
                 BlockRef{uint32_t(plan.size), uint32_t(bytes.size()), Crc32().compute(bytes.data(), bytes.size())},
                 block.version);

    // The old file stays locked (by the view and the transaction) until
    // the new one has its name on disk; Windows must let go of it first.
    return write_archive_file(
        path, Placing::replace,
        [&](platform::OutputFile& out, RunEnd& end) {
            return write_with_history(out, image, plan, view) && write_blocks(out, plan) &&
                   platform::write_file(out, bytes.data(), bytes.size()) && rewrite.write_new_data(out, end);
        },
        [&] {
            if (!platform::can_replace_open_file) {
                view = platform::FileView();
                tx.release();
            }
        });
}

}  // namespace tavmerk
