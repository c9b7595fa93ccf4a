// How a commit makes its new directory the archive's, so that a power loss
// or a killed process at any point leaves the old directory or the new one,
// never a mix (the redo record is described in archive/redo.h):
//
//   1. the record (the bytes at offset 0 the image replaces, the image and
//      a trailer) is appended after the commit's data, and synced with it;
//   2. the image is written at offset 0, and synced;
//   3. the record is cut off again, and the cut synced.
//
// A run that finds a record of a commit stopped in step 2 (the directory at
// offset 0 torn between the record's before and its image) takes the image
// as the directory: a writer finishes steps 2 and 3 first, a reader reads
// from the image and changes nothing. What the file ends in counts only
// where the directory at offset 0 proves that a commit was under way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "archive/redo.h"
#include "engine/run_result.h"
#include "platform/platform.h"

namespace tavmerk {

// Sets the directory_crc of the header and directory block at `image`
// (the block's directory_size bytes must follow the header): every pass
// that writes a directory seals it here.
void seal_directory(uint8_t* image);

// What the end of a file holds of a commit, judged against the directory
// at offset 0 (see judge in archive/redo.h).
struct CommitRecord {
    enum class State {
        none,      // nothing of a commit: the directory at offset 0 is in force, the file as it is
        pending,   // a directory write cut short: `image` is in force, the data ending at `record_at`
        leftover,  // the directory at offset 0 is in force and nothing points into the record at `record_at`
        stray,     // the file ends like a record that is neither, and no live record points into it
    };
    State state = State::none;
    std::vector<uint8_t> image;
    uint64_t record_at = 0;
};

// Reads what the file of `file_size` bytes holds of a commit through `read`;
// false when it cannot be read.
bool inspect_commit_record(const FileReader& read, uint64_t file_size, CommitRecord& out);

// The directory a commit that stopped partway left in force, read without
// changing the file: true, with its image and the end of the data before
// it, when the archive ends in a record of a directory write cut short.
bool read_redo_record(const platform::UpdateFile& archive, std::vector<uint8_t>& image, uint64_t& data_end);

// Finishes what a commit that stopped partway left: the image of a
// directory write cut short is written at offset 0 and the record cut off,
// a leftover record is cut off, syncing each. True when there was nothing
// to finish or it is done; false when a write failed (the record stays).
bool finish_interrupted_commit(platform::UpdateFile& archive);

// The header and directory in force, from a file the caller has locked:
// the image of a redo record that holds at the end of the file (the data
// then ends where it starts), else the file's own. False when the file
// cannot be read; the image is not checked (ArchiveReader does that).
bool read_committed_directory(const platform::UpdateFile& archive, std::vector<uint8_t>& image,
                              uint64_t& data_end);

// Makes `image` the archive's header and directory, the commit's data
// ending at the archive's end. On failure, returns false and leaves whole
// either the new directory (over data that is on disk) or the old one:
// before the image reaches offset 0, what stood there is put back and the
// archive cut back to `original_size`, as it was before the commit.
bool commit_directory(platform::UpdateFile& archive, const std::vector<uint8_t>& image, uint64_t original_size);

// The header of a mapped archive, followed by `size` bytes that may hold
// its directory: at offset 0, or, when the archive ends in the record of a
// directory write cut short, the record's image; the view then ends where
// the record starts (also after a leftover record). `stray`, where given,
// is set to the bytes at the end that look like a record but are none.
const uint8_t* committed_header(platform::FileView& view, uint64_t& size, uint64_t* stray = nullptr);

// Maps the archive at `path` under `lock` (see platform::map_file) and
// opens the directory in force with `reader`: completed, cannot_open (with
// the system's reason) or damaged. `room_marker`, when given, is set to
// the bytes after the directory in force where a room marker would stand
// (archive/room.h), or null where the file has none.
RunResult map_committed_archive(const std::string& path, platform::LockKind lock, platform::FileView& view,
                                ArchiveReader& reader, const uint8_t** room_marker = nullptr);

}  // namespace tavmerk
