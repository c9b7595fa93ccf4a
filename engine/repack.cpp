#include "engine/repack.h"
#include "engine/history.h"
#include "archive/room.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "archive/layout.h"
#include "archive/reader.h"
#include "checksum/checksum.h"
#include "engine/archive_commit.h"
#include "engine/inflate.h"
#include "engine/output_tree.h"
#include "engine/report_job.h"
#include "engine/transaction.h"
#include "engine/zstream.h"
#include "platform/platform.h"

namespace tavmerk {

namespace {

// Offsets and sizes are 32-bit: no byte of the archive may lie at or past
// 4 GiB, and no source may be 4 GiB or larger.

// Each job in flight holds its source open until it is read; the count
// stays well inside the usual limit of 1,024 open files whatever the number
// of cores. What jobs hold in flight (their streams) is capped at 2 x
// workers times the largest source seen so far (L), one L with a single
// worker. With each thread's source buffer (L) that is at most
// (3 x workers + 1) x L in memory, below 4 x workers x L, and it leaves room
// for many small files behind a large one. L is never more than
// largest_whole_record: a larger source goes through in pieces, at its
// turn, and holds nothing in flight.
WorkLimits repack_limits(unsigned workers)
{
    return WorkLimits::scaled_by_largest(workers > 1 ? 2 * size_t(workers) : 1);
}

// Compressing this much takes less than handing it to a worker.
constexpr size_t small_compress = 2 << 10;

// Each thread reads into buffers of its own that grow to the largest they
// have held and are reused, so that reading costs no fresh pages per file.
struct ThreadBuffers {
    std::vector<uint8_t> source;    // a source read whole
    std::vector<uint8_t> archived;  // a record's stored bytes, to compare with
    std::vector<uint8_t> inflated;  // those bytes inflated
};

ThreadBuffers& thread_buffers()
{
    thread_local ThreadBuffers buffers;
    return buffers;
}

// Reads the whole source into this thread's source buffer; false on a read
// error. `size` becomes what was read (fewer if the file shrank).
bool read_source(const platform::InputFile& in, size_t& size, const uint8_t*& data)
{
    std::vector<uint8_t>& buffer = thread_buffers().source;
    if (buffer.size() < size)
        buffer.resize(size);
    size_t got = 0;
    if (!platform::read_file(in, buffer.data(), size, got))
        return false;
    size = got;
    data = buffer.data();
    return true;
}

// What every job of one pass shares; finish() steps, on the calling
// thread, also change it. It outlives the pass's OrderedWork.
struct RepackRun {
    platform::UpdateFile& archive;
    std::vector<uint8_t>& directory;  // header and directory block, updated in place
    const RepackOptions& options;
    RepackEvents& events;
    OrderedWork* work = nullptr;
    uint64_t end = 0;       // where the next data goes
    size_t appended = 0;    // records given new data
    bool write_failed = false;
    int error = 0;          // the system's reason for the failed write
};

// True when `source` is exactly what the record holds now: same size
// first, then the stored bytes, or the stream inflated (never recompressed).
bool same_as_archived(const platform::UpdateFile& archive, const FileEntry& entry, const uint8_t* source,
                      size_t size)
{
    if (size != entry.expanded_size)
        return false;
    std::vector<uint8_t>& archived = thread_buffers().archived;
    archived.resize(std::max<size_t>(entry.stored_size, 1));
    if (!archive.read_at(entry.data_offset, archived.data(), entry.stored_size))
        return false;
    if (entry.kind == RecordKind::stored)
        return std::memcmp(archived.data(), source, size) == 0;
    std::vector<uint8_t>& inflated = thread_buffers().inflated;
    inflated.resize(std::max<size_t>(size, 1));
    size_t length = 0;
    return inflate_stream(archived.data(), entry.stored_size, inflated.data(), size, length) == Z_OK &&
           length == size && std::memcmp(inflated.data(), source, size) == 0;
}

enum class Sameness { same, differs, source_unreadable, no_memory };

// same_as_archived a piece at a time, for a record too large to hold whole:
// the archived bytes, or the stream as it inflates, against the source
// read alongside, up to the first difference.
Sameness same_as_archived_in_pieces(const platform::UpdateFile& archive, const FileEntry& entry,
                                    const platform::InputFile& in, size_t size)
{
    if (size != entry.expanded_size)
        return Sameness::differs;
    std::unique_ptr<uint8_t[]> source(new (std::nothrow) uint8_t[stream_piece]);
    if (!source)
        return Sameness::no_memory;
    uint64_t source_at = 0;
    bool source_failed = false;
    const auto against_source = [&](const uint8_t* data, size_t length) {
        size_t got = 0;
        source_failed = !platform::read_file(in, source.get(), length, got, source_at);
        source_at += got;
        return !source_failed && got == length && std::memcmp(source.get(), data, length) == 0;
    };
    uint64_t archived_at = entry.data_offset;
    const auto from_archive = [&](uint8_t* dest, size_t length, size_t& got) {
        got = length;
        archived_at += length;
        return archive.read_at(archived_at - length, dest, length);
    };
    const StreamResult r = entry.kind == RecordKind::stored
                               ? copy_in_pieces(entry.stored_size, from_archive, against_source)
                               : inflate_in_pieces(entry.stored_size, size, from_archive, against_source);
    if (source_failed)
        return Sameness::source_unreadable;
    if (r.result == Z_MEM_ERROR)
        return Sameness::no_memory;
    const bool same = !r.read_failed && !r.write_failed && r.result == Z_OK && r.out == size;
    return same ? Sameness::same : Sameness::differs;
}

// What the walk found about a record's source: the file open, its size
// when opened, and whether it is the archive itself.
struct OpenedSource {
    platform::InputFile file;
    size_t size = 0;
    bool is_archive = false;
};

// One live record whose source is open. Its source is read, compared when
// only changes count, and compressed on a worker; a stored record's source
// is read when it is appended, on the calling thread, unless it must be
// compared first. Appending and the record's report come in order.
//
// A source too large to hold whole (see largest_whole_record), or one
// whose buffers cannot be had, is done at its turn on the calling thread,
// a piece at a time: compared, then read, compressed and written straight
// to the archive's end. Its compression then holds up the records after
// it, as one large file holds up a pass anyway, and memory stays at a few
// pieces whatever its size.
class RepackJob : public Job {
public:
    // A source that is the archive itself is read at its turn, after the
    // records before it were appended, as a single-threaded pass reads it.
    RepackJob(RepackRun& run, FileEntry entry, OpenedSource source)
        : run_(run),
          entry_(std::move(entry)),
          in_(std::move(source.file)),
          source_size_(source.size),
          is_archive_(source.is_archive)
    {
        const bool compare = run.options.selection == RepackSelection::changed_only;
        in_pieces_ = too_large_to_hold(compare);
        at_turn_ = is_archive_ || in_pieces_ || (stored() && !compare);
    }

