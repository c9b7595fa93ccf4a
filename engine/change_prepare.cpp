#include "engine/change_prepare.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "archive/layout.h"
#include "checksum/checksum.h"
#include "engine/archive_rewrite.h"
#include "engine/ordered_work.h"

namespace tavmerk {

namespace {

// The bytes of a put, opened when they are read and closed after.
class ContentReader {
public:
    explicit ContentReader(const Content& content) : content_(content) {}

    // Opens the content and gives its size; false (with `error`) when it
    // cannot be opened.
    bool open(uint64_t& size)
    {
        if (content_.bytes) {
            size = content_.bytes->size();
            return true;
        }
        if (content_.read) {
            size = content_.size;
            return true;
        }
        std::string folder_path, name;
        if (!split_path(content_.file_path, folder_path, name) ||
            !platform::open_root_folder(folder_path, platform::MissingFolders::refuse, folder_)) {
            error = platform::last_error();
            return false;
        }
        if (platform::open_regular_file(folder_, name, archive_size_limit - 1, file_, size) !=
            platform::ReadStatus::ok) {
            error = platform::last_error();
            return false;
        }
        return true;
    }

    bool read(uint64_t offset, uint8_t* dest, size_t size)
    {
        if (content_.bytes) {
            if (offset + size > content_.bytes->size())
                return false;
            std::memcpy(dest, content_.bytes->data() + offset, size);
            return true;
        }
        if (content_.read)
            return content_.read(offset, dest, size);
        size_t got = 0;
        if (!platform::read_file(file_, dest, size, got, offset)) {
            error = platform::last_error();
            return false;
        }
        if (got != size) {
            error = platform::changed_while_read;  // it shrank
            return false;
        }
        return true;
    }

    // After the last read: false (with `error`) when a file has bytes past
    // the `size` it had when it was opened: it grew while it was read.
    bool ended_at(uint64_t size)
    {
        if (!content_.bytes && !content_.read) {
            uint8_t past;
            size_t got = 0;
            if (!platform::read_file(file_, &past, 1, got, size)) {
                error = platform::last_error();
                return false;
            }
            if (got != 0) {
                error = platform::changed_while_read;
                return false;
            }
        }
        return true;
    }

    int error = 0;

private:
    const Content& content_;
    platform::Folder folder_;
    platform::InputFile file_;
};

// Contents larger than this are compressed straight into the spool, a
// piece at a time, on the calling thread: memory stays bounded whatever
// their size.
constexpr uint64_t largest_in_memory = uint64_t(16) << 20;

class PrepareJob : public Job {
public:
    PrepareJob(Prepared& prepared, Spool& spool, uint64_t& in_memory)
        : prepared_(prepared), spool_(spool), in_memory_(in_memory)
    {
    }
    bool has_work() const override { return !large(); }
    void work() override { compress_content(prepared_); }
    void finish() override
    {
        Prepared& p = prepared_;
        if (large()) {
            spool_large();
            return;
        }
        // Streams beyond the memory budget go to the spool, in order.
        if (p.failed || !p.has_stream || in_memory_ + p.stream.size() <= memory_budget) {
            in_memory_ += p.stream.size();
            return;
        }
        const uint64_t at = spool_.size;
        if (!spool_.append(p.stream.data(), p.stream.size())) {
            p.failed = true;
            p.error = platform::last_error();
            return;
        }
        p.spooled = true;
        p.spool_at = at;
        std::vector<uint8_t>().swap(p.stream);
    }
    size_t cost() const override { return large() ? 0 : size_t(prepared_.size_hint); }

private:
    bool large() const { return !prepared_.store_only && prepared_.size_hint > largest_in_memory; }

    void spool_large()
    {
        Prepared& p = prepared_;
        p.spool_at = spool_.size;
        bool spool_failed = false;
        compress_content(p, [&](const uint8_t* data, size_t size) {
            spool_failed = !spool_.append(data, size);
            return !spool_failed;
        });
        if (spool_failed && p.error == 0)
            p.error = platform::last_error();
        p.spooled = p.has_stream;
    }

