// A reader of one file's content. Stored records are read straight from
// the file; a zlib record small enough is inflated whole once, a larger one
// a span at a time through an InflateIndex, its span size chosen so that
// the checkpoints stay within a few MiB. A read that reaches the end checks
// the record's checksum over its stored bytes (summed as they were read
// when they were read in order, else in one more pass); InflateIndex and
// the whole inflate check the stream's own Adler-32 and size.
#include <algorithm>
#include <cstring>

#include "checksum/checksum.h"
#include "engine/inflate.h"
#include "engine/inflate_index.h"
#include "engine/zstream.h"
#include "lib/handles.h"

namespace tavmerk::library {

namespace {

constexpr size_t smallest_span = size_t(1) << 20;
// A zlib record read whole at once is inflated by the fast decoder from
// its stream held whole up to the engines' limit, in pieces past it.
constexpr uint64_t whole_stream_limit = largest_whole_record;
constexpr uint64_t most_checkpoints = 256;

}  // namespace

}  // namespace tavmerk::library

using namespace tavmerk;
using namespace tavmerk::library;

struct tavmerk_stream {
    std::mutex mutex;  // guards everything below
    std::shared_ptr<platform::UpdateFile> file;
    std::string path;  // for messages
    ArchiveEntry entry;
    uint64_t size = 0;
    uint64_t position = 0;
    bool damaged = false;
    bool checked = false;
    // Stored bytes summed in order from the start, while reads come so.
    AdditiveChecksum sum;
    uint64_t summed = 0;
    bool in_order = true;
    // Inflated content: the whole (small zlib records) or one span.
    std::unique_ptr<InflateIndex> index;
    std::vector<uint8_t> buffer;
    uint64_t buffer_start = 0;
    bool buffer_valid = false;

    bool compressed() const { return entry.kind == RecordKind::compressed; }

    bool read_stored(uint64_t offset, uint8_t* dest, size_t n)
    {
        return file->read_at(uint64_t(entry.data_offset) + offset, dest, n);
    }

    tavmerk_status damage(const std::string& what)
    {
        damaged = true;
        return fail(TAVMERK_ERROR_DAMAGED, path + ": " + what);
    }

    tavmerk_status unreadable()
    {
        return fail_system(path + ": cannot read its data");
    }

    // The record's checksum, once the content has been read to its end.
    tavmerk_status check_sum()
    {
        if (checked)
            return TAVMERK_OK;
        if (!in_order || summed != entry.stored_size) {
            sum = AdditiveChecksum();
            std::vector<uint8_t> piece(std::min<size_t>(stream_piece, entry.stored_size));
            for (uint64_t at = 0; at < entry.stored_size;) {
                const size_t n = size_t(std::min<uint64_t>(piece.size(), entry.stored_size - at));
                if (!read_stored(at, piece.data(), n))
                    return unreadable();
                sum.add(piece.data(), n);
                at += n;
            }
        }
        checked = true;
        if (sum.value() != entry.checksum)
            return damage("bad record checksum");
        return TAVMERK_OK;
    }

    // Makes the inflated bytes at `offset` the buffer's.
    tavmerk_status fill(uint64_t offset)
    {
        if (buffer_valid && offset >= buffer_start && offset < buffer_start + buffer.size())
            return TAVMERK_OK;
        buffer_valid = false;
        if (!index) {
            std::vector<uint8_t> stream(entry.stored_size);
            if (!read_stored(0, stream.data(), stream.size()))
                return unreadable();
            sum = AdditiveChecksum();
            sum.add(stream.data(), stream.size());
            summed = entry.stored_size;
            in_order = true;
            buffer.assign(entry.expanded_size, 0);
            size_t length = 0;
            const int result = inflate_stream(stream.data(), stream.size(), buffer.data(), buffer.size(), length);
            if (result != 0 || length != entry.expanded_size)
                return damage("bad zlib stream");
            buffer_start = 0;
            buffer_valid = true;
            return TAVMERK_OK;
        }
        const uint64_t k = offset / index->span();
        buffer.resize(index->span());
        size_t length = 0;
        const auto read = [this](uint64_t at, uint8_t* dest, size_t n) { return read_stored(at, dest, n); };
        if (!index->inflate_span(read, k, buffer.data(), length))
            return damage("bad zlib stream");
        buffer.resize(length);
        buffer_start = k * index->span();
        buffer_valid = true;
        return TAVMERK_OK;
    }

