// The one way into an archive's directory: the header and directory block
// checked whole before anything reads them, then the file records in
// directory order. Expansion, repacking and the companion command's
// listing and testing all read through it; it never writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/walk.h"

namespace tavmerk {

class ArchiveReader {
public:
    // `directory` holds `size` bytes from the header on (at least the
    // header and the directory block: a mapped archive or a repack's
    // directory buffer); the archive file is `file_size` bytes long. False
    // when the header is short, the directory block runs past `size`, or a
    // walk over it would run out of its block. A bad folder id is not
    // damage: the walk meets it at its place.
    bool open(const uint8_t* directory, uint64_t size, uint64_t file_size);

    const uint8_t* header() const { return header_; }
    const uint8_t* block() const { return block_; }
    size_t block_size() const { return block_size_; }
    uint32_t root_folder_count() const;
    uint64_t file_size() const { return file_size_; }

    // The records, with paths composed under `root` (which ends in
    // `separator`, or is empty for paths relative to the archive).
    RecordCursor records(std::string root, char separator = platform::separator) const;

    // True when the entry's stored bytes lie inside the file.
    bool data_inside(const FileEntry& entry) const
    {
        return uint64_t(entry.data_offset) + entry.stored_size <= file_size_;
    }

private:
    const uint8_t* header_ = nullptr;
    const uint8_t* block_ = nullptr;
    size_t block_size_ = 0;
    uint64_t file_size_ = 0;
};

}  // namespace tavmerk
