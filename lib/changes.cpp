// Staged changes and their one commit (engine/change_set.h), and new
// archives made from a folder. A call that cannot stage its change (a name
// "/E" would not write back, nothing at a path) fails at once and leaves
// the rest staged; the engine checks everything again at the commit, under
// the exclusive lock, against the directory then in force.
#include <unordered_set>

#include "engine/ordered_work.h"
#include "engine/tree_staging.h"
#include "engine/undo.h"
#include "lib/handles.h"

namespace tavmerk::library {

namespace {

// A commit's line in the history where the caller gives none.
const char default_summary[] = "library commit";

Storage storage_of(int storage)
{
    return storage == TAVMERK_STORAGE_STORE      ? Storage::store
           : storage == TAVMERK_STORAGE_COMPRESS ? Storage::compress
                                                 : Storage::chosen;
}

tavmerk_status stageable(tavmerk_archive* archive, const char* path, int storage = TAVMERK_STORAGE_CHOSEN)
{
    if (!archive || !path || storage < TAVMERK_STORAGE_CHOSEN || storage > TAVMERK_STORAGE_COMPRESS)
        return fail(TAVMERK_ERROR_INVALID, "bad arguments");
    if (archive->mode == TAVMERK_READ)
        return fail(TAVMERK_ERROR_INVALID, archive->path + ": opened for reading only");
    return TAVMERK_OK;
}


// Whether `path` names a live file or a folder, in the directory loaded or
// made by a change staged before (a put, mkdir or rename).
bool names_something(const tavmerk_archive& archive, const std::string& path)
{
    for (const ArchiveEntry& e : archive.loaded.entries)
        if (!e.unsafe && e.live() && e.path == path)
            return true;
    for (const Change& c : archive.changes.changes())
        if (c.kind == ChangeKind::rename ? c.to == path : c.kind != ChangeKind::remove && c.path == path)
            return true;
    return false;
}

tavmerk_status existing(const tavmerk_archive& archive, const char* path)
{
    if (!names_something(archive, path))
        return fail(TAVMERK_ERROR_NOT_FOUND, std::string(path) + ": no such file or folder in the archive");
    return TAVMERK_OK;
}

tavmerk_status at_place(const tavmerk_archive& archive, uint64_t place)
{
    const auto& entries = archive.loaded.entries;
    if (place >= entries.size() || !entries[size_t(place)].live())
        return fail(TAVMERK_ERROR_NOT_FOUND, archive.path + ": nothing at place " + std::to_string(place));
    return TAVMERK_OK;
}

// A change of the entry at `place` in the directory loaded: checked at the
// commit against the directory then in force (engine/change_set.h).
Change placed_change(const tavmerk_archive& archive, ChangeKind kind, uint64_t place)
{
    const ArchiveEntry& e = archive.loaded.entries[size_t(place)];
    Change change;
    change.kind = kind;
    change.path = e.path;
    change.place = size_t(place);
    change.directory = archive.loaded.directory;
    change.entry.folder = e.folder;
    change.entry.stored_size = e.stored_size;
    change.entry.expanded_size = e.expanded_size;
    change.entry.checksum = e.checksum;
    change.entry.data_offset = e.data_offset;
    return change;
}

// The place of the live entry listed at `path` where only the listing
// gives that path: a directory path below a top-level folder with no name
// ("/name"), which "/E" writes at the top. UINT64_MAX for any other path.
uint64_t listed_place(const tavmerk_archive& archive, const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return UINT64_MAX;
    for (const ArchiveEntry& e : archive.loaded.entries)
        if (e.shown && e.path == path)
            return e.place;
    return UINT64_MAX;
}

// A change at `path`: by the place of the entry listed there where only
// the listing gives that path (listed_place), else by the path.
Change change_at(const tavmerk_archive& archive, ChangeKind kind, const std::string& path)
{
    const uint64_t place = listed_place(archive, path);
    if (place != UINT64_MAX)
        return placed_change(archive, kind, place);
    Change change;
    change.kind = kind;
    change.path = path;
    return change;
}

StagedNames& names_of(tavmerk_archive& archive)
{
    if (!archive.names)
        archive.names = std::make_unique<StagedNames>(archive.loaded, archive.changes);
    return *archive.names;
}

// Whether a file (`file`) or folder may be staged at `path` now (without
// `target_too`, whatever stands at `path` itself is not asked about).
tavmerk_status check_name(tavmerk_archive& archive, const std::string& path, bool file, bool target_too = true)
{
    const uint64_t place = listed_place(archive, path);
    if (place != UINT64_MAX) {
        if (target_too && archive.loaded.entries[size_t(place)].folder == file)
            return fail(TAVMERK_ERROR_CONFLICT, path + ": a file where a folder is needed, or the reverse");
        return TAVMERK_OK;
    }
    return names_of(archive).check(path, file, target_too);
}

void stage(tavmerk_archive& archive, Change change)
{
    if (archive.names)
        archive.names->note(change);
    archive.changes.add(std::move(change));
}

tavmerk_status stage_put(tavmerk_archive& archive, const char* path, Content content, int storage)
{
    const tavmerk_status status = check_name(archive, path, true);
    if (status != TAVMERK_OK)
        return status;
    Change change = change_at(archive, ChangeKind::put, path);
    change.content = std::move(content);
    change.storage = storage_of(storage);
    stage(archive, std::move(change));
    return TAVMERK_OK;
}

// The engine's progress told to the C callback.
Progress progress_of(tavmerk_progress_fn progress, void* context)
{
    if (!progress)
        return nullptr;
    return [progress, context](uint64_t bytes, uint64_t records) { return progress(context, bytes, records) != 0; };
}

tavmerk_status result_status(const std::string& archive_path, const ChangeSet& changes, const ChangeResult& result)
{
    std::string change = archive_path;
    if (result.failed_change < changes.changes().size())
        change = changes.changes()[result.failed_change].path;
    const std::string reason = result.error ? ": " + platform::error_message(result.error) : std::string();
    switch (result.status) {
    case ChangeStatus::committed:
        return TAVMERK_OK;
    case ChangeStatus::refused_name:
        return fail(TAVMERK_ERROR_REFUSED, change + ": refused: a name \"/E\" would not write back");
    case ChangeStatus::not_found:
        return fail(TAVMERK_ERROR_NOT_FOUND, change + ": no such file or folder in the archive");
    case ChangeStatus::stale_place:
        return fail(TAVMERK_ERROR_STALE, change + ": the archive changed since it was loaded, and that record is "
                                                  "no longer at its path");
    case ChangeStatus::conflict:
        return fail(TAVMERK_ERROR_CONFLICT, change + ": a file where a folder is needed, or a folder that is not empty");
    case ChangeStatus::too_large:
        return fail(TAVMERK_ERROR_TOO_LARGE, archive_path + ": the changes would take the archive to 4 GiB");
    case ChangeStatus::read_failed:
        return fail(TAVMERK_ERROR_SYSTEM, change + ": cannot read" + reason, result.error);
    case ChangeStatus::cannot_open:
        return fail(TAVMERK_ERROR_SYSTEM, archive_path + ": cannot open" + reason, result.error);
    case ChangeStatus::damaged:
    case ChangeStatus::data_outside:
        return fail(TAVMERK_ERROR_DAMAGED, archive_path + ": damaged directory, or data outside the file");
    case ChangeStatus::no_record:
        return fail(TAVMERK_ERROR_NOT_FOUND, change + ": the archive changed since it was read");
    case ChangeStatus::exists:
        return fail(TAVMERK_ERROR_EXISTS, archive_path + ": exists already");
    case ChangeStatus::write_failed:
        return fail(TAVMERK_ERROR_SYSTEM, archive_path + ": write failed" + reason, result.error);
    case ChangeStatus::cancelled:
        return fail(TAVMERK_ERROR_CANCELLED, archive_path + ": cancelled; left as it was");
    }
    return fail(TAVMERK_ERROR_SYSTEM, archive_path + ": unexpected result");
}

template <class Stage>
tavmerk_status staging(tavmerk_archive* archive, const char* path, int storage, Stage&& stage)
{
    return guarded([&] {
        tavmerk_status status = stageable(archive, path, storage);
        if (status != TAVMERK_OK)
            return status;
        std::lock_guard<std::mutex> lock(archive->mutex);
        return stage();
    });
}

// The archive read again after a commit (made or not), the commit's own
// failure, where there was one, kept as the error told.
tavmerk_status reload_after_commit(tavmerk_archive* archive, tavmerk_status status)
{
    archive->names.reset();
    const std::string message = tavmerk_last_error();
    const int error = tavmerk_last_system_error();
    const tavmerk_status loaded = load(archive->path, archive->loaded);
    if (status != TAVMERK_OK)
        return fail(status, message, error);
    return loaded;
}

}  // namespace

StagedNames::StagedNames(const Loaded& loaded, const ChangeSet& staged)
{
    for (const ArchiveEntry& e : loaded.entries)
        if (!e.unsafe && e.live() && !e.path.empty())
            add(e.path, !e.folder);
    for (const Change& c : staged.changes())
        note(c);
}

void StagedNames::add(const std::string& path, bool file)
{
    (file ? files_ : folders_).insert(path);
    add_folders_above(path);
}

void StagedNames::add_folders_above(const std::string& path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        folders_.insert(path.substr(0, at));
}

void StagedNames::move_below(std::set<std::string>& paths, const std::string& path, const std::string* to)
{
    std::vector<std::string> moved;
    const auto self = paths.find(path);
    if (self != paths.end()) {
        moved.push_back(*self);
        paths.erase(self);
    }
    const std::string prefix = path + "/";
    for (auto i = paths.lower_bound(prefix); i != paths.end() && i->compare(0, prefix.size(), prefix) == 0;) {
        moved.push_back(*i);
        i = paths.erase(i);
    }
    if (to)
        for (const std::string& m : moved)
            paths.insert(*to + m.substr(path.size()));
}

void StagedNames::note(const Change& change)
{
    switch (change.kind) {
    case ChangeKind::put:
        add(change.path, true);
        break;
    case ChangeKind::mkdir:
        add(change.path, false);
        break;
    case ChangeKind::remove:
        move_below(files_, change.path, nullptr);
        move_below(folders_, change.path, nullptr);
        break;
    case ChangeKind::rename:
        move_below(files_, change.path, &change.to);
        move_below(folders_, change.path, &change.to);
        add_folders_above(change.to);
        break;
    }
}

tavmerk_status StagedNames::check(const std::string& path, bool file, bool target_too) const
{
    if (!writable_path(path))
        return fail(TAVMERK_ERROR_REFUSED, path + ": refused: a name \"/E\" would not write back");
    if (!writable_new_name(path, file))
        return fail(TAVMERK_ERROR_REFUSED, path + ": refused: a file at the top level (files lie in folders)");
    for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
        if (files_.count(path.substr(0, at)))
            return fail(TAVMERK_ERROR_CONFLICT, path + ": a file stands on the way, at " + path.substr(0, at));
    if (target_too && (file ? folder_at(path) : files_.count(path) != 0))
        return fail(TAVMERK_ERROR_CONFLICT, path + (file ? ": a folder stands there" : ": a file stands there"));
    return TAVMERK_OK;
}

}  // namespace tavmerk::library

