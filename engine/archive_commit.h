// How a pass makes its new directory the archive's, so that a power loss
// or a killed process at any point leaves the old directory or the new one,
// never a mix (the redo record is described in archive/redo.h):
//
//   1. the image (header and directory) and its trailer are appended after
//      the pass's data, and synced with it;
//   2. the image is written at offset 0, and synced;
//   3. image and trailer are cut off again, and the cut synced.
//
// A run that finds a redo record left by a pass stopped after step 1 takes
// the image as the directory: a repack does steps 2 and 3 first, an
// expansion reads from the image and changes nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "engine/run_result.h"
#include "platform/platform.h"

namespace tavmerk {

// Sets the directory_crc of the header and directory block at `image`
// (the block's directory_size bytes must follow the header): every pass
// that writes a directory seals it here.
void seal_directory(uint8_t* image);

// The redo record a pass that stopped partway left, read without changing
// the file: true, with its image and the end of the data before it, when
// the archive ends in one that holds, its changed records' data included.
bool read_redo_record(const platform::UpdateFile& archive, std::vector<uint8_t>& image, uint64_t& data_end);

// Finishes the directory write of a pass that stopped partway: when the
// archive ends in a redo record that holds, writes its image at offset 0
// and cuts the record off, syncing each. True when there was no record or
// it is done; false when a write failed (the record then stays).
bool finish_interrupted_commit(platform::UpdateFile& archive);

// Makes `image` the archive's header and directory, the pass's data ending
// at the archive's end. On failure, returns false and leaves whole either
// the new directory (over data that is on disk) or the old one: before the
// image reaches offset 0, `old_image` is put back there and the archive cut
// back to `original_size`, as it was before the pass.
bool commit_directory(platform::UpdateFile& archive, const std::vector<uint8_t>& image,
                      const std::vector<uint8_t>& old_image, uint64_t original_size);

// The header of a mapped archive, followed by `size` bytes that may hold
// its directory: at offset 0, or, when the archive ends in a redo record
// that holds (its changed records' data included), the record's image, the
// view then ending where the image starts.
const uint8_t* committed_header(platform::FileView& view, uint64_t& size);

// Maps the archive at `path` under `lock` (see platform::map_file) and
// opens the directory in force with `reader`: completed, cannot_open (with
// the system's reason) or damaged. `room_marker`, when given, is set to
// the bytes after the directory in force where a room marker would stand
// (archive/room.h), or null where the file has none.
RunResult map_committed_archive(const std::string& path, platform::LockKind lock, platform::FileView& view,
                                ArchiveReader& reader, const uint8_t** room_marker = nullptr);

}  // namespace tavmerk
