// The page's files (explorer/page/), compiled in as byte arrays by
// cmake/embed_files.cmake: the server reads nothing from disk but the
// archive.
#pragma once

#include <cstddef>

namespace tavmerk::explorer {

struct PageFile {
    const char* name;  // its file name ("app.js")
    const unsigned char* data;
    size_t size;
};

extern const PageFile page_files[];
extern const size_t page_file_count;

}  // namespace tavmerk::explorer