using namespace tavmerk;
using namespace tavmerk::library;

extern "C" {

tavmerk_status tavmerk_check_name(tavmerk_archive* archive, const char* path, int kind)
{
    return staging(archive, path, TAVMERK_STORAGE_CHOSEN, [&] {
        if (kind != TAVMERK_NAME_FILE && kind != TAVMERK_NAME_FOLDER)
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_check_name: bad kind");
        return check_name(*archive, path, kind == TAVMERK_NAME_FILE);
    });
}

tavmerk_status tavmerk_put_bytes(tavmerk_archive* archive, const char* path, const void* data, size_t size,
                                 int storage)
{
    return staging(archive, path, storage, [&] {
        if (size && !data)
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_put_bytes: no data");
        const auto* bytes = static_cast<const uint8_t*>(data);
        return stage_put(*archive, path, Content::of_bytes(std::vector<uint8_t>(bytes, bytes + size)), storage);
    });
}

tavmerk_status tavmerk_put_file(tavmerk_archive* archive, const char* path, const char* file_path, int storage)
{
    return staging(archive, path, storage, [&] {
        if (!file_path)
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_put_file: no file");
        const tavmerk_status status = check_name(*archive, path, true);
        if (status != TAVMERK_OK)
            return status;
        const std::string source = platform::absolute_path(file_path);
        platform::FileStamp stamp;
        if (source.empty() || !platform::stamp_of(source, stamp))
            return fail_system(std::string(file_path) + ": cannot open");
        return stage_put(*archive, path, Content::of_file(source), storage);
    });
}

tavmerk_status tavmerk_put_reader(tavmerk_archive* archive, const char* path, uint64_t size, tavmerk_read_fn read,
                                  void* context, int storage)
{
    return staging(archive, path, storage, [&] {
        if (!read)
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_put_reader: no reader");
        return stage_put(*archive, path, Content::of_reader(size, [read, context](uint64_t offset, uint8_t* dest, size_t n) {
                                              return read(context, offset, dest, n) != 0;
                                          }),
                         storage);
    });
}

tavmerk_status tavmerk_remove(tavmerk_archive* archive, const char* path)
{
    return staging(archive, path, TAVMERK_STORAGE_CHOSEN, [&] {
        if (existing(*archive, path) != TAVMERK_OK)
            return TAVMERK_ERROR_NOT_FOUND;
        stage(*archive, change_at(*archive, ChangeKind::remove, path));
        return TAVMERK_OK;
    });
}

tavmerk_status tavmerk_remove_place(tavmerk_archive* archive, uint64_t place)
{
    return staging(archive, "", TAVMERK_STORAGE_CHOSEN, [&] {
        if (at_place(*archive, place) != TAVMERK_OK)
            return TAVMERK_ERROR_NOT_FOUND;
        stage(*archive, placed_change(*archive, ChangeKind::remove, place));
        return TAVMERK_OK;
    });
}

// Stages a rename of `from` to `to`, checked as far as the staged changes
// tell.
tavmerk_status stage_rename(tavmerk_archive& archive, Change from, const char* to)
{
    if (!to)
        return fail(TAVMERK_ERROR_INVALID, "tavmerk_rename: no new name");
    const bool file = from.place != no_place ? !archive.loaded.entries[from.place].folder
                                             : !names_of(archive).folder_at(from.path);
    const tavmerk_status status = check_name(archive, to, file, false);
    if (status != TAVMERK_OK)
        return status;
    from.to = to;
    stage(archive, std::move(from));
    return TAVMERK_OK;
}

tavmerk_status tavmerk_rename(tavmerk_archive* archive, const char* from, const char* to)
{
    return staging(archive, from, TAVMERK_STORAGE_CHOSEN, [&] {
        if (to && existing(*archive, from) != TAVMERK_OK)
            return TAVMERK_ERROR_NOT_FOUND;
        return stage_rename(*archive, change_at(*archive, ChangeKind::rename, from), to);
    });
}

tavmerk_status tavmerk_rename_place(tavmerk_archive* archive, uint64_t place, const char* to)
{
    return staging(archive, to, TAVMERK_STORAGE_CHOSEN, [&] {
        if (at_place(*archive, place) != TAVMERK_OK)
            return TAVMERK_ERROR_NOT_FOUND;
        return stage_rename(*archive, placed_change(*archive, ChangeKind::rename, place), to);
    });
}

tavmerk_status tavmerk_mkdir(tavmerk_archive* archive, const char* path)
{
    return staging(archive, path, TAVMERK_STORAGE_CHOSEN, [&] {
        const tavmerk_status status = check_name(*archive, path, false);
        if (status != TAVMERK_OK || listed_place(*archive, path) != UINT64_MAX)
            return status;  // a folder listed at a path only the listing gives is there already
        stage(*archive, change_at(*archive, ChangeKind::mkdir, path));
        return TAVMERK_OK;
    });
}

size_t tavmerk_staged(tavmerk_archive* archive)
{
    if (!archive)
        return 0;
    std::lock_guard<std::mutex> lock(archive->mutex);
    return archive->changes.changes().size();
}

tavmerk_status tavmerk_discard(tavmerk_archive* archive)
{
    if (!archive)
        return fail(TAVMERK_ERROR_INVALID, "tavmerk_discard: no archive");
    std::lock_guard<std::mutex> lock(archive->mutex);
    archive->changes.clear();
    archive->names.reset();
    return TAVMERK_OK;
}

tavmerk_status tavmerk_commit(tavmerk_archive* archive, tavmerk_progress_fn progress, void* context)
{
    return tavmerk_commit_summary(archive, nullptr, progress, context);
}

tavmerk_status tavmerk_commit_summary(tavmerk_archive* archive, const char* summary, tavmerk_progress_fn progress,
                                      void* context)
{
    return guarded([&] {
        tavmerk_status status = stageable(archive, "");
        if (status != TAVMERK_OK)
            return status;
        std::lock_guard<std::mutex> lock(archive->mutex);
        CommitOptions options;
        options.workers = default_workers();
        options.progress = progress_of(progress, context);
        options.summary = summary && *summary ? summary : default_summary;
        // Where an open file cannot be replaced, this handle's own would
        // stand in the way of a rewrite: let go of it (streams keep theirs).
        if (!platform::can_replace_open_file)
            archive->loaded = Loaded();
        const ChangeResult result = archive->exists
                                        ? commit_changes(archive->path, archive->changes, options)
                                        : create_archive(archive->path, archive->changes, {}, options);
        status = result_status(archive->path, archive->changes, result);
        if (status == TAVMERK_OK) {
            archive->changes.clear();
            archive->exists = true;
        }
        if (archive->exists)
            return reload_after_commit(archive, status);
        archive->names.reset();
        return status;
    });
}

tavmerk_status tavmerk_undo(tavmerk_archive* archive, const char* to, const char* summary)
{
    return guarded([&] {
        tavmerk_status status = stageable(archive, "");
        if (status != TAVMERK_OK)
            return status;
        std::lock_guard<std::mutex> lock(archive->mutex);
        if (!archive->exists || !archive->changes.changes().empty())
            return fail(TAVMERK_ERROR_INVALID, archive->path + ": " +
                                                   (archive->exists ? "changes are staged: commit or discard them first"
                                                                    : "no archive yet"));
        const std::string version = to ? to : "~1";
        if (!is_version_text(version))
            return fail(TAVMERK_ERROR_INVALID, archive->path + ": " + version + ": a version is K or ~K");
        CommitOptions options;
        if (summary)
            options.summary = summary;
        if (!platform::can_replace_open_file)
            archive->loaded = Loaded();
        bool dropped = false;
        const ChangeResult result = undo_to_version(archive->path, version, options, &dropped);
        if (result.status == ChangeStatus::not_found)
            status = version_failure(archive->path, dropped ? VersionOpen::dropped : VersionOpen::unknown, version);
        else
            status = result_status(archive->path, archive->changes, result);
        return reload_after_commit(archive, status);
    });
}

tavmerk_status tavmerk_create(const char* path, const char* folder, tavmerk_progress_fn progress, void* context)
{
    return guarded([&] {
        if (!path || !folder)
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_create: bad arguments");
        const std::string new_path = platform::absolute_path(path);
        std::string root = platform::absolute_path(folder);
        while (root.size() > 1 && platform::is_separator(root.back()))
            root.pop_back();
        platform::Folder tree;
        std::vector<platform::FolderItem> items;
        if (new_path.empty() || root.empty() ||
            !platform::open_root_folder(root, platform::MissingFolders::refuse, tree) || !sorted_items(tree, items))
            return fail_system(std::string(folder) + ": cannot open the folder");
        ChangeSet changes;
        // The first item that would be left out refuses the whole tree.
        tavmerk_status refused = TAVMERK_OK;
        TreeStaging staging;
        staging.storage = [](const std::string&) { return Storage::chosen; };
        staging.left_out = [&](const std::string& disk_path, LeftOutItem why, int error) {
            if (refused != TAVMERK_OK)
                return;
            if (why == LeftOutItem::link || why == LeftOutItem::not_regular)
                refused = fail(TAVMERK_ERROR_REFUSED, disk_path + ": not a regular file or folder");
            else
                refused = fail(TAVMERK_ERROR_SYSTEM, disk_path + ": cannot read: " + platform::error_message(error),
                               error);
        };
        for (const platform::FolderItem& item : items) {
            if (item.kind == platform::ItemKind::file)
                return fail(TAVMERK_ERROR_REFUSED, joined_path(root, item.name) +
                                                       ": a file at the top of the tree; an archive holds files "
                                                       "only in folders");
            stage_item(changes, tree, joined_path(root, item.name), item.name, item, staging);
        }
        if (refused != TAVMERK_OK)
            return refused;
        CommitOptions options;
        options.workers = default_workers();
        options.progress = progress_of(progress, context);
        options.summary = default_summary;
        return result_status(new_path, changes, create_archive(new_path, changes, {}, options));
    });
}

}  // extern "C"
