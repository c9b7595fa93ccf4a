// The directory walk driven for a visitor: the shape the walk tests and
// fuzz targets check records in (deleted, unsafe and live ones apart).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/walk.h"

namespace tavmerk {

// What `walk_root` reports, in directory pre-order.
class WalkVisitor {
public:
    virtual ~WalkVisitor() = default;
    // A live record with a safe path. Returning false stops the walk.
    virtual bool file(const std::string& path, size_t record_at) = 0;
    // A record with data_offset 0.
    virtual void deleted(const std::string& path) = 0;
    // A live record whose path below the root has a ".." component.
    virtual void unsafe(const std::string& path) = 0;
};

// The whole walk over a visitor.
WalkEnd walk_root(const uint8_t* block, size_t block_size, uint32_t root_folder_count,
                  const std::string& root, WalkVisitor& visitor);

}  // namespace tavmerk
