#include "explorer/record_bytes.h"

#include <algorithm>
#include <cstring>

#include "engine/inflate.h"
#include "engine/zstream.h"

namespace tavmerk::explorer {

namespace {

// Spans of at least 1 MiB, at most 256 of them: checkpoints of a few MiB
// at most, whatever the record's size.
constexpr uint64_t smallest_span = uint64_t(1) << 20;
constexpr uint64_t most_spans = 256;

}  // namespace

RecordBytes::RecordBytes(std::shared_ptr<platform::UpdateFile> file, const ArchiveEntry& entry, uint64_t data_end)
    : file_(std::move(file)), entry_(entry)
{
    inside_ = entry.live() && !entry.folder && uint64_t(entry.data_offset) + entry.stored_size <= data_end;
    if (!inside_)
        return;
    const bool compressed = entry.kind == RecordKind::compressed;
    size_ = compressed ? entry.expanded_size : entry.stored_size;
    if (compressed && (entry.stored_size > largest_whole_record || entry.expanded_size > largest_whole_record)) {
        const uint64_t span = std::max(smallest_span, (size_ + most_spans - 1) / most_spans);
        index_ = std::make_unique<InflateIndex>(entry.stored_size, entry.expanded_size, size_t(span));
    }
}

bool RecordBytes::read_stored(uint64_t offset, uint8_t* dest, size_t length) const
{
    return file_->read_at(uint64_t(entry_.data_offset) + offset, dest, length);
}

// Makes the inflated bytes at `offset` the buffer's: the whole content of
// a small stream, else the span that holds it.
bool RecordBytes::fill(uint64_t offset)
{
    if (buffer_valid_ && offset >= buffer_start_ && offset < buffer_start_ + buffer_.size())
        return true;
    buffer_valid_ = false;
    if (!index_) {
        std::vector<uint8_t> stream(entry_.stored_size);
        if (!read_stored(0, stream.data(), stream.size()))
            return false;
        buffer_.assign(inflate_room(entry_.stored_size, entry_.expanded_size), 0);
        size_t length = 0;
        if (inflate_stream(stream.data(), stream.size(), buffer_.data(), buffer_.size(), length) != 0 ||
            length != size_)
            return false;
        buffer_start_ = 0;
    } else {
        const uint64_t k = offset / index_->span();
        buffer_.resize(index_->span());
        size_t length = 0;
        const auto read = [this](uint64_t at, uint8_t* dest, size_t n) { return read_stored(at, dest, n); };
        if (!index_->inflate_span(read, k, buffer_.data(), length))
            return false;
        buffer_.resize(length);
        buffer_start_ = k * index_->span();
    }
    buffer_valid_ = true;
    return offset < buffer_start_ + buffer_.size();
}

bool RecordBytes::read(uint64_t offset, uint8_t* dest, size_t length)
{
    if (!inside_ || offset > size_ || length > size_ - offset)
        return false;
    if (entry_.kind != RecordKind::compressed)
        return read_stored(offset, dest, length);
    while (length > 0) {
        if (!fill(offset))
            return false;
        const size_t at = size_t(offset - buffer_start_);
        const size_t n = std::min(length, buffer_.size() - at);
        std::memcpy(dest, buffer_.data() + at, n);
        dest += n;
        offset += n;
        length -= n;
    }
    return true;
}

}  // namespace tavmerk::explorer
