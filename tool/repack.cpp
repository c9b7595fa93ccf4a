#include "tool/repack.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "archive/layout.h"
#include "archive/walk.h"
#include "checksum/checksum.h"
#include "platform/platform.h"
#include "tool/archive_commit.h"
#include "tool/console.h"
#include "tool/ordered_work.h"
#include "tool/output_tree.h"
#include "tool/walk_messages.h"

namespace tavmerk {

namespace {

// Offsets and sizes are 32-bit: no byte of the archive may lie at or past
// 4 GiB, and no source may be 4 GiB or larger.
constexpr uint64_t offset_limit = uint64_t(1) << 32;

// Each job in flight holds its source open until it is read; the count
// stays well inside the usual limit of 1,024 open files whatever the number
// of cores.
constexpr size_t max_jobs = 128;
// Compressing this much takes less than handing it to a worker.
constexpr size_t small_compress = 2 << 10;

// Each thread reads sources into one buffer of its own that grows to the
// largest it has read and is reused, so that reading costs no fresh pages
// per file.
std::vector<uint8_t>& source_buffer()
{
    thread_local std::vector<uint8_t> buffer;
    return buffer;
}

// Reads the whole source into this thread's buffer; false on a read error.
bool read_source(const platform::InputFile& in, size_t& size, const uint8_t*& data)
{
    std::vector<uint8_t>& buffer = source_buffer();
    if (buffer.size() < size)
        buffer.resize(size);
    size_t got = 0;
    if (!platform::read_file(in, buffer.data(), size, got))
        return false;
    size = got;
    data = buffer.data();
    return true;
}

// One live record's new data. A compressed record's source is read and
// compressed on a worker; a stored record's is read when it is appended.
struct PackJob {
    std::string path;
    uint8_t* record;
    bool was_stored;
    bool is_archive = false;  // the archive itself: read when appended
    platform::InputFile in;  // open until read
    size_t source_size = 0;  // as opened, then as read
    bool read_failed = false;
    // Sized by zlib's bound but left uninitialised: only the pages the
    // stream really fills are ever touched, so a job holds what it will
    // append without copying it into a buffer of its own size.
    std::unique_ptr<uint8_t[]> packed;
    size_t packed_size = 0;
    int result = Z_OK;

    // Level 9, the bound zlib itself gives for the output, so that any
    // source, even an empty one, gets a valid stream. A stream as long as
    // its source would read back as stored data, so the source itself
    // takes its place.
    void compress()
    {
        const uint8_t* source = nullptr;
        read_failed = !read_source(in, source_size, source);
        in = platform::InputFile();
        if (read_failed)
            return;
        uLongf length = compressBound(uLong(source_size));
        packed.reset(new (std::nothrow) uint8_t[length]);
        result = packed ? compress2(packed.get(), &length, source, uLong(source_size), 9) : Z_MEM_ERROR;
        packed_size = result == Z_OK ? length : 0;
        if (result != Z_OK)
            packed.reset();
        else if (packed_size == source_size && source_size > 0)
            std::memcpy(packed.get(), source, source_size);
    }
};

class Packer : public ReportingVisitor {
public:
    Packer(platform::UpdateFile& archive, std::vector<uint8_t>& directory, uint64_t end,
           const std::string& extract_root, OrderedWork& work)
        : work_(work), archive_(archive), directory_(directory), end_(end), tree_(extract_root, false)
    {
    }

    bool file(const std::string& path, size_t record_at) override
    {
        if (write_failed_)
            return false;
        std::string name;
        const platform::Folder* folder = tree_.open_parent(path, name);
        if (!folder)
            return true;  // a missing source is passed over silently
        auto job = std::make_shared<PackJob>();
        uint64_t size = 0;
        switch (platform::open_regular_file(*folder, name, offset_limit - 1, job->in, size)) {
        case platform::ReadStatus::ok:
            break;
        case platform::ReadStatus::missing:
            return true;
        case platform::ReadStatus::not_regular:
            print_in_order("Not a regular file " + path + "\n");
            return !write_failed_;
        case platform::ReadStatus::too_large:
            print_in_order("File " + path + " too large\n");
            return !write_failed_;
        }
        job->source_size = size_t(size);
        job->path = path;
        job->record = directory_.data() + directory_block_at + record_at;
        job->was_stored = is_stored(job->record);
        job->is_archive = platform::same_file(archive_, job->in);
        // What jobs hold in flight (their streams) is capped at 2 x workers
        // times the largest source seen so far (L), one L with a single
        // worker. With each thread's source buffer (L) that is at most
        // (3 x workers + 1) x L in memory, below 4 x workers x L, and it
        // leaves room for many small files behind a large one.
        const size_t cost = job->was_stored || job->is_archive ? 0 : job->source_size;
        largest_ = std::max(largest_, job->source_size);
        const size_t workers = std::max(1u, work_.workers());
        const size_t budget_in_largest = workers > 1 ? 2 * workers : 1;
        work_.set_limits(max_jobs, budget_in_largest * std::max<size_t>(largest_, 1));
        OrderedWork::Step compress;
        if (!job->was_stored && !job->is_archive)
            compress = [job] { job->compress(); };
        work_.submit(std::move(compress), [this, job] { append(*job); }, cost, cost <= small_compress,
                     [job] { return job->packed_size; });
        return !write_failed_;
    }

