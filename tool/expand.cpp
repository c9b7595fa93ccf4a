#include "tool/expand.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>

#include "archive/layout.h"
#include "archive/walk.h"
#include "platform/platform.h"
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

// Inflated data waiting to be written is capped; a larger file still goes
// through alone.
constexpr size_t jobs_per_worker = 512;
constexpr size_t inflight_budget = size_t(128) << 20;
// Inflating this much takes less than handing it to a worker.
constexpr size_t small_inflate = 16 << 10;

// One live record on its way to disk.
struct FileJob {
    std::string path;
    const uint8_t* record;
    bool in_range = false;
    std::unique_ptr<uint8_t[]> buffer;  // inflated data (compressed records)
    size_t length = 0;
    int result = Z_OK;

    // Runs on a worker: no file system, no console.
    void inflate(const uint8_t* data)
    {
        const uint32_t stored = stored_size(record);
        const uint64_t capacity = std::min<uint64_t>(expanded_size(record), inflate_limit(stored));
        buffer.reset(new (std::nothrow) uint8_t[capacity ? capacity : 1]);
        if (!buffer) {
            result = Z_MEM_ERROR;
            length = 0;
            return;
        }
        result = inflate_stream(data, stored, buffer.get(), size_t(capacity), length);
    }
};

class Expander : public ReportingVisitor {
public:
    Expander(const platform::FileView& view, const std::string& extract_root, OrderedWork& work)
        : ReportingVisitor(work), view_(view), tree_(extract_root, true)
    {
    }

    bool file(const std::string& path, size_t record_at) override
    {
        auto job = std::make_shared<FileJob>();
        job->path = path;
        job->record = view_.data() + directory_block_at + record_at;
        const uint32_t offset = data_offset(job->record);
        job->in_range = uint64_t(offset) + stored_size(job->record) <= view_.size();
        const bool inflate = job->in_range && !is_stored(job->record);
        const uint8_t* data = view_.data() + offset;
        const size_t cost =
            inflate ? size_t(std::min<uint64_t>(expanded_size(job->record), inflate_limit(stored_size(job->record))))
                    : 0;
        work_.submit(inflate ? OrderedWork::Step([job, data] { job->inflate(data); }) : nullptr,
                     [this, job] { write_file(*job); }, cost, cost <= small_inflate);
        return true;
    }

private:
    // Runs on the walking thread, in directory order.
    void write_file(FileJob& job)
    {
        const std::string& path = job.path;
        if (!job.in_range) {
            say("Error in file data %s\n", path);
            return;
        }
        std::string name;
        const platform::Folder* folder = tree_.open_parent(path, name);
        if (!folder) {
            say("Can't create file %s\n", path);
            return;
        }
        platform::OutputFile out;
        switch (platform::create_file(*folder, name, out)) {
        case platform::CreateStatus::created:
            break;
        case platform::CreateStatus::exists:
            say("File %s alredy exists\n", path);
            pause_for_key();
            return;
        case platform::CreateStatus::failed:
            say("Can't create file %s\n", path);
            return;
        }

        const bool stored = is_stored(job.record);
        bool written;
        if (stored) {
            written = platform::write_file(out, view_.data() + data_offset(job.record), stored_size(job.record));
        } else {
            // What zlib gave is written, also after a failure.
            if (job.result != Z_OK)
                say("Error unpacking %d\n", job.result);
            written = platform::write_file(out, job.buffer.get(), job.length);
            job.buffer.reset();
        }
        written = platform::close_file(out) && written;
        if (!written) {
            platform::remove_file(*folder, name);
            say("Can't write file %s\n", path);
            return;
        }
        say(stored ? "Unpacked file %s\n" : "%s\n", path);
    }

    const platform::FileView& view_;
    OutputTree tree_;
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
    if (view.size() < header_size || directory_size(header) > view.size() - header_size ||
        check_directory(header + directory_block_at, directory_size(header), root_folder_count(header)) ==
            WalkEnd::damaged) {
        report_damaged(archive_path);
        return false;
    }
    OrderedWork work(workers);
    work.set_limits(jobs_per_worker * std::max(1u, work.workers()), inflight_budget);
    Expander expander(view, extract_root, work);
    const WalkEnd end = walk_root(header + directory_block_at, directory_size(header),
                                  root_folder_count(header), extract_root, expander);
    work.finish_all();
    return report_walk_end(end, archive_path);
}

}  // namespace tavmerk
