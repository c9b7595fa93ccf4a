#include "engine/expand.h"
#include "engine/history.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "archive/reader.h"
#include "engine/archive_commit.h"
#include "engine/buffer_pool.h"
#include "engine/inflate.h"
#include "engine/output_tree.h"
#include "engine/report_job.h"
#include "engine/zstream.h"
#include "platform/platform.h"

namespace tavmerk {

namespace {

// In flight: at most this many jobs, each holding its file and folder open
// (well inside the usual limit of 1,024 open files whatever the number of
// cores), and at most this much data. A larger file still goes through alone.
constexpr WorkLimits expand_limits = WorkLimits::fixed_budget(size_t(16) << 20);
// Inflating and writing this much takes less than handing it to a worker.
constexpr size_t small_job = 8 << 10;
// Idle inflate buffers kept for the files after.
constexpr size_t pool_budget = size_t(32) << 20;

// What every job of one run shares; it outlives the run's OrderedWork.
struct ExpandRun {
    const platform::FileView& view;
    BufferPool& pool;
    ExpandEvents& events;
    ByteSink* stream;
};

using RecordReportJob = ReportJob<ExpandEvents, ExpandReport, ExpandOutcome>;

// One live record on its way out. In a tree its file is created on the
// walking thread, in directory order, then inflated, written and closed on
// one worker (the inflated data still in that core's cache when written).
// To a stream, the worker fills a buffer and finish() writes it, in order.
//
// A record too large to hold whole (see largest_whole_record), or whose
// buffers cannot be had, goes through a piece at a time with zlib alone:
// in a tree on its worker, which holds two pieces; to a stream in
// finish(), at its turn, since its bytes must follow the records before
// it. Either way memory stays bounded by the pieces whatever its size.
class FileJob : public Job {
public:
    FileJob(const ExpandRun& run, FileEntry entry) : run_(run), entry_(std::move(entry)) {}

    // Tree output: the created file, its name, and its folder: the tree's
    // own handle for work done here and now, or one of the job's own.
    std::string name;
    std::string temp_name;  // set when the file replaces one already there
    platform::OutputFile out;
    const platform::Folder* folder = nullptr;
    platform::Folder own_folder;

    bool stored() const { return entry_.kind == RecordKind::stored; }

    size_t cost() const override
    {
        if (in_pieces())
            return at_turn() ? 0 : 2 * stream_piece;
        return stored() ? entry_.stored_size : entry_.stored_size + inflate_capacity();
    }
    size_t held_after_work() const override { return run_.stream ? length_ : 0; }
    bool worth_a_worker() const override { return run_.stream ? cost() > small_job : folder == &own_folder; }
    bool has_work() const override { return !at_turn(); }

    // No console here. A tree file gets what zlib gave, also after a
    // failure, and is removed when it could not be written whole.
    void work() override
    {
        if (run_.stream) {
            fill_buffer();
            return;
        }
        if (stored()) {
            written_ = platform::write_file_from(out, run_.view, entry_.data_offset, entry_.stored_size);
        } else if (!in_pieces() && inflate()) {
            written_ = platform::write_file(out, buffer_.data.get(), length_);
        } else {
            inflate_pieces([this](const uint8_t* data, size_t size) {
                written_ = written_ && platform::write_file(out, data, size);
                return true;  // on to the stream's end all the same, for zlib's result
            });
        }
        written_ = platform::close_file(out) && written_;
        if (!temp_name.empty() && written_)
            written_ = platform::replace_file(*folder, temp_name, name);
        if (!written_) {
            error_ = platform::last_error();
            platform::remove_file(*folder, temp_name.empty() ? name : temp_name);
        }
        release_buffers();
    }

    void finish() override
    {
        if (run_.stream && (at_turn() || late_pieces_)) {
            write_pieces_to_stream();
        } else if (run_.stream) {
            written_ = run_.stream->write(buffer_.data.get(), length_) && written_;
            release_buffers();
        }
        const ExpandOutcome outcome = written_ ? ExpandOutcome::written : ExpandOutcome::write_failed;
        const uint64_t size = stored() ? entry_.stored_size : length_;
        run_.events.record(ExpandReport{entry_, outcome, stored() ? Z_OK : result_, error_, size});
    }

private:
    size_t inflate_capacity() const { return inflate_room(entry_.stored_size, entry_.expanded_size); }

