#include "engine/undo.h"

#include <algorithm>
#include <map>

#include "archive/layout.h"
#include "archive/room.h"
#include "engine/compact.h"
#include "engine/history.h"
#include "engine/transaction.h"

namespace tavmerk {

namespace {

struct LiveFile {
    uint32_t stored_size, expanded_size, checksum, data_offset;
    bool operator!=(const LiveFile& o) const
    {
        return stored_size != o.stored_size || expanded_size != o.expanded_size || checksum != o.checksum ||
               data_offset != o.data_offset;
    }
};

// Live files by path, the last record at a path counting, as "/E" writes
// them; false when the walk does not end whole.
bool live_files(const ArchiveReader& reader, std::map<std::string, LiveFile>& files)
{
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& e = records.entry();
        if (e.live())
            files[e.path] = LiveFile{e.stored_size, e.expanded_size, e.checksum, e.data_offset};
    }
    return records.end() == WalkEnd::complete;
}

// What going from `now` to `then` does, by path in path order.
std::vector<ChangeReport> changes_between(const std::map<std::string, LiveFile>& now,
                                          const std::map<std::string, LiveFile>& then)
{
    std::vector<ChangeReport> reports;
    auto a = now.begin();
    auto b = then.begin();
    while (a != now.end() || b != then.end()) {
        if (b == then.end() || (a != now.end() && a->first < b->first)) {
            reports.push_back(ChangeReport{ChangeOutcome::removed, a->first, std::string(), false});
            ++a;
        } else if (a == now.end() || b->first < a->first) {
            reports.push_back(ChangeReport{ChangeOutcome::added, b->first, std::string(), false});
            ++b;
        } else {
            if (a->second != b->second)
                reports.push_back(ChangeReport{ChangeOutcome::replaced, a->first, std::string(), false});
            ++a;
            ++b;
        }
    }
    return reports;
}

uint64_t first_live_byte(const std::map<std::string, LiveFile>& files)
{
    uint64_t first = UINT64_MAX;
    for (const auto& f : files)
        if (f.second.stored_size > 0)
            first = std::min<uint64_t>(first, f.second.data_offset);
    return first;
}

ChangeResult failed(ChangeStatus status, int error = 0)
{
    ChangeResult result;
    result.status = status;
    result.error = error;
    return result;
}

}  // namespace

ChangeResult undo_to_version(const std::string& archive_path, const std::string& to, const CommitOptions& options,
                             bool* dropped)
{
    Transaction tx;
    const CommitStatus begun =
        tx.begin(archive_path, options.dry_run ? Transaction::Mode::dry_run : Transaction::Mode::write);
    if (begun != CommitStatus::committed)
        return failed(begun, tx.error());
    if (tx.data_outside())
        return failed(ChangeStatus::data_outside);
    const platform::UpdateFile& file = tx.file();
    const HistorySource source{&tx.reader(), tx.data_end(),
                               [&file](uint64_t at, uint8_t* dest, size_t size) { return file.read_at(at, dest, size); }};
    const History history = read_history(source);
    uint32_t version = 0;
    if (!resolve_version(to, history, version))
        return failed(ChangeStatus::not_found);
    std::vector<uint8_t> image;
    std::string why;
    if (!read_version_image(source, history, version, tx.image(), image, why)) {
        if (dropped)
            *dropped = why == "dropped";
        return failed(why == "damaged" ? ChangeStatus::damaged : ChangeStatus::not_found);
    }
    ArchiveReader target;
    std::map<std::string, LiveFile> now, then;
    if (!target.open(image.data(), image.size(), tx.data_end()) || !live_files(tx.reader(), now) ||
        !live_files(target, then))
        return failed(ChangeStatus::damaged);
    // The version's data must still be in the file.
    for (const auto& f : then)
        if (uint64_t(f.second.data_offset) + f.second.stored_size > tx.data_end())
            return failed(ChangeStatus::data_outside);

    ChangeResult result;
    result.reports = changes_between(now, then);
    result.data_end = tx.data_end();
    result.image = tx.image();
    if (options.dry_run || version == history.versions[0].version)
        return result;
    const uint64_t room_end = std::min(tx.room_end(), first_live_byte(then));
    VersionNote note{options.summary.empty() ? "undo to version " + std::to_string(version) : options.summary};
    if (options.describe)
        note.summary = options.describe(result.reports);
    if (image.size() + room_marker_size + history_room() > room_end) {
        // No room for the version's directory: the archive is written anew
        // with room, every version kept, and this one made current.
        VersionedRewrite rewrite;
        rewrite.directory_size = image.size() - header_size;
        rewrite.note = note;
        rewrite.make_image = [&image](const OffsetMove& moved, uint64_t, std::vector<uint8_t>& made, RunEnd&) {
            made = image;
            return move_live_offsets(made, moved);
        };
        rewrite.write_new_data = [](platform::OutputFile&, RunEnd&) { return true; };
        std::vector<uint8_t> made;
        // A link at the archive's path stays: the file it leads to is written.
        std::string path = platform::resolved_path(archive_path);
        if (path.empty())
            path = archive_path;
        const RunResult run = commit_by_rewrite(tx, path, rewrite, made);
        if (!run.completed())
            return failed(commit_status_of(run.end), run.error);
        result.image = std::move(made);
        platform::FileStamp stamp;
        if (platform::stamp_of(path, stamp)) {
            result.stamp = stamp;
            result.data_end = stamp.size;
        }
        return result;
    }
    if (!attach_version(tx, image, room_end, note) || tx.commit(image) != CommitStatus::committed)
        return failed(ChangeStatus::write_failed, tx.error());
    result.image = image;
    result.data_end = tx.data_end();
    tx.file().stamp(result.stamp);
    return result;
}

}  // namespace tavmerk
