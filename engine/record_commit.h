// One record's new content made part of the archive on its own, as a
// long-running process (a mount) saves a file: the content is made ready
// first, without a lock, in a scratch file beside the archive; under the
// exclusive lock, an interrupted pass's directory write is finished first;
// the new data is appended (level-9 zlib if the record was compressed, raw if
// it was stored, raw too where a stream would read back as stored data: the
// rule of "/P"),
// the record updated in a copy of the directory, its CRC set, and the copy
// committed with the redo-record protocol (engine/archive_commit.h). A crash
// at any point leaves the record's old content or its new one.
//
// Also here: the directory in force read under the shared lock, for such a
// process to (re)load it without holding any lock while idle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/archive_commit.h"
#include "engine/transaction.h"
#include "platform/platform.h"

namespace tavmerk {

// The new content of a file: `size` bytes that `read` copies out.
struct NewContent {
    uint64_t size = 0;
    std::function<bool(uint64_t offset, uint8_t* dest, size_t size)> read;
};

// What a commit left.
struct CommitResult {
    std::vector<uint8_t> image;  // the directory in force afterwards
    uint64_t data_end = 0;       // the archive's size afterwards
    platform::FileStamp stamp;   // and its stamp
    size_t record_at = 0;        // the record written, in the block
    bool same_directory = false; // the directory before was `known_image`
};

// Commits `content` to the record that "/E" would write at `path` (levels
// joined by "/"). When the directory found is `known_image`, the record is
// the one at `known_record_at`; otherwise it is looked up afresh.
CommitStatus commit_record(const std::string& archive_path, const std::string& path, const NewContent& content,
                           const std::vector<uint8_t>& known_image, size_t known_record_at, CommitResult& result);

}  // namespace tavmerk
