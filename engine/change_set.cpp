#include "engine/change_set.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "archive/layout.h"
#include "archive/path_rules.h"
#include "archive/reader.h"
#include "archive/redo.h"
#include "archive/room.h"
#include "engine/history.h"
#include "checksum/checksum.h"
#include "engine/archive_commit.h"
#include "engine/archive_rewrite.h"
#include "engine/change_apply.h"
#include "engine/change_prepare.h"
#include "engine/compact.h"
#include "engine/directory_tree.h"
#include "engine/inflate.h"
#include "engine/transaction.h"
#include "engine/zstream.h"

namespace tavmerk {

Content Content::of_bytes(std::vector<uint8_t> data)
{
    Content c;
    c.size = data.size();
    c.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(data));
    return c;
}

Content Content::of_file(std::string absolute_path)
{
    Content c;
    c.file_path = std::move(absolute_path);
    return c;
}

Content Content::of_reader(uint64_t size, std::function<bool(uint64_t, uint8_t*, size_t)> read)
{
    Content c;
    c.size = size;
    c.read = std::move(read);
    return c;
}

Content Content::of_record(const StoredRecord& record, std::function<bool(uint64_t, uint8_t*, size_t)> read_stored)
{
    Content c = of_reader(record.stored_size, std::move(read_stored));
    c.is_record = true;
    c.record = record;
    return c;
}

void ChangeSet::put(std::string path, Content content, Storage storage)
{
    Change c;
    c.kind = ChangeKind::put;
    c.path = std::move(path);
    c.content = std::move(content);
    c.storage = storage;
    changes_.push_back(std::move(c));
}

void ChangeSet::remove(std::string path, bool drop)
{
    Change c;
    c.kind = ChangeKind::remove;
    c.path = std::move(path);
    c.drop = drop;
    changes_.push_back(std::move(c));
}

void ChangeSet::mark_removed(std::string path)
{
    remove(std::move(path));
    changes_.back().leave_entry = true;
}

void ChangeSet::rename(std::string from, std::string to)
{
    Change c;
    c.kind = ChangeKind::rename;
    c.path = std::move(from);
    c.to = std::move(to);
    changes_.push_back(std::move(c));
}

void ChangeSet::mkdir(std::string path)
{
    Change c;
    c.kind = ChangeKind::mkdir;
    c.path = std::move(path);
    changes_.push_back(std::move(c));
}

namespace {

// FROM's data decoded for a rename onto a file of the other method: the
// content to store again. False when it cannot be read or decoded.
bool decoded_record(const platform::UpdateFile& archive, const DirectoryTree::Node& src, std::vector<uint8_t>& out)
{
    std::vector<uint8_t> stored(src.stored_size);
    if (!archive.read_at(src.data_offset, stored.data(), stored.size()))
        return false;
    if (src.stored_size == src.expanded_size) {
        out = std::move(stored);
        return true;
    }
    out.resize(inflate_room(src.stored_size, src.expanded_size));
    size_t length = 0;
    return inflate_stream(stored.data(), stored.size(), out.data(), out.size(), length) == Z_OK &&
           length == src.expanded_size;
}

// Everything a commit works on.
struct Commit {
    const CommitOptions& options;
    ChangeResult& result;
    DirectoryTree tree;
    std::vector<Prepared> prepared;
    Spool spool;
    std::vector<std::unique_ptr<Content>> recoded_contents;
    std::vector<std::unique_ptr<Prepared>> recoded_prepared;
    uint64_t bytes_done = 0;
    uint64_t records_done = 0;

    Commit(const CommitOptions& o, ChangeResult& r) : options(o), result(r) {}

    bool progress(uint64_t bytes)
    {
        bytes_done += bytes;
        ++records_done;
        if (options.progress && !options.progress(bytes_done, records_done)) {
            result.status = ChangeStatus::cancelled;
            return false;
        }
        return true;
    }