    // The whole content of a zlib record inflated straight into `dest`
    // (room for all of it): by the fast decoder from the stream held whole
    // where that is small enough, else a piece at a time, the checksum
    // summed as the stream is read.
    tavmerk_status inflate_whole(uint8_t* dest)
    {
        sum = AdditiveChecksum();
        size_t length = 0;
        int result = 0;
        if (entry.stored_size <= whole_stream_limit) {
            std::vector<uint8_t> stream(entry.stored_size);
            if (!read_stored(0, stream.data(), stream.size()))
                return unreadable();
            sum.add(stream.data(), stream.size());
            result = inflate_stream(stream.data(), stream.size(), dest, size_t(size), length);
        } else {
            uint64_t at = 0;
            bool failed = false;
            const auto from_archive = [&](uint8_t* piece, size_t n, size_t& got) {
                got = n;
                failed = !read_stored(at, piece, n);
                sum.add(piece, n);
                at += n;
                return !failed;
            };
            const auto to_dest = [&](const uint8_t* piece, size_t n) {
                std::memcpy(dest + length, piece, n);
                length += n;
                return true;
            };
            result = inflate_in_pieces(entry.stored_size, size, from_archive, to_dest).result;
            if (failed)
                return unreadable();
            // The bytes after the stream's end count in the checksum too.
            std::vector<uint8_t> piece(std::min<size_t>(stream_piece, entry.stored_size));
            for (; at < entry.stored_size;) {
                const size_t n = size_t(std::min<uint64_t>(piece.size(), entry.stored_size - at));
                if (!read_stored(at, piece.data(), n))
                    return unreadable();
                sum.add(piece.data(), n);
                at += n;
            }
        }
        summed = entry.stored_size;
        in_order = true;
        if (result != 0 || length != size)
            return damage("bad zlib stream");
        position = size;
        return check_sum();
    }

    tavmerk_status read(uint8_t* dest, size_t want, size_t& got)
    {
        got = 0;
        if (damaged)
            return fail(TAVMERK_ERROR_DAMAGED, path + ": damaged");
        want = size_t(std::min<uint64_t>(want, size > position ? size - position : 0));
        if (compressed() && position == 0 && want == size && size > 0 && !buffer_valid) {
            got = want;
            return inflate_whole(dest);
        }
        while (got < want) {
            size_t n = 0;
            if (!compressed()) {
                n = want - got;
                if (!read_stored(position, dest + got, n))
                    return unreadable();
                if (in_order && position == summed) {
                    sum.add(dest + got, n);
                    summed += n;
                } else {
                    in_order = false;
                }
            } else {
                const tavmerk_status status = fill(position);
                if (status != TAVMERK_OK)
                    return status;
                const size_t at = size_t(position - buffer_start);
                n = std::min(want - got, buffer.size() - at);
                std::memcpy(dest + got, buffer.data() + at, n);
            }
            got += n;
            position += n;
        }
        if (position >= size)
            return check_sum();
        return TAVMERK_OK;
    }
};

extern "C" {

tavmerk_status tavmerk_stream_open(tavmerk_archive* archive, uint64_t place, tavmerk_stream** out)
{
    return guarded([&] {
        if (!archive || !out)
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_stream_open: bad arguments");
        *out = nullptr;
        std::lock_guard<std::mutex> lock(archive->mutex);
        const Loaded& loaded = archive->loaded;
        if (place >= loaded.entries.size() || loaded.entries[size_t(place)].folder ||
            !loaded.entries[size_t(place)].live())
            return fail(TAVMERK_ERROR_NOT_FOUND, archive->path + ": no file at place " + std::to_string(place));
        auto stream = std::make_unique<tavmerk_stream>();
        stream->file = loaded.file;
        stream->entry = loaded.entries[size_t(place)];
        stream->path = stream->entry.path;
        const ArchiveEntry& e = stream->entry;
        if (uint64_t(e.data_offset) + e.stored_size > loaded.data_end)
            return fail(TAVMERK_ERROR_DAMAGED, stream->path + ": data outside the file");
        stream->size = stream->compressed() ? e.expanded_size : e.stored_size;
        if (stream->compressed() && (e.stored_size > largest_whole_record || e.expanded_size > largest_whole_record)) {
            const size_t span = size_t(std::max<uint64_t>(smallest_span, (stream->size + most_checkpoints - 1) /
                                                                             most_checkpoints));
            stream->index = std::make_unique<InflateIndex>(e.stored_size, e.expanded_size, span);
        }
        *out = stream.release();
        return TAVMERK_OK;
    });
}

tavmerk_status tavmerk_stream_read(tavmerk_stream* stream, void* buffer, size_t size, size_t* got)
{
    return guarded([&] {
        if (!stream || !got || (size && !buffer))
            return fail(TAVMERK_ERROR_INVALID, "tavmerk_stream_read: bad arguments");
        std::lock_guard<std::mutex> lock(stream->mutex);
        return stream->read(static_cast<uint8_t*>(buffer), size, *got);
    });
}

tavmerk_status tavmerk_stream_seek(tavmerk_stream* stream, uint64_t offset)
{
    if (!stream)
        return fail(TAVMERK_ERROR_INVALID, "tavmerk_stream_seek: no stream");
    std::lock_guard<std::mutex> lock(stream->mutex);
    stream->position = offset;
    return TAVMERK_OK;
}

uint64_t tavmerk_stream_size(tavmerk_stream* stream)
{
    if (!stream)
        return 0;
    std::lock_guard<std::mutex> lock(stream->mutex);
    return stream->size;
}

void tavmerk_stream_close(tavmerk_stream* stream)
{
    delete stream;
}

}  // extern "C"