    bool in_pieces() const
    {
        if (stored())
            return run_.stream && entry_.stored_size > largest_whole_record;
        return entry_.stored_size > largest_whole_record || inflate_capacity() > largest_whole_record;
    }
    bool at_turn() const { return run_.stream && in_pieces(); }

    void fill_buffer()
    {
        if (!stored()) {
            late_pieces_ = !inflate();
            return;
        }
        buffer_ = run_.pool.take(entry_.stored_size);
        late_pieces_ = !buffer_.data;
        length_ = !late_pieces_ && run_.view.read_at(entry_.data_offset, buffer_.data.get(), entry_.stored_size)
                      ? entry_.stored_size
                      : 0;
        written_ = late_pieces_ || length_ == entry_.stored_size;
    }

    // Inflates the whole stream into a buffer of the pool; false, with
    // nothing done, when the buffers cannot be had.
    bool inflate()
    {
        const size_t capacity = inflate_capacity();
        input_ = run_.pool.take(entry_.stored_size);
        buffer_ = run_.pool.take(capacity);
        length_ = 0;
        if (!input_.data || !buffer_.data) {
            release_buffers();
            return false;
        }
        // A read that fails (the archive cut short under the run) leaves a
        // stream that zlib reports on like any damaged one.
        if (!run_.view.read_at(entry_.data_offset, input_.data.get(), entry_.stored_size))
            std::fill_n(input_.data.get(), entry_.stored_size, uint8_t(0));
        result_ = inflate_stream(input_.data.get(), entry_.stored_size, buffer_.data.get(), capacity, length_);
        run_.pool.give(std::move(input_));
        return true;
    }

    void inflate_pieces(const PieceWriter& write)
    {
        uint64_t at = entry_.data_offset;
        const auto read = [&](uint8_t* dest, size_t size, size_t& got) {
            if (!run_.view.read_at(at, dest, size))
                std::fill_n(dest, size, uint8_t(0));  // as in inflate()
            at += size;
            got = size;
            return true;
        };
        const StreamResult inflated = inflate_in_pieces(entry_.stored_size, inflate_capacity(), read, write);
        result_ = inflated.result;
        length_ = size_t(inflated.out);  // what the record gave, for its report
        // Not even the pieces could be had: reported as a failed write.
        if (result_ == Z_MEM_ERROR)
            written_ = false;
    }

    // On the calling thread, in order: the record to the stream a piece at
    // a time.
    void write_pieces_to_stream()
    {
        written_ = true;
        const auto to_stream = [this](const uint8_t* data, size_t size) {
            written_ = written_ && run_.stream->write(data, size);
            return written_ || !stored();  // a stream goes on to its end, for zlib's result
        };
        if (!stored())
            return inflate_pieces(to_stream);
        uint64_t at = entry_.data_offset;
        const auto from_archive = [&](uint8_t* dest, size_t size, size_t& got) {
            got = size;
            at += size;
            return run_.view.read_at(at - size, dest, size);
        };
        const StreamResult copied = copy_in_pieces(entry_.stored_size, from_archive, to_stream);
        written_ = written_ && copied.result == Z_OK && !copied.read_failed;
    }

    void release_buffers()
    {
        run_.pool.give(std::move(input_));
        run_.pool.give(std::move(buffer_));
    }

