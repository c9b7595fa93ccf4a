#include "engine/compact.h"

#include <algorithm>
#include <vector>

#include "archive/layout.h"
#include "archive/reader.h"
#include "archive/room.h"
#include "checksum/checksum.h"
#include "engine/archive_commit.h"
#include "engine/archive_rewrite.h"
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

RunResult compact_archive(const std::string& archive_path, const std::string& output_path, CompactSizes& sizes,
                          const std::function<void(const FileEntry&)>& outside)
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

    // The room after the directory, kept as it was.
    const uint64_t block_end = header_size + uint64_t(reader.block_size());
    const uint64_t room = tx.room_end() - block_end;
    uint64_t data_size = 0;
    const std::vector<uint8_t> directory = compacted_directory(reader, room, data_size);
    const uint64_t room_after = room > 0 ? room - room_marker_size : 0;
    sizes.old_size = view.size();
    sizes.new_size = directory.size() + room_after + data_size;

    // In place the old file stays locked (by the view) until the new one
    // has its name on disk; Windows must let go of it before the rename,
    // and a run holding it open then makes the rename fail instead.
    return write_archive_file(
        in_place ? target_path : output_path, in_place ? Placing::replace : Placing::new_file,
        [&](platform::OutputFile& out, RunEnd&) { return write_compacted(out, directory, room_after, reader, view); },
        [&] {
            if (in_place && !platform::can_replace_open_file) {
                view = platform::FileView();
                tx.release();
            }
        });
}

}  // namespace tavmerk