    bool write_failed() const { return write_failed_; }

private:
    void print_in_order(std::string text) override
    {
        work_.submit(nullptr, [text] { say(text.c_str()); }, 0);
    }

    // Runs on the walking thread, in directory order.
    void append(PackJob& job)
    {
        if (write_failed_)
            return;
        if (job.is_archive) {
            // Read as the records before it left it, whole.
            job.source_size = size_t(std::min<uint64_t>(end_, SIZE_MAX / 2));
            if (!job.was_stored)
                job.compress();
        }
        const uint8_t* data = job.packed.get();
        size_t size = job.packed_size;
        if (job.was_stored) {
            job.read_failed = !read_source(job.in, job.source_size, data);
            job.in = platform::InputFile();
            size = job.source_size;
        }
        if (job.read_failed)
            return;  // passed over, as a source that is not there
        if (job.result != Z_OK) {
            // The record keeps its old data; nothing is appended.
            say("Error packing %d\n", job.result);
            say("%s\n", job.path);
            return;
        }
        if (end_ >= offset_limit || size > offset_limit - end_) {
            say("File %s too large\n", job.path);
            return;
        }
        if (!archive_.write_at(end_, data, size)) {
            write_failed_ = true;
            work_.stop();  // nothing after a failed append is reported
            return;
        }
        uint8_t* record = job.record;
        set_data_offset(record, uint32_t(end_));
        set_stored_size(record, uint32_t(size));
        set_expanded_size(record, uint32_t(job.source_size));
        set_record_checksum(record, additive_checksum(data, size));
        end_ += size;
        say(job.was_stored ? "Unpacked file\n %s\n" : "%s\n", job.path);
    }

    OrderedWork& work_;
    platform::UpdateFile& archive_;
    std::vector<uint8_t>& directory_;
    uint64_t end_;
    OutputTree tree_;
    size_t largest_ = 0;
    bool write_failed_ = false;
};

// Reads header and directory block into one buffer; false if the archive is
// too short for them or its directory runs past its block.
bool read_directory(const platform::UpdateFile& archive, uint64_t archive_size, std::vector<uint8_t>& out)
{
    uint8_t header[header_size];
    if (archive_size < header_size || !archive.read_at(0, header, header_size))
        return false;
    const uint32_t size = directory_size(header);
    if (size > archive_size - header_size)
        return false;
    out.resize(header_size + size_t(size));
    return archive.read_at(0, out.data(), out.size()) && check_archive(out.data(), out.size()) != WalkEnd::damaged;
}

}  // namespace

bool pack_archive(const std::string& archive_path, const std::string& extract_root, unsigned workers)
{
    platform::UpdateFile archive;
    if (!archive.open(archive_path)) {
        say("Can't create data file %s\n", archive_path);
        return false;
    }
    if (!archive.lock(platform::LockKind::exclusive)) {
        say("Can't create data file %s\n", archive_path);
        return false;
    }
    if (!finish_interrupted_commit(archive)) {
        say("Can't write data file %s\n", archive_path);
        return false;
    }
    uint64_t original_size = 0;
    std::vector<uint8_t> directory;
    if (!archive.size(original_size) || !read_directory(archive, original_size, directory)) {
        report_damaged(archive_path);
        return false;
    }
    say("Packing...\n");
    // Streams of every size pass through; without this the allocator would
    // keep the memory of the largest of them all for the whole pass.
    platform::return_freed_memory();
    // Kept to put back should the directory write fail partway.
    const std::vector<uint8_t> old_directory = directory;

    const size_t block_size = directory.size() - header_size;
    OrderedWork work(workers);
    Packer packer(archive, directory, original_size, extract_root, work);
    const WalkEnd end = walk_root(directory.data() + directory_block_at, block_size,
                                  root_folder_count(directory.data()), extract_root, packer);
    work.finish_all();
    if (packer.write_failed()) {
        // The old directory stays in force; give back the space appended.
        archive.truncate(original_size);
        say("Can't write data file %s\n", archive_path);
        return false;
    }
    if (!report_walk_end(end, archive_path))
        return false;

    const Crc32 crc;
    set_directory_crc(directory.data(), crc.compute(directory.data() + directory_block_at, block_size));
    if (!commit_directory(archive, directory, old_directory, original_size)) {
        say("Can't write data file %s\n", archive_path);
        return false;
    }
    return true;
}

}  // namespace tavmerk