    bool has_work() const override { return !at_turn_; }
    size_t cost() const override { return at_turn_ ? 0 : source_size_; }
    size_t held_after_work() const override { return data_size_; }
    bool worth_a_worker() const override { return source_size_ > small_compress; }
    void work() override { prepare(); }

    void finish() override
    {
        if (run_.write_failed)
            return;
        if (is_archive_) {
            source_size_ = size_t(std::min<uint64_t>(run_.end, SIZE_MAX / 2));  // as it has grown
            in_pieces_ = too_large_to_hold(run_.options.selection == RepackSelection::changed_only);
        }
        if (!in_pieces_ && at_turn_)
            prepare();
        if (in_pieces_)
            return repack_in_pieces();
        if (read_failed_)
            return report(RepackOutcome::unreadable);
        if (!changed_)
            return report(RepackOutcome::unchanged);
        if (run_.options.dry_run)
            return report(RepackOutcome::changed);
        if (result_ != Z_OK)
            return report(RepackOutcome::compress_failed);
        append();
    }

private:
    bool stored() const { return entry_.kind == RecordKind::stored; }

    void report(RepackOutcome outcome) { run_.events.record(RepackReport{entry_, outcome, result_, error_}); }

    // Its source, or the record's archived bytes to compare with, past
    // what is handled whole.
    bool too_large_to_hold(bool compare) const
    {
        return source_size_ > largest_whole_record || (compare && entry_.stored_size > largest_whole_record);
    }

