// The archive handle: opening, loading the directory in force, listing,
// verifying and extracting.
#include <cerrno>
#include <cstring>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "archive/reader.h"
#include "engine/change_set.h"
#include "engine/expand.h"
#include "engine/path_glob.h"
#include "engine/paths.h"
#include "engine/record_commit.h"
#include "engine/verify.h"
#include "lib/handles.h"
#include "tavmerk_version.h"

namespace tavmerk::library {

namespace {

struct LastError {
    std::string message;
    int system = 0;
};
thread_local LastError last_error;

// The system's code told for something that is not a regular file (the
// platform's own code, platform::not_regular_file): an invalid argument.
#ifdef _WIN32
constexpr int not_regular_code = 87;  // ERROR_INVALID_PARAMETER
#else
constexpr int not_regular_code = EINVAL;
#endif

int32_t kind_of(const ArchiveEntry& e)
{
    if (e.folder)
        return TAVMERK_FOLDER;
    switch (e.kind) {
    case RecordKind::stored:
        return TAVMERK_STORED;
    case RecordKind::compressed:
        return TAVMERK_ZLIB;
    case RecordKind::deleted:
        break;
    }
    return TAVMERK_DELETED;
}

}  // namespace

tavmerk_status fail(tavmerk_status status, std::string message, int system_error)
{
    last_error.message = std::move(message);
    last_error.system = system_error == platform::not_regular_file ? not_regular_code : system_error;
    return status;
}

tavmerk_status fail_system(const std::string& what)
{
    const int error = platform::last_error();
    return fail(TAVMERK_ERROR_SYSTEM, what + ": " + platform::error_message(error), error);
}

tavmerk_status version_failure(const std::string& path, VersionOpen problem, const std::string& at)
{
    const tavmerk_status status = problem == VersionOpen::damaged ? TAVMERK_ERROR_DAMAGED : TAVMERK_ERROR_NO_VERSION;
    return fail(status, path + ": " + version_problem(problem, at));
}

namespace {

// The image of `loaded` replaced by that of version `at` (checked by the
// caller to be "K" or "~K"), read from its history; the image in force
// kept beside it.
tavmerk_status load_version(const std::string& path, Loaded& loaded, const std::string& at)
{
    ArchiveReader current, reader;
    if (!current.open(loaded.image.data(), loaded.image.size(), loaded.data_end))
        return fail(TAVMERK_ERROR_DAMAGED, path + ": damaged directory");
    const std::shared_ptr<platform::UpdateFile> file = loaded.file;
    const ReadAt read_at = [&file](uint64_t offset, uint8_t* dest, size_t size) {
        return file->read_at(offset, dest, size);
    };
    std::vector<uint8_t> image;
    const VersionOpen opened = open_version(read_at, current, at, image, reader, &loaded.version);
    if (opened != VersionOpen::ok)
        return version_failure(path, opened, at);
    loaded.in_force = std::move(loaded.image);
    loaded.image = std::move(image);
    loaded.at_version = true;
    return TAVMERK_OK;
}

// The entries of `loaded.image`, and the table the header shows.
tavmerk_status list_loaded(const std::string& path, Loaded& loaded)
{
    loaded.directory = directory_identity(loaded.image.data(), loaded.image.size());
    ArchiveReader reader;
    if (!reader.open(loaded.image.data(), loaded.image.size(), loaded.data_end))
        return fail(TAVMERK_ERROR_DAMAGED, path + ": damaged directory");
    if (!list_entries(reader, loaded.entries))
        return fail(TAVMERK_ERROR_DAMAGED, path + ": damaged directory (a bad folder id)");
    // One block of names, so that a caller can take them all at once.
    size_t names_size = 0;
    for (const ArchiveEntry& e : loaded.entries)
        names_size += e.path.size() + 1;
    loaded.names.reserve(names_size);
    loaded.table.reserve(loaded.entries.size());
    for (const ArchiveEntry& e : loaded.entries) {
        tavmerk_entry t{};
        t.path = loaded.names.data() + loaded.names.size();
        loaded.names.insert(loaded.names.end(), e.path.begin(), e.path.end());
        loaded.names.push_back('\0');
        t.path_length = e.path.size();
        t.place = e.place;
        t.stored_size = e.stored_size;
        t.expanded_size = e.expanded_size;
        t.checksum = e.checksum;
        t.data_offset = e.data_offset;
        t.kind = kind_of(e);
        t.flags = (e.unsafe ? TAVMERK_ENTRY_UNSAFE : 0u) | (e.shown ? TAVMERK_ENTRY_SHOWN : 0u);
        loaded.table.push_back(t);
    }
    return TAVMERK_OK;
}

}  // namespace

tavmerk_status load(const std::string& path, Loaded& out, const std::string& at)
{
    Loaded loaded;
    loaded.file = std::make_shared<platform::UpdateFile>();
    if (!loaded.file->open(path, platform::LockKind::shared, platform::Access::read_only))
        return fail_system(path + ": cannot open");
    if (!read_committed_directory(*loaded.file, loaded.image, loaded.data_end))
        return fail_system(path + ": cannot read");
    loaded.file->unlock();
    tavmerk_status status = at.empty() ? TAVMERK_OK : load_version(path, loaded, at);
    if (status == TAVMERK_OK)
        status = list_loaded(path, loaded);
    if (status == TAVMERK_OK)
        out = std::move(loaded);
    return status;
}

// The history of the archive as loaded, listed into `loaded.versions`.
void list_versions(Loaded& loaded)
{
    const std::vector<uint8_t>& image = loaded.image_in_force();
    ArchiveReader reader;
    const std::shared_ptr<platform::UpdateFile> file = loaded.file;
    History history;
    if (reader.open(image.data(), image.size(), loaded.data_end))
        history = read_history(HistorySource{&reader, loaded.data_end, [&file](uint64_t at, uint8_t* dest, size_t size) {
                                                 return file->read_at(at, dest, size);
                                             }});
    loaded.summaries.clear();
    for (const VersionInfo& v : history.versions)
        loaded.summaries.push_back(v.summary);
    loaded.versions.clear();
    for (size_t i = 0; i < history.versions.size(); ++i) {
        const VersionInfo& v = history.versions[i];
        tavmerk_version_info info{};
        info.version = v.version;
        info.flags = (v.time_known ? TAVMERK_VERSION_TIME_KNOWN : 0u) |
                     (v.counts_known ? TAVMERK_VERSION_COUNTS_KNOWN : 0u) |
                     (v.data_kept ? TAVMERK_VERSION_DATA_KEPT : 0u);
        info.time = v.time_known ? v.time : 0;
        info.files = v.files;
        if (v.counts_known) {
            info.added = v.added;
            info.changed = v.changed;
            info.removed = v.removed;
        }
        info.summary = loaded.summaries[i].c_str();
        loaded.versions.push_back(info);
    }
    loaded.history_end = history.end == HistoryEnd::repack    ? TAVMERK_HISTORY_REPACK
                         : history.end == HistoryEnd::damaged ? TAVMERK_HISTORY_DAMAGED
                                                              : TAVMERK_HISTORY_COMPLETE;
    loaded.versions_listed = true;
}

// The archive's places by the offset of their records in the block.
std::unordered_map<size_t, uint64_t> places_by_record(const Loaded& loaded)
{
    std::unordered_map<size_t, uint64_t> places;
    for (const ArchiveEntry& e : loaded.entries)
        if (!e.folder)
            places.emplace(e.record_at, e.place);
    return places;
}

// The file records of the directory loaded, known again in the directory
// an extraction reads, which a commit may have replaced since: the same
// path, sizes, checksum and data offset make the same record (data once
// written is never overwritten).
class LoadedRecords {
public:
    explicit LoadedRecords(const Loaded& loaded)
    {
        for (const ArchiveEntry& e : loaded.entries)
            if (!e.folder && e.live())
                by_data_.emplace(e.data_offset, &e);
    }