    bool fail(ChangeStatus status, int error = 0)
    {
        result.status = status;
        result.error = error;
        return false;
    }
};

// Targets of renames onto a file of the other method get FROM's decoded
// content.
bool prepare_recoded_targets(Commit& commit, const Applied& applied, const platform::UpdateFile& archive,
                             std::vector<Target>& targets)
{
    for (Target& t : targets) {
        if (t.recode == no_place)
            continue;
        std::vector<uint8_t> data;
        if (!decoded_record(archive, applied.recode_sources[t.recode], data))
            return commit.fail(ChangeStatus::damaged);
        auto content = std::make_unique<Content>(Content::of_bytes(std::move(data)));
        auto p = std::make_unique<Prepared>();
        p->content = content.get();
        compress_content(*p);
        t.prepared = p.get();
        commit.recoded_contents.push_back(std::move(content));
        commit.recoded_prepared.push_back(std::move(p));
    }
    return true;
}

// The image followed by the marker of room that ends at `room_end`.
std::vector<uint8_t> with_room(std::vector<uint8_t> image, uint64_t room_end)
{
    const size_t at = image.size();
    image.resize(at + room_marker_size);
    make_room_marker(directory_size(image.data()), room_end, image.data() + at);
    return image;
}

void give_data(DirectoryTree::Node& n, const Target& t, uint64_t at)
{
    n.stored_size = uint32_t(target_size(t));
    n.expanded_size = uint32_t(t.prepared->raw_size);
    n.checksum = target_checksum(t);
    n.data_offset = uint32_t(at);
}

// What the commit says of itself in its version: the caller's summary,
// else how many entries it changed.
std::string summary_of(const Commit& commit)
{
    if (commit.options.describe)
        return commit.options.describe(commit.result.reports);
    if (!commit.options.summary.empty())
        return commit.options.summary;
    const size_t n = commit.result.reports.size();
    return "change " + std::to_string(n) + (n == 1 ? " entry" : " entries");
}

// The first byte that a record of `reader`'s directory or of `tree` points
// at (UINT64_MAX where none does). A directory written in place, and the
// room after it, end there: the data may lie right after the directory,
// or even inside its block, past the last folder.
uint64_t first_data_byte(const ArchiveReader& reader, const DirectoryTree& tree)
{
    uint64_t first = UINT64_MAX;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& e = records.entry();
        if (e.live() && e.stored_size > 0)
            first = std::min<uint64_t>(first, e.data_offset);
    }
    for (size_t i = 0; i < tree.size(); ++i) {
        const DirectoryTree::Node& n = tree.node(uint32_t(i));
        if (!n.folder && !n.taken_out && n.data_offset != 0 && n.stored_size > 0)
            first = std::min<uint64_t>(first, n.data_offset);
    }
    return first;
}

// The new data appended after `data_end` and the new directory written in
// place, into the room it has (`room_end`: the room's end, or the old
// directory's own end where there is no room, and never past the first
// byte a record of the old or the new directory points at). False with
// `no_room` set when it does not fit.
bool commit_in_place(Commit& commit, Transaction& tx, const std::vector<Target>& targets, uint64_t room_end,
                     bool& no_room)
{
    no_room = false;
    DirectoryTree& tree = commit.tree;
    const uint64_t data_end = tx.data_end();
    std::vector<uint8_t> image_now = tree.image();
    uint64_t new_data = 0;
    for (const Target& t : targets)
        new_data += target_size(t);
    if (data_end + new_data + redo_record_size(image_now.size() + room_marker_size) > archive_size_limit)
        return commit.fail(ChangeStatus::too_large);
    // Bytes left after a directory with no room of its own must not read
    // as a marker: a later commit would take the data there for room.
    // A version is recorded with every commit: the marker and the history
    // anchor must fit in the room.
    if (image_now.size() + room_marker_size + history_room() > room_end) {
        no_room = true;
        return false;
    }
    // What fails from here leaves the appended data to be cut off when
    // the transaction ends.
    for (const Target& t : targets) {
        const uint64_t start = tx.append_at();
        const bool written = write_prepared(
            *t.prepared, t.stored, commit.spool, [&](const uint8_t* d, size_t s) { return tx.append(d, s); }, commit.result);
        if (!written || !commit.progress(tx.append_at() - start)) {
            if (commit.result.status == ChangeStatus::write_failed)
                commit.result.error = tx.error();
            return false;
        }
        give_data(tree.node(t.node), t, start);
    }
    std::vector<uint8_t> image = tree.image();
    if (!commit.options.keep_version)
        image = with_room(std::move(image), room_end);
    else if (!attach_version(tx, image, room_end, VersionNote{summary_of(commit)}))
        return commit.fail(ChangeStatus::write_failed, tx.error());
    if (tx.commit(image) != CommitStatus::committed)
        return commit.fail(ChangeStatus::write_failed, tx.error());
    commit.result.image = std::move(image);
    return true;
}

