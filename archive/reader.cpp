#include "archive/reader.h"

#include <utility>

#include "archive/layout.h"

namespace tavmerk {

bool ArchiveReader::open(const uint8_t* directory, uint64_t size, uint64_t file_size)
{
    if (size < header_size || tavmerk::directory_size(directory) > size - header_size)
        return false;
    const size_t block_size = tavmerk::directory_size(directory);
    const uint8_t* block = directory + directory_block_at;
    if (check_directory(block, block_size, tavmerk::root_folder_count(directory)) == WalkEnd::damaged)
        return false;
    header_ = directory;
    block_ = block;
    block_size_ = block_size;
    file_size_ = file_size;
    return true;
}

uint32_t ArchiveReader::root_folder_count() const
{
    return tavmerk::root_folder_count(header_);
}

RecordCursor ArchiveReader::records(std::string root, char separator) const
{
    return RecordCursor(block_, block_size_, root_folder_count(), std::move(root), separator);
}

}  // namespace tavmerk
