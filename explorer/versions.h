// Which committed version of the archive a request reads. Each request
// opens the archive, reads the directory in force under the shared lock
// and lets the lock go at once (as the library does): the data a
// directory points at is never overwritten, so the file stays readable
// through the same handle for as long as the request streams, and the
// server holds no lock while idle. The listing built from a directory is
// kept while the directory's identity stays the same, so that only a
// commit (by this server or any other run) costs a new walk.
//
// An earlier version (engine/history.h) is read the same way: its
// directory comes from the history, its data from the same file, where an
// earlier directory's data stays until compaction. The listing of the
// last version asked for is kept beside the current one's, so that
// browsing it walks the history once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/locks.h"
#include "engine/tree_listing.h"
#include "platform/platform.h"

namespace tavmerk::explorer {

// One directory, walked.
struct Listing {
    uint64_t identity = 0;
    bool past = false;           // an earlier version than the one in force
    uint32_t past_id = 0;        // its id in the history, where past
    std::vector<uint8_t> image;  // the header and directory in force
    uint64_t data_end = 0;
    uint64_t file_size = 0;      // of the file it was read from
    TreeListing tree;
};

// What one request reads: a directory and the open file its data lies in.
struct Version {
    std::shared_ptr<const Listing> listing;
    std::shared_ptr<platform::UpdateFile> file;
    uint64_t data_end = 0;  // where the committed data ends (the file's size but for a redo record)

    const TreeListing& tree() const { return listing->tree; }
    uint64_t identity() const { return listing->identity; }
    // An earlier version: read only.
    bool past() const { return listing->past; }
};

// Why a version cannot be read, as an HTTP status tells it.
enum class VersionFailure { none, unknown, unreadable };

// The identity as the API shows it: 16 hex digits.
std::string version_text(uint64_t identity);

class Versions {
public:
    explicit Versions(std::string archive_path) : path_(std::move(archive_path)) {}

    // The version in force now; false with `error` set (a line naming the
    // archive) when it cannot be opened, read or walked.
    bool current(Version& out, std::string& error) EXCLUDES(mutex_);

    // Version `at` ("K" or "~K"; empty: the one in force). A version that
    // is not in the history or whose data was dropped: unknown, with the
    // engine's line in `error` (which names the version, not the archive).
    // The one in force asked for by its id is listed as in force.
    VersionFailure at(const std::string& at, Version& out, std::string& error) EXCLUDES(mutex_);

private:
    std::string path_;
    Mutex mutex_;
    std::shared_ptr<const Listing> cached_ GUARDED_BY(mutex_);
    // The earlier version last read: the text it was asked by, and the
    // listing in force it was resolved against ("~K" counts from it).
    std::shared_ptr<const Listing> past_ GUARDED_BY(mutex_);
    std::shared_ptr<const Listing> past_from_ GUARDED_BY(mutex_);
    std::string past_text_ GUARDED_BY(mutex_);
};

}  // namespace tavmerk::explorer