// The whole archive written anew at `path`: image, reserved room, then
// every live file's data in directory order, old data copied from
// `old_file` and the targets' data from their contents.
bool commit_rewrite(Commit& commit, const std::vector<Target>& targets, const std::string& path, Placing placing,
                    const platform::FileView* old_file, const std::function<void()>& release)
{
    DirectoryTree& tree = commit.tree;
    std::vector<const Target*> target_of(tree.size(), nullptr);
    for (const Target& t : targets)
        target_of[t.node] = &t;
    const std::vector<uint32_t> order = tree.in_order();
    // Offsets are fixed-size fields: the image's size does not depend on them.
    const uint64_t image_size = tree.image().size();
    const uint64_t room = commit.options.least_room ? image_size - header_size
                                                    : std::max<uint64_t>(image_size - header_size, least_reserved_room);
    const uint64_t data_start = image_size + room_marker_size + room;
    std::vector<uint32_t> old_offset(tree.size(), 0);
    uint64_t at = data_start;
    for (const uint32_t i : order) {
        DirectoryTree::Node& n = tree.node(i);
        if (n.folder || (!n.live_file() && !target_of[i]))
            continue;
        old_offset[i] = n.data_offset;
        const uint64_t size = target_of[i] ? target_size(*target_of[i]) : n.stored_size;
        if (target_of[i])
            give_data(n, *target_of[i], at);
        else
            n.data_offset = uint32_t(at);
        at += size;
        if (at > archive_size_limit - redo_record_size(image_size + room_marker_size))
            return commit.fail(ChangeStatus::too_large);
    }
    std::vector<uint8_t> image = with_room(tree.image(), data_start);
    const auto write = [&](platform::OutputFile& out, RunEnd& end) {
        if (!platform::write_file(out, image.data(), image.size()) || !write_zeros(out, data_start - image.size()))
            return false;
        for (const uint32_t i : order) {
            const DirectoryTree::Node& n = tree.node(i);
            if (n.folder || n.data_offset == 0)
                continue;
            const bool written =
                target_of[i]
                    ? write_prepared(*target_of[i]->prepared, target_of[i]->stored, commit.spool,
                                   [&](const uint8_t* d, size_t s) { return platform::write_file(out, d, s); },
                                   commit.result)
                    : platform::write_file_from(out, *old_file, old_offset[i], n.stored_size);
            if (!written || !commit.progress(n.stored_size)) {
                if (commit.result.status != ChangeStatus::committed &&
                    commit.result.status != ChangeStatus::write_failed)
                    end = RunEnd::damaged;  // not a failed write: the status says what
                return false;
            }
        }
        return true;
    };
    const RunResult run = write_archive_file(path, placing, write, release);
    if (!run.completed()) {
        if (run.end == RunEnd::write_failed)
            commit.fail(ChangeStatus::write_failed, run.error);
        return false;
    }
    commit.result.rewritten = true;
    commit.result.image = std::move(image);
    return true;
}

}  // namespace

ChangeStatus read_tree_paths(const std::string& archive_path, std::vector<TreePath>& out, int& error)
{
    Transaction tx;
    const CommitStatus begun = tx.begin(archive_path, Transaction::Mode::dry_run);
    if (begun != CommitStatus::committed) {
        error = tx.error();
        return begun;
    }
    const std::vector<uint8_t>& image = tx.image();
    DirectoryTree tree;
    if (!tree.read(image.data(), image.size()))
        return ChangeStatus::damaged;
    out.clear();
    for (const uint32_t i : tree.in_order()) {
        const DirectoryTree::Node& n = tree.node(i);
        if (n.has_path())
            out.push_back(TreePath{tree.path(i), n.folder, n.live_file(), n.parent == DirectoryTree::none, n.place});
    }
    return ChangeStatus::committed;
}

namespace {

// The commit written with the archive anew, when its directory outgrows
// its room: compacted with every version kept, room made after the new
// directory, the targets' data after the old data, and this commit's
// version (engine/compact.h), in one step.
bool commit_rewriting(Commit& commit, Transaction& tx, const std::vector<Target>& targets, const std::string& path)
{
    DirectoryTree& tree = commit.tree;
    std::vector<bool> is_target(tree.size(), false);
    VersionedRewrite rewrite;
    for (const Target& t : targets) {
        is_target[t.node] = true;
        rewrite.new_data_size += target_size(t);
    }
    // Offsets are fixed-size fields: the image's size does not depend on them.
    rewrite.directory_size = tree.image().size() - header_size;
    if (rewrite.new_data_size + tx.data_end() >= archive_size_limit)
        return commit.fail(ChangeStatus::too_large);
    rewrite.note = VersionNote{summary_of(commit)};
    rewrite.make_image = [&](const OffsetMove& moved, uint64_t at, std::vector<uint8_t>& image, RunEnd&) {
        for (uint32_t i = 0; i < tree.size(); ++i) {
            DirectoryTree::Node& n = tree.node(i);
            if (!is_target[i] && !n.folder && n.live_file())
                n.data_offset = uint32_t(moved(n.data_offset));
        }
        for (const Target& t : targets) {
            give_data(tree.node(t.node), t, at);
            at += target_size(t);
        }
        image = tree.image();
        return true;
    };
    rewrite.write_new_data = [&](platform::OutputFile& out, RunEnd& end) {
        for (const Target& t : targets) {
            const bool written = write_prepared(
                *t.prepared, t.stored, commit.spool,
                [&](const uint8_t* d, size_t s) { return platform::write_file(out, d, s); }, commit.result);
            if (!written || !commit.progress(target_size(t))) {
                if (commit.result.status != ChangeStatus::committed && commit.result.status != ChangeStatus::write_failed)
                    end = RunEnd::damaged;  // not a failed write: the status says what
                return false;
            }
        }
        return true;
    };
    std::vector<uint8_t> image;
    const RunResult run = commit_by_rewrite(tx, path, rewrite, image);
    if (!run.completed()) {
        if (commit.result.ok())
            commit.fail(commit_status_of(run.end), run.error);
        return false;
    }
    commit.result.rewritten = true;
    commit.result.image = std::move(image);
    return true;
}

}  // namespace