    // Reads the source and makes the bytes to append: the source itself
    // for a stored record, else its level-9 stream (with zlib's own bound,
    // so that any source, even an empty one, gets a valid stream). Memory
    // that cannot be had leaves it to be done in pieces.
    void prepare()
    {
        try {
            prepare_whole();
        } catch (const std::bad_alloc&) {
            kept_ = std::vector<uint8_t>();
            stream_.reset();
            data_ = nullptr;
            data_size_ = 0;
            read_failed_ = false;
            changed_ = true;
            in_pieces_ = true;
        }
    }

    void prepare_whole()
    {
        const uint8_t* source = nullptr;
        read_failed_ = !read_source(in_, source_size_, source);
        if (read_failed_) {
            error_ = platform::last_error();
            return;
        }
        if (run_.options.selection == RepackSelection::changed_only)
            changed_ = !same_as_archived(run_.archive, entry_, source, source_size_);
        if (!changed_ || run_.options.dry_run)
            return;
        if (!stored()) {
            compress(source);
            if (result_ == Z_MEM_ERROR)
                in_pieces_ = true;
        } else if (at_turn_) {
            data_ = source;  // this thread's buffer, appended right away
            data_size_ = source_size_;
        } else {
            keep(source, source_size_);
        }
    }

    void compress(const uint8_t* source)
    {
        uLongf length = compressBound(uLong(source_size_));
        std::unique_ptr<uint8_t[]> stream(new (std::nothrow) uint8_t[length]);
        result_ = stream ? compress2(stream.get(), &length, source, uLong(source_size_), 9) : Z_MEM_ERROR;
        if (result_ != Z_OK)
            return;
        // The stream is held in a buffer sized by zlib's bound but never
        // initialised: only the pages it really fills are ever touched.
        if (stream_reads_as_stored(length, source_size_)) {
            keep(source, source_size_);
            return;
        }
        stream_ = std::move(stream);
        data_ = stream_.get();
        data_size_ = length;
    }

    void keep(const uint8_t* data, size_t size)
    {
        kept_.assign(data, data + size);
        data_ = kept_.data();
        data_size_ = size;
    }

    // The whole job at its turn, a piece at a time.
    void repack_in_pieces()
    {
        result_ = Z_OK;
        if (run_.options.selection == RepackSelection::changed_only) {
            switch (same_as_archived_in_pieces(run_.archive, entry_, in_, source_size_)) {
            case Sameness::same:
                return report(RepackOutcome::unchanged);
            case Sameness::source_unreadable:
                error_ = platform::last_error();
                return report(RepackOutcome::unreadable);
            case Sameness::no_memory:
                result_ = Z_MEM_ERROR;
                return report(RepackOutcome::compress_failed);
            case Sameness::differs:
                break;
            }
        }
        if (run_.options.dry_run)
            return report(RepackOutcome::changed);
        if (run_.end >= archive_size_limit || (stored() && source_size_ > archive_size_limit - run_.end))
            return report(RepackOutcome::too_large);
        append_in_pieces();
    }

