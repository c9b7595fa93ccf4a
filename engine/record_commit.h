// One record's new content made part of the archive on its own, as a
// long-running process (a mount) saves a file: the content is made ready
// first, without a lock, in a scratch file beside the archive (a step of
// its own, so that the caller holds none of its own locks meanwhile); under the
// exclusive lock, an interrupted pass's directory write is finished first;
// the new data is appended (by default level-9 zlib if the record was
// compressed, raw if it was stored, raw too where a stream would read back
// as stored data: the rule of "/P"),
// the record updated in a copy of the directory, its CRC set, and the copy
// committed with the redo-record protocol (engine/archive_commit.h). A crash
// at any point leaves the record's old content or its new one.
//
// A stored record whose content was only added to, and whose data ends the
// archive's data, takes the added bytes where its data ends: nothing is
// copied again and nothing is made ready (a log that grows a line at each
// save costs its line). The bytes past the data's end are no live
// record's until the commit, as for any append.
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

// The record the new content was edited from, as the caller last knew
// it, and how many of the content's first bytes are still its data's
// (the content as it was expanded from that record).
struct EditedFrom {
    uint32_t data_offset = 0;
    uint32_t stored_size = 0;
    uint32_t expanded_size = 0;
    uint32_t checksum = 0;
    uint64_t unchanged = 0;
};

// The new content of a file: `size` bytes that `read` copies out; `from`,
// where known, the record it was edited from.
struct NewContent {
    uint64_t size = 0;
    std::function<bool(uint64_t offset, uint8_t* dest, size_t size)> read;
    const EditedFrom* from = nullptr;
};

// How the record stores its new data.
enum class RecordStorage {
    kept,    // as the record stores it now (the rule of "/P")
    stored,  // raw
    chosen,  // a level-9 zlib stream where that is smaller, else raw (a new record's rule)
};

// What a commit left.
struct CommitResult {
    std::vector<uint8_t> image;  // the directory in force afterwards
    uint64_t data_end = 0;       // the archive's size afterwards
    platform::FileStamp stamp;   // and its stamp
    size_t record_at = 0;        // the record written, in the block
    bool same_directory = false; // the directory before was `known_image`
};

// Content made ready for a record before any lock is taken: as `storage`
// has it for the record known then (level-9 zlib or raw), in an unnamed
// scratch file beside the archive.
struct StagedRecord {
    platform::UpdateFile file;
    RecordStorage storage = RecordStorage::kept;
    bool ready = false;       // false: nothing made ready (the commit makes it)
    bool compressed = false;  // made as a zlib stream (raw where that would not do, as for the commit)
    uint64_t expanded = 0;    // the content's size
    uint64_t size = 0;        // the bytes made ready
    uint32_t checksum = 0;    // theirs
};

// Makes `content` ready for the record at `known_record_at` in
// `known_image`, stored as `storage` says (nothing made ready where that
// names no record, nor where the stored record can take what was added
// where its data ends). This is the slow part of a save, the compression,
// and takes no lock.
void stage_record(const std::string& archive_path, const NewContent& content, const std::vector<uint8_t>& known_image,
                  size_t known_record_at, StagedRecord& staged, RecordStorage storage = RecordStorage::kept);

// Commits `staged` to the record that "/E" would write at `path` (levels
// joined by "/"). When the directory found is `known_image`, the record is
// the one at `known_record_at`; otherwise it is looked up afresh. A stored
// record that is still `content.from`, with all of its data unchanged at
// the content's start and ending the archive's data, takes the bytes added
// after it. Otherwise, where nothing was made ready, or the record found
// asks for the other method, `content` is made ready again under the lock
// and committed.
CommitStatus commit_staged_record(const std::string& archive_path, const std::string& path,
                                  const NewContent& content, const StagedRecord& staged,
                                  const std::vector<uint8_t>& known_image, size_t known_record_at,
                                  CommitResult& result, const VersionNote& note = VersionNote());

// Both in turn: `content` made ready and committed.
CommitStatus commit_record(const std::string& archive_path, const std::string& path, const NewContent& content,
                           const std::vector<uint8_t>& known_image, size_t known_record_at, CommitResult& result,
                           RecordStorage storage = RecordStorage::kept, const VersionNote& note = VersionNote());

}  // namespace tavmerk