    // The place in the directory loaded of the record `entry` at
    // `relative`, each place matched once (in directory order, where two
    // records are alike); UINT64_MAX where it has none.
    uint64_t match(const FileEntry& entry, const std::string& relative)
    {
        const auto range = by_data_.equal_range(entry.data_offset);
        for (auto it = range.first; it != range.second; ++it) {
            const ArchiveEntry& e = *it->second;
            if (e.stored_size != entry.stored_size || e.expanded_size != entry.expanded_size ||
                e.checksum != entry.checksum || matched_.count(e.place))
                continue;
            if (e.path == relative || normal_path(e.path) == normal_path(relative)) {
                matched_.insert(e.place);
                return e.place;
            }
        }
        return UINT64_MAX;
    }

private:
    std::unordered_multimap<uint32_t, const ArchiveEntry*> by_data_;
    std::unordered_set<uint64_t> matched_;
};

bool readable(tavmerk_archive* archive)
{
    return archive && archive->exists;
}

}  // namespace tavmerk::library

using namespace tavmerk;
using namespace tavmerk::library;

extern "C" {

const char* tavmerk_version(void)
{
    return TAVMERK_VERSION;
}

const char* tavmerk_last_error(void)
{
    return library::last_error.message.c_str();
}

int tavmerk_last_system_error(void)
{
    return library::last_error.system;
}

tavmerk_status tavmerk_open(const char* path, int mode, tavmerk_archive** out)
{
    return guarded([&] {
        if (!path || !out || mode < TAVMERK_READ || mode > TAVMERK_CREATE)
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_open: bad arguments");
        *out = nullptr;
        auto archive = std::make_unique<tavmerk_archive>();
        archive->path = make_archive_path(path);
        archive->mode = mode;
        if (archive->path.empty())
            return fail_system(std::string(path) + ": cannot find the current folder");
        platform::FileStamp stamp;
        if (mode == TAVMERK_CREATE) {
            if (platform::stamp_of(archive->path, stamp))
                return fail(TAVMERK_ERROR_EXISTS, std::string(path) + ": exists already");
        } else {
            const tavmerk_status status = load(archive->path, archive->loaded);
            if (status != TAVMERK_OK)
                return status;
            archive->exists = true;
        }
        *out = archive.release();
        return TAVMERK_OK;
    });
}

void tavmerk_close(tavmerk_archive* archive)
{
    delete archive;
}

tavmerk_status tavmerk_reload(tavmerk_archive* archive)
{
    return guarded([&] {
        if (!readable(archive))
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_reload: no archive");
        std::lock_guard<std::mutex> lock(archive->mutex);
        archive->names.reset();
        const Loaded& loaded = archive->loaded;
        return load(archive->path, archive->loaded,
                    loaded.at_version ? std::to_string(loaded.version) : std::string());
    });
}

tavmerk_status tavmerk_entries(tavmerk_archive* archive, const tavmerk_entry** entries, size_t* count)
{
    if (!archive || !entries || !count)
        return fail(TAVMERK_ERROR_INVALID, "tavmerk_entries: bad arguments");
    std::lock_guard<std::mutex> lock(archive->mutex);
    *entries = archive->loaded.table.data();
    *count = archive->loaded.table.size();
    return TAVMERK_OK;
}

tavmerk_status tavmerk_open_version(const char* path, const char* version, tavmerk_archive** out)
{
    return guarded([&] {
        if (!path || !version || !out)
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_open_version: bad arguments");
        *out = nullptr;
        auto archive = std::make_unique<tavmerk_archive>();
        archive->path = make_archive_path(path);
        archive->mode = TAVMERK_READ;
        if (archive->path.empty())
            return fail_system(std::string(path) + ": cannot find the current folder");
        if (!is_version_text(version))
            return fail(TAVMERK_ERROR_INVALID, archive->path + ": " + version + ": a version is K or ~K");
        const tavmerk_status status = load(archive->path, archive->loaded, version);
        if (status != TAVMERK_OK)
            return status;
        archive->exists = true;
        *out = archive.release();
        return TAVMERK_OK;
    });
}

tavmerk_status tavmerk_versions(tavmerk_archive* archive, const tavmerk_version_info** versions, size_t* count,
                                int* history_end)
{
    return guarded([&] {
        if (!readable(archive) || !versions || !count)
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_versions: bad arguments");
        std::lock_guard<std::mutex> lock(archive->mutex);
        Loaded& loaded = archive->loaded;
        if (!loaded.versions_listed)
            list_versions(loaded);
        *versions = loaded.versions.data();
        *count = loaded.versions.size();
        if (history_end)
            *history_end = loaded.history_end;
        return TAVMERK_OK;
    });
}

tavmerk_status tavmerk_verify(tavmerk_archive* archive, tavmerk_problem_fn problem, void* problem_context,
                              tavmerk_progress_fn progress, void* progress_context)
{
    return guarded([&] {
        if (!readable(archive))
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_verify: no archive");
        std::lock_guard<std::mutex> lock(archive->mutex);
        const Loaded& loaded = archive->loaded;
        ArchiveReader reader;
        if (!reader.open(loaded.image.data(), loaded.image.size(), loaded.data_end))
            return fail(TAVMERK_ERROR_DAMAGED, archive->path + ": damaged directory");
        const auto places = places_by_record(loaded);
        struct Events : VerifyEvents {
            tavmerk_problem_fn problem;
            void* problem_context;
            tavmerk_progress_fn progress;
            void* progress_context;
            const std::unordered_map<size_t, uint64_t>* places;
            uint64_t bytes = 0, records = 0;
            bool cancelled = false, stopped = false;
            void bad_directory_crc() override
            {
                if (problem && !problem(problem_context, UINT64_MAX, "bad directory_crc"))
                    stopped = true;
            }
            bool record(const VerifyReport& report) override
            {
                bytes += report.entry.stored_size;
                ++records;
                for (const VerifyNote& note : report.problems) {
                    if (stopped)
                        break;
                    if (problem && !problem(problem_context, places->at(report.entry.record_at), describe(note).c_str()))
                        stopped = true;
                }
                if (progress && !progress(progress_context, bytes, records))
                    cancelled = true;
                return !stopped && !cancelled;
            }
        } events;
        events.problem = problem;
        events.problem_context = problem_context;
        events.progress = progress;
        events.progress_context = progress_context;
        events.places = &places;
        VerifyOptions options;
        options.workers = default_workers();
        const std::shared_ptr<platform::UpdateFile> file = loaded.file;
        options.read_at = [file](uint64_t offset, uint8_t* dest, size_t size) {
            return file->read_at(offset, dest, size);
        };
        const VerifyResult result = verify_records(reader, options, events);
        if (events.cancelled)
            return fail(TAVMERK_ERROR_CANCELLED, archive->path + ": cancelled");
        if (result.out_of_memory)
            return fail(TAVMERK_ERROR_SYSTEM, archive->path + ": not enough memory to verify every record");
        if (result.problems > 0)
            return fail(TAVMERK_ERROR_DAMAGED, archive->path + ": " + std::to_string(result.problems) + " problems");
        return TAVMERK_OK;
    });
}

tavmerk_status tavmerk_extract(tavmerk_archive* archive, const char* target, const char* const* patterns,
                               size_t pattern_count, const uint64_t* places, size_t place_count, int existing,
                               tavmerk_left_out_fn left_out, void* left_out_context, tavmerk_progress_fn progress,
                               void* progress_context)
{
    return guarded([&] {
        if (!readable(archive) || !target || (pattern_count && !patterns) || (place_count && !places) ||
            existing < TAVMERK_EXISTING_KEEP || existing > TAVMERK_EXISTING_REPLACE)
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_extract: bad arguments");
        std::lock_guard<std::mutex> lock(archive->mutex);
        const std::string root = make_extract_root(target);
        if (root.empty())
            return fail_system(std::string(target) + ": cannot find the current folder");
        // The walk reads the directory in force, which may not be the one
        // loaded: its records are known by their fields (LoadedRecords).
        const auto& entries = archive->loaded.entries;
        LoadedRecords loaded_records(archive->loaded);
        std::unordered_map<size_t, uint64_t> by_record;  // records of the walk taken: their places as loaded
        std::unordered_set<uint64_t> wanted, found;      // places of live files asked for, and those met
        for (size_t i = 0; i < place_count; ++i)
            if (places[i] < entries.size() && !entries[size_t(places[i])].folder &&
                entries[size_t(places[i])].live())
                wanted.insert(places[i]);
        const bool every = pattern_count == 0 && place_count == 0;
        std::vector<std::string> globs(patterns, patterns + pattern_count);
        bool cancelled = false;
        ExpandOptions options;
        options.existing = existing == TAVMERK_EXISTING_REPLACE ? ExistingFile::replace : ExistingFile::skip;
        if (archive->loaded.at_version)
            options.at = std::to_string(archive->loaded.version);
        options.select = [&](const FileEntry& entry, const std::string& relative) {
            if (cancelled || !entry.live())
                return false;
            const uint64_t place = loaded_records.match(entry, relative);
            bool take = every || wanted.count(place);
            for (size_t i = 0; !take && i < globs.size(); ++i)
                take = glob_match(globs[i], relative);
            if (take && place != UINT64_MAX) {
                by_record.emplace(entry.record_at, place);
                if (wanted.count(place))
                    found.insert(place);
            }
            return take;
        };
        struct Events : ExpandEvents {
            const std::unordered_map<size_t, uint64_t>* by_record;
            tavmerk_left_out_fn left_out;
            void* left_out_context;
            tavmerk_progress_fn progress;
            void* progress_context;
            bool* cancelled;
            bool keep_existing = true;  // an existing file is told as left out
            bool incomplete = false;
            uint64_t bytes = 0, records = 0;
            void tell(const ExpandReport& report, int reason)
            {
                incomplete = true;
                const auto place = by_record->find(report.entry.record_at);
                if (left_out)
                    left_out(left_out_context, place == by_record->end() ? UINT64_MAX : place->second, reason,
                             report.error);
            }
            void record(const ExpandReport& report) override
            {
                switch (report.outcome) {
                case ExpandOutcome::written:
                    if (report.inflate_result != 0 ||
                        (report.entry.kind == RecordKind::compressed && report.size != report.entry.expanded_size))
                        tell(report, TAVMERK_LEFT_BAD_DATA);
                    break;
                case ExpandOutcome::exists:
                    if (keep_existing)
                        tell(report, TAVMERK_LEFT_EXISTS);
                    break;
                case ExpandOutcome::unsafe:
                    tell(report, TAVMERK_LEFT_UNSAFE);
                    break;
                case ExpandOutcome::data_outside:
                    tell(report, TAVMERK_LEFT_DATA_OUTSIDE);
                    break;
                case ExpandOutcome::cannot_create:
                    tell(report, TAVMERK_LEFT_CANNOT_CREATE);
                    break;
                case ExpandOutcome::write_failed:
                    tell(report, TAVMERK_LEFT_WRITE_FAILED);
                    break;
                case ExpandOutcome::deleted:
                    return;
                }
                bytes += report.size;
                ++records;
                if (progress && !*cancelled && !progress(progress_context, bytes, records))
                    *cancelled = true;
            }
        } events;
        events.by_record = &by_record;
        events.left_out = left_out;
        events.left_out_context = left_out_context;
        events.progress = progress;
        events.progress_context = progress_context;
        events.cancelled = &cancelled;
        events.keep_existing = existing == TAVMERK_EXISTING_KEEP;
        const RunResult result = expand_archive(archive->path, root, options, events);
        switch (result.end) {
        case RunEnd::completed:
            break;
        case RunEnd::cannot_open:
            return fail(TAVMERK_ERROR_SYSTEM, archive->path + ": cannot open: " + platform::error_message(result.error),
                        result.error);
        case RunEnd::write_failed:
            return fail(TAVMERK_ERROR_SYSTEM, archive->path + ": write failed: " + platform::error_message(result.error),
                        result.error);
        case RunEnd::damaged:
        case RunEnd::bad_folder_id:
        case RunEnd::data_outside:
            return fail(TAVMERK_ERROR_DAMAGED, archive->path + ": damaged directory");
        }
        if (cancelled)
            return fail(TAVMERK_ERROR_CANCELLED, archive->path + ": cancelled");
        if (found.size() < wanted.size())
            return fail(TAVMERK_ERROR_STALE, archive->path + ": the archive changed since it was loaded, and " +
                                                 std::to_string(wanted.size() - found.size()) +
                                                 " records asked for by place are no longer at their paths");
        if (events.incomplete)
            return fail(TAVMERK_ERROR_INCOMPLETE, archive->path + ": some records were left out");
        return TAVMERK_OK;
    });
}

}  // extern "C"