    // Writes the source, or its level-9 stream, at the archive's end as it
    // is made; a stream as long as its source is written over with the
    // source itself. Whatever a failure leaves past the end is cut off.
    void append_in_pieces()
    {
        RepackRun& run = run_;
        uint64_t at = run.end;
        AdditiveChecksum sum;
        bool too_large = false, write_failed = false;
        const auto to_archive = [&](const uint8_t* data, size_t size) {
            too_large = size > archive_size_limit - at;
            write_failed = !too_large && !run.archive.write_at(at, data, size);
            if (write_failed)
                run.error = platform::last_error();
            if (too_large || write_failed)
                return false;
            sum.add(data, size);
            at += size;
            return true;
        };
        uint64_t source_at = 0;
        const auto from_source = [&](uint8_t* dest, size_t size, size_t& got) {
            const bool read = platform::read_file(in_, dest, size, got, source_at);
            if (!read)
                error_ = platform::last_error();
            source_at += got;
            return read;
        };
        StreamResult made = stored() ? copy_in_pieces(source_size_, from_source, to_archive)
                                     : deflate_in_pieces(source_size_, from_source, to_archive);
        if (!stored() && made.result == Z_OK && !made.write_failed && stream_reads_as_stored(made.out, made.in)) {
            at = run.end;
            sum = AdditiveChecksum();
            source_at = 0;
            made = copy_in_pieces(made.in, from_source, to_archive);
            made.in = made.out;
        }
        if (write_failed) {
            run.write_failed = true;
            run.work->stop();  // nothing after a failed append is reported
            return;
        }
        const bool made_whole = made.result == Z_OK && !made.read_failed && !too_large;
        uint64_t archive_size = 0;
        if (!made_whole || (run.archive.size(archive_size) && archive_size > at))
            run.archive.truncate(made_whole ? at : run.end);
        result_ = made.result;
        if (made.read_failed)
            return report(RepackOutcome::unreadable);
        if (too_large)
            return report(RepackOutcome::too_large);
        if (result_ != Z_OK)
            return report(RepackOutcome::compress_failed);
        source_size_ = size_t(made.in);
        data_size_ = size_t(at - run.end);
        set_record(sum.value());
    }

    // The record's new fields, for data just written at the archive's end.
    void set_record(uint32_t checksum)
    {
        RepackRun& run = run_;
        uint8_t* record = run.directory.data() + directory_block_at + entry_.record_at;
        set_data_offset(record, uint32_t(run.end));
        set_stored_size(record, uint32_t(data_size_));
        set_expanded_size(record, uint32_t(source_size_));
        set_record_checksum(record, checksum);
        run.end += data_size_;
        ++run.appended;
        report(RepackOutcome::appended);
    }

    // On the calling thread, in directory order.
    void append()
    {
        RepackRun& run = run_;
        if (run.end >= archive_size_limit || data_size_ > archive_size_limit - run.end)
            return report(RepackOutcome::too_large);
        if (!run.archive.write_at(run.end, data_, data_size_)) {
            run.write_failed = true;
            run.error = platform::last_error();
            run.work->stop();  // nothing after a failed append is reported
            return;
        }
        set_record(additive_checksum(data_, data_size_));
    }

    RepackRun& run_;
    FileEntry entry_;
    platform::InputFile in_;  // open until the job ends
    size_t source_size_;      // as opened, then as read
    bool is_archive_;
    bool at_turn_ = false;    // read when appended, on the calling thread
    bool in_pieces_ = false;  // done at its turn, a piece at a time
    bool read_failed_ = false;
    bool changed_ = true;
    int result_ = Z_OK;
    int error_ = 0;  // the system's reason for a failed read
    std::unique_ptr<uint8_t[]> stream_;
    std::vector<uint8_t> kept_;
    const uint8_t* data_ = nullptr;  // what append() writes
    size_t data_size_ = 0;
};

using RecordReportJob = ReportJob<RepackEvents, RepackReport, RepackOutcome>;

// Walks the directory and opens each record's source on the calling
// thread, in directory order, so which sources are taken is decided
// exactly as a single-threaded pass decides it.
class Repacking {
public:
    Repacking(const ArchiveReader& reader, const std::string& extract_root, RepackRun& run, OrderedWork& work)
        : reader_(reader), root_(extract_root), run_(run), tree_(extract_root, MissingFolders::refuse), work_(work)
    {
    }

    WalkEnd run()
    {
        RecordCursor records = reader_.records(root_);
        while (!run_.write_failed && records.next())
            take(records.entry());
        work_.finish_all();
        return run_.write_failed ? WalkEnd::stopped : records.end();
    }

private:
    void report(const FileEntry& entry, RepackOutcome outcome, int error = 0)
    {
        work_.submit(std::make_unique<RecordReportJob>(run_.events, entry, outcome, error));
    }

    // A source that is not there is missing; one that is there but cannot
    // be opened, or a folder on its way that cannot, is unreadable.
    void report_unopened(const FileEntry& entry, int error)
    {
        const bool nothing = error == 0 || platform::names_nothing(error);
        report(entry, nothing ? RepackOutcome::missing : RepackOutcome::unreadable, error);
    }

