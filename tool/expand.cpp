#include "tool/expand.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>

#include "archive/layout.h"
#include "archive/walk.h"
#include "platform/platform.h"
#include "tool/archive_commit.h"
#include "tool/buffer_pool.h"
#include "tool/console.h"
#include "tool/inflate.h"
#include "tool/ordered_work.h"
#include "tool/output_tree.h"
#include "tool/walk_messages.h"

namespace tavmerk {

namespace {

// Deflate yields at most 258 bytes for two bits (a longest match with the
// shortest codes), so a stream of n bytes cannot inflate past ~1032 n. A
// record claiming more is sized by what its stream can really give.
uint64_t inflate_limit(uint32_t stored)
{
    return uint64_t(stored) * 1032 + 1024;
}

// In-flight work is capped by what it will hold (inflated data, or the
// stored bytes to write), and by count: each job holds its file and folder
// open, and the total stays well inside the usual limit of 1,024 open files
// whatever the number of cores. A larger file still goes through alone.
constexpr size_t max_jobs = 128;
constexpr size_t stage_budget = size_t(16) << 20;
// Inflating and writing this much takes less than handing it to a worker.
constexpr size_t small_job = 8 << 10;
// Idle inflate buffers kept for the files after.
constexpr size_t pool_budget = size_t(32) << 20;

// One live record on its way to disk: its file created on the walking
// thread in directory order, then inflated, written and closed on a worker
// (one thread, so the inflated data is still in its cache when written),
// and its line printed on the walking thread in directory order.
struct FileJob {
    std::string path;
    const uint8_t* record = nullptr;
    BufferPool::Buffer input;   // the stream (compressed records)
    BufferPool::Buffer buffer;  // inflated data (compressed records)
    size_t length = 0;
    int result = Z_OK;

    std::string name;         // the file's name in its folder
    platform::Folder folder;  // its folder, held while it is written
    platform::OutputFile out;
    bool written = false;

    bool stored() const { return is_stored(record); }

    size_t inflate_capacity() const
    {
        return size_t(std::min<uint64_t>(expanded_size(record), inflate_limit(stored_size(record))));
    }

    // What the job holds while it runs.
    size_t cost() const { return stored() ? stored_size(record) : stored_size(record) + inflate_capacity(); }

    // Runs on a worker (or inline for a small file): no console. Writes
    // what zlib gave, also after a failure, and removes a file that could
    // not be written whole.
    void run(const platform::FileView& view, const platform::Folder& in, BufferPool& pool)
    {
        if (stored()) {
            written = platform::write_file_from(out, view, data_offset(record), stored_size(record));
        } else {
            inflate(view, pool);
            written = platform::write_file(out, buffer.data.get(), length);
        }
        written = platform::close_file(out) && written;
        if (!written)
            platform::remove_file(in, name);
        pool.give(std::move(input));
        pool.give(std::move(buffer));
    }

    void inflate(const platform::FileView& view, BufferPool& pool)
    {
        const size_t capacity = inflate_capacity();
        input = pool.take(stored_size(record));
        buffer = pool.take(capacity);
        length = 0;
        if (!input.data || !buffer.data) {
            result = Z_MEM_ERROR;
            return;
        }
        // A read that fails (the archive cut short under the run) leaves a
        // stream that zlib reports on like any damaged one.
        if (!view.read_at(data_offset(record), input.data.get(), stored_size(record)))
            std::fill_n(input.data.get(), stored_size(record), uint8_t(0));
        result = inflate_stream(input.data.get(), stored_size(record), buffer.data.get(), capacity, length);
    }

    void print() const
    {
        if (!stored() && result != Z_OK)
            say("Error unpacking %d\n", result);
        if (!written) {
            say("Can't write file %s\n", path);
            return;
        }
        say(stored() ? "Unpacked file %s\n" : "%s\n", path);
    }
};

class Expander : public ReportingVisitor {
public:
    Expander(const platform::FileView& view, const uint8_t* header, const std::string& extract_root,
             BufferPool& pool, OrderedWork& work)
        : view_(view), header_(header), tree_(extract_root, true), pool_(pool), work_(work)
    {
    }

    // Runs on the walking thread, in directory order: the one place where
    // files are created, so that none is created before an earlier pause.
    bool file(const std::string& path, size_t record_at) override
    {
        auto job = std::make_shared<FileJob>();
        job->path = path;
        job->record = header_ + directory_block_at + record_at;
        const uint32_t offset = data_offset(job->record);
        if (uint64_t(offset) + stored_size(job->record) > view_.size()) {
            print_in_order("Error in file data " + path + "\n");
            return true;
        }
        const platform::Folder* folder = tree_.open_parent(path, job->name);
        if (!folder) {
            print_in_order("Can't create file " + path + "\n");
            return true;
        }
        switch (platform::create_file(*folder, job->name, job->out)) {
        case platform::CreateStatus::created:
            break;
        case platform::CreateStatus::exists:
            // Every earlier line is out before the pause.
            work_.finish_all();
            say("File %s alredy exists\n", path);
            pause_for_key();
            return true;
        case platform::CreateStatus::failed:
            print_in_order("Can't create file " + path + "\n");
            return true;
        }
        const size_t cost = job->cost();
        if (cost <= small_job || work_.workers() == 0 || !platform::duplicate_folder(*folder, job->folder)) {
            job->run(view_, *folder, pool_);
            work_.submit(nullptr, [job] { job->print(); }, 0);
            return true;
        }
        work_.submit([this, job] { job->run(view_, job->folder, pool_); }, [job] { job->print(); }, cost, false,
                     [] { return size_t(0); });
        return true;
    }

private:
    void print_in_order(std::string text) override
    {
        work_.submit(nullptr, [text] { say(text.c_str()); }, 0);
    }

    const platform::FileView& view_;
    const uint8_t* header_;
    OutputTree tree_;
    BufferPool& pool_;
    OrderedWork& work_;
};

}  // namespace

bool expand_archive(const std::string& archive_path, const std::string& extract_root, unsigned workers)
{
    platform::FileView view;
    switch (platform::map_file(archive_path, view, platform::LockKind::shared)) {
    case platform::ViewStatus::ok:
        break;
    case platform::ViewStatus::cannot_open:
        say("Can't open dir file %s\n", archive_path);
        return false;
    case platform::ViewStatus::cannot_map:
        report_damaged(archive_path);
        return false;
    }
    // The whole directory is checked before the first file is written.
    uint64_t directory_room = 0;
    const uint8_t* header = committed_header(view, directory_room);
    if (check_archive(header, directory_room) == WalkEnd::damaged) {
        report_damaged(archive_path);
        return false;
    }
    BufferPool pool(pool_budget);
    OrderedWork work(workers);
    work.set_limits(max_jobs, stage_budget);
    Expander expander(view, header, extract_root, pool, work);
    const WalkEnd end = walk_root(header + directory_block_at, directory_size(header),
                                  root_folder_count(header), extract_root, expander);
    work.finish_all();
    return report_walk_end(end, archive_path);
}

}  // namespace tavmerk
