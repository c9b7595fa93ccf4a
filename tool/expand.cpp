#include "tool/expand.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>

#include "archive/layout.h"
#include "archive/walk.h"
#include "platform/platform.h"
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

// Data inflated and waiting to be written is capped at each stage; a larger
// file still goes through alone.
constexpr size_t jobs_per_worker = 512;
constexpr size_t stage_budget = size_t(16) << 20;
// Inflating or writing this much takes less than handing it to a worker.
constexpr size_t small_inflate = 16 << 10;
constexpr size_t small_write = 4 << 10;
// Idle inflate buffers kept for the files after.
constexpr size_t pool_budget = size_t(32) << 20;

// One live record on its way to disk: inflated on a worker, its file
// created on the walking thread in directory order, written and closed on a
// worker, and its line printed on the walking thread in directory order.
struct FileJob {
    std::string path;
    const uint8_t* record = nullptr;
    const uint8_t* data = nullptr;  // the record's bytes in the view
    bool in_range = false;
    BufferPool::Buffer buffer;  // inflated data (compressed records)
    size_t length = 0;
    int result = Z_OK;

    std::string name;             // the file's name in its folder
    platform::Folder folder;      // its folder, held while it is written
    platform::OutputFile out;
    bool written = false;

    bool stored() const { return is_stored(record); }

    size_t inflate_capacity() const
    {
        return size_t(std::min<uint64_t>(expanded_size(record), inflate_limit(stored_size(record))));
    }

    // Runs on a worker: no file system, no console.
    void inflate(const platform::FileView& view, BufferPool& pool)
    {
        view.prefetch(data_offset(record), stored_size(record));
        const size_t capacity = inflate_capacity();
        buffer = pool.take(capacity);
        if (!buffer.data) {
            result = Z_MEM_ERROR;
            length = 0;
            return;
        }
        result = inflate_stream(data, stored_size(record), buffer.data.get(), capacity, length);
    }

    size_t write_size() const { return stored() ? stored_size(record) : length; }

    // Runs on a worker: writes what zlib gave, also after a failure, and
    // removes a file that could not be written whole.
    void write(const platform::FileView& view, const platform::Folder& in, BufferPool& pool)
    {
        if (stored())
            view.prefetch(data_offset(record), stored_size(record));
        written = platform::write_file(out, stored() ? data : buffer.data.get(), write_size());
        written = platform::close_file(out) && written;
        if (!written)
            platform::remove_file(in, name);
        pool.give(std::move(buffer));
    }

    void print() const
    {
        if (!written) {
            say("Can't write file %s\n", path);
            return;
        }
        if (!stored() && result != Z_OK)
            say("Error unpacking %d\n", result);
        say(stored() ? "Unpacked file %s\n" : "%s\n", path);
    }
};

class Expander : public ReportingVisitor {
public:
    Expander(const platform::FileView& view, const std::string& extract_root, BufferPool& pool,
             OrderedWork& inflating, OrderedWork& writing)
        : view_(view), tree_(extract_root, true), pool_(pool), inflating_(inflating), writing_(writing)
    {
    }

    bool file(const std::string& path, size_t record_at) override
    {
        auto job = std::make_shared<FileJob>();
        job->path = path;
        job->record = view_.data() + directory_block_at + record_at;
        const uint32_t offset = data_offset(job->record);
        job->in_range = uint64_t(offset) + stored_size(job->record) <= view_.size();
        if (job->in_range)
            job->data = view_.data() + offset;
        const bool inflate = job->in_range && !job->stored();
        const size_t cost = inflate ? job->inflate_capacity() : 0;
        OrderedWork::Step work;
        if (inflate)
            work = [this, job] { job->inflate(view_, pool_); };
        inflating_.submit(std::move(work), [this, job] { create(job); }, cost, cost <= small_inflate);
        return true;
    }

private:
    void print_in_order(std::string text) override
    {
        inflating_.submit(nullptr, [this, text] { print_after_writes(text); }, 0);
    }

    void print_after_writes(std::string text)
    {
        writing_.submit(nullptr, [text] { say(text.c_str()); }, 0);
    }

    // Runs on the walking thread, in directory order: the one place where
    // files are created, so that none is created before an earlier pause.
    void create(const std::shared_ptr<FileJob>& job)
    {
        const std::string& path = job->path;
        if (!job->in_range) {
            print_after_writes("Error in file data " + path + "\n");
            return;
        }
        const platform::Folder* folder = tree_.open_parent(path, job->name);
        if (!folder) {
            print_after_writes("Can't create file " + path + "\n");
            return;
        }
        switch (platform::create_file(*folder, job->name, job->out)) {
        case platform::CreateStatus::created:
            break;
        case platform::CreateStatus::exists:
            // Every earlier line is out before the pause.
            writing_.finish_all();
            say("File %s alredy exists\n", path);
            pause_for_key();
            return;
        case platform::CreateStatus::failed:
            print_after_writes("Can't create file " + path + "\n");
            return;
        }
        const size_t size = job->write_size();
        if (size <= small_write || writing_.workers() == 0 || !platform::duplicate_folder(*folder, job->folder)) {
            job->write(view_, *folder, pool_);
            writing_.submit(nullptr, [job] { job->print(); }, 0);
            return;
        }
        writing_.submit([this, job] { job->write(view_, job->folder, pool_); }, [job] { job->print(); }, size);
    }

    const platform::FileView& view_;
    OutputTree tree_;
    BufferPool& pool_;
    OrderedWork& inflating_;
    OrderedWork& writing_;
};

}  // namespace

bool expand_archive(const std::string& archive_path, const std::string& extract_root, unsigned workers)
{
    platform::FileView view;
    switch (platform::map_file(archive_path, view)) {
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
    const uint8_t* header = view.data();
    if (check_archive(header, view.size()) == WalkEnd::damaged) {
        report_damaged(archive_path);
        return false;
    }
    BufferPool pool(pool_budget);
    OrderedWork writing(workers);
    OrderedWork inflating(workers);
    for (OrderedWork* stage : {&writing, &inflating})
        stage->set_limits(jobs_per_worker * std::max(1u, workers), stage_budget);
    Expander expander(view, extract_root, pool, inflating, writing);
    const WalkEnd end = walk_root(header + directory_block_at, directory_size(header),
                                  root_folder_count(header), extract_root, expander);
    inflating.finish_all();
    writing.finish_all();
    return report_walk_end(end, archive_path);
}

}  // namespace tavmerk
