// A record's expanded bytes read at any offset, for answers that stream a
// file or put it in a tar: stored data straight from the archive, a small
// zlib stream inflated whole once, a large one a span at a time through an
// InflateIndex (engine/inflate_index.h), so that memory stays at a span
// and its checkpoints whatever the record's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/archive_entries.h"
#include "engine/inflate_index.h"
#include "platform/platform.h"

namespace tavmerk::explorer {

class RecordBytes {
public:
    // The record `entry` of the archive open as `file`, whose committed
    // data ends at `data_end`.
    RecordBytes(std::shared_ptr<platform::UpdateFile> file, const ArchiveEntry& entry, uint64_t data_end);

    // False when the record's data lies outside the file.
    bool inside() const { return inside_; }
    uint64_t size() const { return size_; }

    // Copies the `length` bytes at `offset` (within size()) into `dest`;
    // false when they cannot be read or the stream is damaged there.
    bool read(uint64_t offset, uint8_t* dest, size_t length);

private:
    bool read_stored(uint64_t offset, uint8_t* dest, size_t length) const;
    bool fill(uint64_t offset);

    std::shared_ptr<platform::UpdateFile> file_;
    ArchiveEntry entry_;
    bool inside_ = false;
    uint64_t size_ = 0;
    std::unique_ptr<InflateIndex> index_;
    std::vector<uint8_t> buffer_;  // inflated bytes from buffer_start_ on
    uint64_t buffer_start_ = 0;
    bool buffer_valid_ = false;
};

}  // namespace tavmerk::explorer
