// Patches: what turns one archive's tree (the base) into another's, as an
// archive of its own that "/E", list, test and the mount read like any
// other. It holds
//   - each added or changed file as a record at its path, its stored
//     bytes copied from the new archive as they are (no recompression);
//   - each removed file as a deleted record at its path;
//   - each added empty folder as a folder;
//   - the manifest, a file at `patch_manifest_path`: JSON naming every
//     change with what the base held there and what the patch's record
//     was when it was made. Applying trusts only the manifest; the records
//     carry the data.
//
// Manifest (format "tavmerk-patch", version 1):
//   {"format":"tavmerk-patch","version":1,"entries":[ENTRY...]}
//   ENTRY {"path":P, ["path_hex":H,] "type":"file"|"folder",
//          "change":"added"|"removed"|"changed", "base":BASE, ["patch":RECORD]}
//   P is the path as "/E" writes it; where it is not valid UTF-8, P has
//   U+FFFD for its bad bytes and H holds all its bytes (lowercase hex).
//   BASE is "absent" (added), "folder" (an empty folder removed), or for
//   a file {"kind":"stored"|"zlib","expanded_size","stored_size","checksum"}.
//   RECORD (added and changed files) is the patch's record as made, the
//   same fields plus "content_crc32", the CRC-32 of its expanded bytes.
//
// Applying checks every entry against the archive's tree first: a path
// whose file is not the base's (method, sizes, checksum), or present where
// the base had it absent, or absent where the base had it, is a conflict,
// and nothing is changed. The patch's record at a path must be the one
// the manifest names; one that differs but whose expanded bytes still
// have the manifest's CRC-32 (the patch expanded and repacked, its streams
// made anew) is used as it now is; any other difference refuses the patch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/change_set.h"
#include "engine/tree_diff.h"

namespace tavmerk {

constexpr char patch_manifest_path[] = ".tavmerk-patch/manifest.json";
constexpr char patch_manifest_folder[] = ".tavmerk-patch";
// A manifest larger than this is refused unread.
constexpr uint32_t largest_manifest = uint32_t(64) << 20;

struct PatchEntry {
    TreeChangeKind change = TreeChangeKind::added;
    std::string path;
    bool folder = false;
    bool base_present = false;  // files changed or removed, folders removed
    TreeItem base;              // files: the base's record (data_offset 0)
    TreeItem record;            // added and changed files: the patch's record (data_offset: where it now is)
    uint32_t content_crc = 0;
};

// Everything the patch's own archive needs: its change set (made in an
// empty archive) from the changes between two trees, the added and
// changed files' bytes read from `new_view`. False, with `failed_path`,
// where a file of the new archive cannot be read or inflated.
bool stage_patch_archive(const ArchiveView& new_view, const std::vector<TreeChange>& changes, ChangeSet& out,
                         std::string& failed_path);

// True when the tree holds anything at or below the manifest's folder.
bool holds_manifest_folder(const ArchiveTree& tree);

enum class PatchProblem {
    none,
    damaged,          // the patch's directory does not walk, or a record's data cannot be read
    no_manifest,      // no manifest file at its path
    bad_manifest,     // not JSON, another format or version, a field missing or out of range
    refused_name,     // an entry's path "/E" would not write back, or the manifest's own folder
    duplicate,        // two entries for one path
    record_missing,   // an added or changed file has no record in the patch
    record_unlike,    // a record is neither the manifest's nor of its content
    unlisted_record,  // a file of the patch that the manifest does not name
};

struct PatchRead {
    PatchProblem problem = PatchProblem::none;
    std::string path;  // the entry or record concerned, where there is one
    std::string detail;
    std::vector<PatchEntry> entries;  // in the manifest's order
};

// Reads and checks the patch read through `patch`.
PatchRead read_patch(const ArchiveView& patch);

// The entries (indices) whose paths `target`'s tree does not hold as the
// base did, in the entries' order.
std::vector<size_t> patch_conflicts(const std::vector<PatchEntry>& entries, const ArchiveTree& target);

// The change set that applies the entries to `target`: removals (deepest
// first), then folders made, then files put with the patch's stored bytes
// read through `patch`. With `force`, a removal of what is not there is
// left out and anything else is applied as it stands.
void stage_patch(const std::vector<PatchEntry>& entries, const ArchiveView& patch, const ArchiveTree& target,
                 bool force, ChangeSet& out);

}  // namespace tavmerk