    Prepared& prepared_;
    Spool& spool_;
    uint64_t& in_memory_;
};

}  // namespace

void compress_content(Prepared& out, const PieceWriter& to_spool)
{
    ContentReader reader(*out.content);
    if (!reader.open(out.raw_size)) {
        out.failed = true;
        out.error = reader.error;
        return;
    }
    uint64_t read = 0;
    bool read_failed = false;
    AdditiveChecksum raw_sum;
    const PieceReader from = [&](uint8_t* dest, size_t size, size_t& got) {
        got = size_t(std::min<uint64_t>(size, out.raw_size - read));
        read_failed = got > 0 && !reader.read(read, dest, got);
        raw_sum.add(dest, got);
        read += got;
        return !read_failed;
    };
    AdditiveChecksum sum;
    uint64_t stream_size = 0;
    const PieceWriter to = [&](const uint8_t* data, size_t size) {
        if (to_spool ? !to_spool(data, size) : (out.stream.insert(out.stream.end(), data, data + size), false))
            return false;
        sum.add(data, size);
        stream_size += size;
        return true;
    };
    const PieceWriter nowhere = [](const uint8_t*, size_t) { return true; };
    const StreamResult made = out.store_only ? copy_in_pieces(out.raw_size, from, nowhere)
                                             : deflate_in_pieces(out.raw_size, from, to);
    if (read_failed || made.in != out.raw_size || made.result != Z_OK || !reader.ended_at(out.raw_size)) {
        out.failed = true;
        out.error = reader.error;
        out.stream.clear();
        return;
    }
    out.raw_sum = raw_sum.value();
    if (out.store_only)
        return;
    out.has_stream = true;
    out.stream_size = stream_size;
    out.stream_sum = sum.value();
}

void prepare_record(Prepared& p)
{
    const StoredRecord& r = p.content->record;
    p.record = true;
    p.raw_size = r.expanded_size;
    p.stream_size = r.stored_size;
    p.has_stream = r.stored_size != r.expanded_size;
    p.stream_sum = p.raw_sum = r.checksum;
}

bool prepare(const ChangeSet& changes, const CommitOptions& options, const std::string& spool_folder,
             std::vector<Prepared>& prepared, Spool& spool, ChangeResult& result)
{
    for (size_t i = 0; i < changes.changes().size(); ++i)
        if (const Change& c = changes.changes()[i]; c.kind == ChangeKind::put) {
            Prepared p;
            p.content = &c.content;
            p.change = i;
            p.store_only = c.storage == Storage::store;
            if (c.content.is_record)
                prepare_record(p);
            prepared.push_back(std::move(p));
        }
    spool.folder = spool_folder;
    uint64_t in_memory = 0;
    {
        OrderedWork work(prepared.size() > 1 ? options.workers : 0, WorkLimits::fixed_budget(size_t(128) << 20));
        for (Prepared& p : prepared) {
            if (options.dry_run || p.record)
                continue;  // a dry run reads no content; a record is copied when it is appended
            if (!p.content->file_path.empty()) {
                platform::FileStamp stamp;
                if (platform::stamp_of(p.content->file_path, stamp))
                    p.size_hint = stamp.size;
            } else {
                p.size_hint = p.content->bytes ? p.content->bytes->size() : p.content->size;
                // A record's expanded size is 32 bits: a larger content
                // would be stored as a damaged record.
                if (p.size_hint >= archive_size_limit) {
                    p.failed = true;
                    continue;
                }
            }
            work.submit(std::make_unique<PrepareJob>(p, spool, in_memory));
        }
        work.finish_all();
    }
    for (size_t i = 0, put = 0; i < changes.changes().size(); ++i) {
        if (changes.changes()[i].kind != ChangeKind::put)
            continue;
        const Prepared& p = prepared[put++];
        if (p.failed && p.content->file_path.empty() && p.size_hint >= archive_size_limit) {
            result.status = ChangeStatus::too_large;
            result.failed_change = i;
            return false;
        }
        if (p.failed) {
            result.status = ChangeStatus::read_failed;
            result.error = p.error;
            result.failed_change = i;
            return false;
        }
    }
    return true;
}

bool write_prepared(const Prepared& p, bool stored, Spool& spool,
                    const std::function<bool(const uint8_t*, size_t)>& write, ChangeResult& result)
{
    if (!stored && !p.spooled && !p.record)
        return write(p.stream.data(), p.stream.size()) || (result.status = ChangeStatus::write_failed, false);
    // A record's stored bytes are read as they are, whichever its method.
    const bool from_content = stored || p.record;
    ContentReader reader(*p.content);
    uint64_t size = p.stream_size;
    const auto read_failed = [&] {
        result.status = ChangeStatus::read_failed;
        result.error = reader.error;
        result.failed_change = p.change;
        return false;
    };
    if (from_content && !reader.open(size))
        return read_failed();
    if (from_content && size != (stored ? p.raw_size : p.stream_size)) {
        reader.error = platform::changed_while_read;
        return read_failed();
    }
    std::vector<uint8_t> piece(size_t(std::min<uint64_t>(size, stream_piece)));
    AdditiveChecksum sum;
    for (uint64_t done = 0; done < size;) {
        const size_t n = size_t(std::min<uint64_t>(piece.size(), size - done));
        const bool read = from_content ? reader.read(done, piece.data(), n)
                                       : spool.file.read_at(p.spool_at + done, piece.data(), n);
        if (!read)
            return read_failed();
        if (!write(piece.data(), n)) {
            result.status = ChangeStatus::write_failed;
            return false;
        }
        sum.add(piece.data(), n);
        done += n;
    }
    if (from_content && sum.value() != (stored ? p.raw_sum : p.stream_sum)) {
        reader.error = platform::changed_while_read;  // since it was first read, or unlike its record
        return read_failed();
    }
    return !from_content || reader.ended_at(size) || read_failed();
}

}  // namespace tavmerk