    void take(const FileEntry& entry)
    {
        if (!entry.live())
            return report(entry, RepackOutcome::deleted);
        if (entry.unsafe)
            return report(entry, RepackOutcome::unsafe);
        std::string name;
        const platform::Folder* folder = tree_.open_parent(entry.path, name);
        if (!folder)
            return report_unopened(entry, tree_.error());
        OpenedSource source;
        uint64_t size = 0;
        switch (platform::open_regular_file(*folder, name, archive_size_limit - 1, source.file, size)) {
        case platform::ReadStatus::ok:
            break;
        case platform::ReadStatus::missing:
        case platform::ReadStatus::unreadable:
            return report_unopened(entry, platform::last_error());
        case platform::ReadStatus::not_regular:
            return report(entry, RepackOutcome::not_regular);
        case platform::ReadStatus::too_large:
            return report(entry, RepackOutcome::too_large);
        }
        source.size = size_t(size);
        source.is_archive = platform::same_file(run_.archive, source.file);
        work_.submit(std::make_unique<RepackJob>(run_, entry, std::move(source)));
    }

    const ArchiveReader& reader_;
    const std::string& root_;
    RepackRun& run_;
    OutputTree tree_;
    OrderedWork& work_;
};

// True when some live record's data lies outside the file; each is reported.
bool report_data_outside(const ArchiveReader& reader, const std::string& root, RepackEvents& events)
{
    bool found = false;
    RecordCursor records = reader.records(root);
    while (records.next()) {
        const FileEntry& entry = records.entry();
        if (entry.live() && !reader.data_inside(entry)) {
            events.record(RepackReport{entry, RepackOutcome::data_outside, Z_OK, 0});
            found = true;
        }
    }
    return found;
}

}  // namespace

RunResult pack_archive(const std::string& archive_path, const std::string& extract_root,
                       const RepackOptions& options, RepackEvents& events)
{
    // One writer at a time, for the whole pass, before anything is read;
    // then whatever an interrupted pass left is finished first. A dry run
    // only reads, as an expansion does (an interrupted pass's directory
    // where it stands), and so needs no more than reading.
    Transaction tx;
    const CommitStatus status =
        tx.begin(archive_path, options.dry_run ? Transaction::Mode::dry_run : Transaction::Mode::write);
    const RunResult begun = run_result_of(status, tx.error());
    if (!begun.completed())
        return begun;
    const ArchiveReader& reader = tx.reader();
    const uint64_t original_size = tx.data_end();
    platform::UpdateFile& archive = tx.file();
    // The records are rewritten in a copy; the walk reads the directory in force.
    std::vector<uint8_t> directory = tx.image();
    if (options.refuse_data_outside && report_data_outside(reader, extract_root, events))
        return {RunEnd::data_outside};
    events.started();
    // Streams of every size pass through; without this the allocator would
    // keep the memory of the largest of them all for the whole pass.
    platform::return_freed_memory();

    RepackRun run{archive, directory, options, events};
    run.end = original_size;
    {
        OrderedWork work(options.workers, repack_limits(options.workers));
        run.work = &work;
        const WalkEnd end = Repacking(reader, extract_root, run, work).run();
        if (run.write_failed || end == WalkEnd::bad_folder_id) {
            // The old directory stays in force; the data appended is cut
            // off again with the transaction, so that the archive is as it
            // was, byte for byte.
            return run.write_failed ? RunResult{RunEnd::write_failed, run.error} : RunResult{RunEnd::bad_folder_id};
        }
    }
    const bool nothing_to_write =
        options.dry_run || (options.selection == RepackSelection::changed_only && run.appended == 0);
    if (nothing_to_write)
        return {};
    seal_directory(directory.data());
    tx.appended_to(run.end);
    if (!options.version_summary.empty()) {
        directory.resize(header_size + size_t(directory_size(directory.data())));
        const uint64_t room_end = tx.room_end();
        if (directory.size() + room_marker_size + history_room() <= room_end &&
            !attach_version(tx, directory, room_end, VersionNote{options.version_summary}))
            return {RunEnd::write_failed, tx.error()};
    }
    if (tx.commit(directory) != CommitStatus::committed)
        return {RunEnd::write_failed, tx.error()};
    return {};
}

}  // namespace tavmerk
