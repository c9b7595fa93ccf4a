// One record's new content made part of the archive on its own, as a
// long-running process (a mount) saves a file: the content is made ready
// first, without a lock, in a scratch file beside the archive (a step of
// its own, so that the caller holds none of its own locks meanwhile); under the
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
#include "engine/history.h"
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

// Content made ready for a record before any lock is taken: as the
// record known then stores its data (level-9 zlib or raw), in an unnamed
// scratch file beside the archive.
struct StagedRecord {
    platform::UpdateFile file;
    bool ready = false;       // false: nothing made ready (the commit makes it)
    bool compressed = false;  // made for a compressed record
    uint64_t expanded = 0;    // the content's size
    uint64_t size = 0;        // the bytes made ready
    uint32_t checksum = 0;    // theirs
};

// Makes `content` ready for the record at `known_record_at` in
// `known_image` (nothing made ready where that names no record). This is
// the slow part of a save, the compression, and takes no lock.
void stage_record(const std::string& archive_path, const NewContent& content, const std::vector<uint8_t>& known_image,
                  size_t known_record_at, StagedRecord& staged);

// Commits `staged` to the record that "/E" would write at `path` (levels
// joined by "/"). When the directory found is `known_image`, the record is
// the one at `known_record_at`; otherwise it is looked up afresh. Where
// nothing was made ready, or the record found stores its data the other
// way, `content` is made ready again under the lock and committed.
CommitStatus commit_staged_record(const std::string& archive_path, const std::string& path,
                                  const NewContent& content, const StagedRecord& staged,
                                  const std::vector<uint8_t>& known_image, size_t known_record_at,
                                  CommitResult& result, const VersionNote& note = VersionNote());

// Both in turn: `content` made ready and committed.
CommitStatus commit_record(const std::string& archive_path, const std::string& path, const NewContent& content,
                           const std::vector<uint8_t>& known_image, size_t known_record_at, CommitResult& result,
                           const VersionNote& note = VersionNote());

}  // namespace tavmerk
