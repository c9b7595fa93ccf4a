#include "walk_visitor.h"

namespace tavmerk {

WalkEnd walk_root(const uint8_t* block, size_t block_size, uint32_t root_folder_count,
                  const std::string& root, WalkVisitor& visitor);


WalkEnd walk_root(const uint8_t* block, size_t block_size, uint32_t root_folder_count,
                  const std::string& root, WalkVisitor& visitor)
{
    RecordCursor records(block, block_size, root_folder_count, root);
    while (records.next()) {
        const FileEntry& e = records.entry();
        if (!e.live())
            visitor.deleted(e.path);
        else if (e.unsafe)
            visitor.unsafe(e.path);
        else if (!visitor.file(e.path, e.record_at))
            return WalkEnd::stopped;
    }
    return records.end();
}

}  // namespace tavmerk