    const ExpandRun& run_;
    FileEntry entry_;
    BufferPool::Buffer input_;   // the stream (compressed records)
    BufferPool::Buffer buffer_;  // inflated data, or stored data for a stream
    size_t length_ = 0;
    int result_ = Z_OK;
    int error_ = 0;  // the system's reason for a failed write
    bool written_ = true;
    bool late_pieces_ = false;  // to a stream: no buffers for it whole, so in pieces at its turn
};

// The part of `path` below the root, levels joined by "/".
std::string relative_path(const std::string& path, size_t root_length)
{
    std::string relative = path.substr(root_length);
    if (platform::separator != '/')
        std::replace(relative.begin(), relative.end(), platform::separator, '/');
    return relative;
}

// Walks the archive and hands every selected record to a job, on the
// calling thread and in directory order: the one place where files are
// created, so that none is created before an earlier report returns.
class Expansion {
public:
    Expansion(const ArchiveReader& reader, const std::string& extract_root, const ExpandOptions& options,
              const ExpandRun& run, OrderedWork& work)
        : reader_(reader),
          root_(extract_root),
          options_(options),
          run_(run),
          tree_(extract_root, MissingFolders::make),
          work_(work)
    {
    }

    WalkEnd run()
    {
        RecordCursor records = reader_.records(root_);
        while (records.next()) {
            const FileEntry& entry = records.entry();
            if (!options_.select || options_.select(entry, relative_path(entry.path, root_.size())))
                take(entry);
        }
        work_.finish_all();
        return records.end();
    }

private:
    void report(const FileEntry& entry, ExpandOutcome outcome, int error = 0)
    {
        work_.submit(std::make_unique<RecordReportJob>(run_.events, entry, outcome, error));
    }

    void take(const FileEntry& entry)
    {
        if (!entry.live())
            return report(entry, ExpandOutcome::deleted);
        if (entry.unsafe)
            return report(entry, ExpandOutcome::unsafe);
        if (!reader_.data_inside(entry))
            return report(entry, ExpandOutcome::data_outside);
        auto job = std::make_unique<FileJob>(run_, entry);
        if (run_.stream)
            return work_.submit(std::move(job));
        const platform::Folder* folder = tree_.open_parent(entry.path, job->name);
        if (!folder)
            return report(entry, ExpandOutcome::cannot_create, tree_.error());
        switch (platform::create_file(*folder, job->name, job->out)) {
        case platform::CreateStatus::created:
            break;
        case platform::CreateStatus::exists:
            if (options_.existing == ExistingFile::replace) {
                // Written beside it, then renamed over it: readers see the
                // old file or the new one, and a link there is replaced,
                // never written through.
                if (!platform::create_temp_file(*folder, ".tavmerk", job->out, job->temp_name))
                    return report(entry, ExpandOutcome::cannot_create, platform::last_error());
                break;
            }
            if (options_.existing == ExistingFile::skip)
                return report(entry, ExpandOutcome::exists);
            work_.finish_all();
            run_.events.record(ExpandReport{entry, ExpandOutcome::exists, Z_OK});
            return;
        case platform::CreateStatus::failed:
            return report(entry, ExpandOutcome::cannot_create, platform::last_error());
        }
        // A worker writes through a handle of its own on the folder; a job
        // that is small or cannot have one is done here and now.
        job->folder = folder;
        if (work_.workers() > 0 && job->cost() > small_job && platform::duplicate_folder(*folder, job->own_folder))
            job->folder = &job->own_folder;
        work_.submit(std::move(job));
    }

    const ArchiveReader& reader_;
    const std::string& root_;
    const ExpandOptions& options_;
    const ExpandRun& run_;
    OutputTree tree_;
    OrderedWork& work_;
};

}  // namespace

RunResult expand_archive(const std::string& archive_path, const std::string& extract_root,
                         const ExpandOptions& options, ExpandEvents& events)
{
    // Shared: a repack of the same archive waits, or is waited for.
    platform::FileView view;
    ArchiveReader reader;
    const RunResult opened = map_committed_archive(archive_path, platform::LockKind::shared, view, reader);
    if (!opened.completed())
        return opened;
    std::vector<uint8_t> version_image;
    if (!options.at.empty()) {
        ArchiveReader at;
        if (open_version(view, reader, options.at, version_image, at) != VersionOpen::ok)
            return {RunEnd::damaged};
        reader = at;
    }
    BufferPool pool(pool_budget);
    const ExpandRun run{view, pool, events, options.stream};
    OrderedWork work(options.workers, expand_limits);
    Expansion expansion(reader, extract_root, options, run, work);
    return walk_result(expansion.run());
}

}  // namespace tavmerk