ChangeResult commit_changes(const std::string& archive_path, const ChangeSet& changes, const CommitOptions& options)
{
    ChangeResult result;
    Commit commit(options, result);
    // A link at the archive's path stays: the file it leads to is changed.
    std::string path = platform::resolved_path(archive_path);
    if (path.empty())
        path = archive_path;  // cannot be found: the open says so
    std::string folder, name;
    split_path(path, folder, name);
    if (!prepare(changes, options, folder, commit.prepared, commit.spool, result))
        return result;

    const bool dry = options.dry_run;
    Transaction tx;
    const CommitStatus begun = tx.begin(path, dry ? Transaction::Mode::dry_run : Transaction::Mode::write);
    if (begun != CommitStatus::committed) {
        commit.fail(begun, tx.error());
        return result;
    }
    if (options.expect_directory != 0 && tx.identity() != options.expect_directory) {
        commit.fail(ChangeStatus::stale_place);
        return result;
    }
    const std::vector<uint8_t>& old_image = tx.image();
    if (tx.data_outside() || !commit.tree.read(old_image.data(), old_image.size())) {
        commit.fail(ChangeStatus::damaged);
        return result;
    }
    Applied applied = apply_changes(commit.tree, commit.prepared, tx.identity(), changes.changes(), result);
    result.status = applied.status;
    result.data_end = tx.data_end();
    std::vector<Target>& targets = applied.targets;
    if (!result.ok() || dry || (result.reports.empty() && targets.empty())) {
        if (result.ok()) {
            result.image = old_image;
            tx.file().stamp(result.stamp);
        }
        return result;
    }
    if (!prepare_recoded_targets(commit, applied, tx.file(), targets))
        return result;
    decide_methods(targets);

    bool no_room = false;
    const uint64_t room_end = std::min(tx.room_end(), first_data_byte(tx.reader(), commit.tree));
    if (commit_in_place(commit, tx, targets, room_end, no_room)) {
        result.data_end = tx.data_end();
        tx.file().stamp(result.stamp);
        return result;
    }
    if (!no_room)
        return result;
    if (commit_rewriting(commit, tx, targets, path)) {
        platform::FileStamp stamp;
        if (platform::stamp_of(path, stamp)) {
            result.stamp = stamp;
            result.data_end = stamp.size;
        }
    }
    return result;
}

ChangeResult create_archive(const std::string& new_path, const ChangeSet& changes,
                            const std::vector<uint8_t>& header, const CommitOptions& options, bool replace)
{
    ChangeResult result;
    Commit commit(options, result);
    platform::FileStamp there;
    const bool exists = platform::stamp_of(new_path, there);
    if (exists && !replace) {
        commit.fail(ChangeStatus::exists);
        return result;
    }
    std::string folder, name;
    if (!split_path(new_path, folder, name)) {
        commit.fail(ChangeStatus::write_failed);
        return result;
    }
    if (!prepare(changes, options, folder, commit.prepared, commit.spool, result))
        return result;
    std::vector<uint8_t> empty(header_size, 0);
    if (header.size() == header_size)
        std::copy(header.begin(), header.end(), empty.begin());
    write_be32(empty.data() + root_folder_count_at, 0);
    write_be32(empty.data() + directory_size_at, 0);
    seal_directory(empty.data());
    commit.tree.read(empty.data(), empty.size());
    Applied applied = apply_changes(commit.tree, commit.prepared, 0, changes.changes(), result);
    result.status = applied.status;
    if (!result.ok() || options.dry_run)
        return result;
    std::vector<Target>& targets = applied.targets;
    decide_methods(targets);
    if (commit_rewrite(commit, targets, new_path, exists ? Placing::replace : Placing::new_file, nullptr, nullptr)) {
        platform::FileStamp stamp;
        if (platform::stamp_of(new_path, stamp)) {
            result.stamp = stamp;
            result.data_end = stamp.size;
        }
    } else if (result.ok()) {
        commit.fail(ChangeStatus::write_failed, platform::last_error());
    }
    return result;
}

}  // namespace tavmerk
