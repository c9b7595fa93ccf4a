// The expansion engine: the live records of an archive written out, under
// a folder tree or to a stream. A front end chooses the records, what
// happens at an existing file and where the bytes go, and hears of every
// record in directory order through ExpandEvents; the engine prints
// nothing itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "archive/walk.h"
#include "engine/ordered_work.h"
#include "engine/run_result.h"

namespace tavmerk {

// What to do where something already stands at a file's path.
enum class ExistingFile {
    report,   // leave it; every earlier record is reported first and nothing
              // after it is created before its report returns (a key wait)
    skip,     // leave it
    replace,  // replace it whole with a new file (never written through a link)
};

// What became of one record.
enum class ExpandOutcome {
    deleted,        // data_offset 0: nothing to write
    unsafe,         // a ".." component below the root: never written
    data_outside,   // its stored bytes lie outside the file
    cannot_create,  // a folder on the way, or the file itself, cannot be made
    exists,         // something stands at its path and was left as it was
    written,        // written whole; a stream that failed to inflate gives what it gave
    write_failed,   // the write failed and the partial file was removed
};

struct ExpandReport {
    const FileEntry& entry;
    ExpandOutcome outcome;
    int inflate_result;  // zlib's code for a compressed record, 0 (Z_OK) otherwise
    int error = 0;       // the system's reason for cannot_create and write_failed (platform::last_error)
    uint64_t size = 0;   // bytes written (written): fewer than expanded_size from a stream that ends early
};

class ExpandEvents {
public:
    virtual ~ExpandEvents() = default;
    // Every selected record, in directory order, on the calling thread.
    virtual void record(const ExpandReport& report) = 0;
};

// Where the bytes go instead of a tree: each file's contents, whole, in
// directory order.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool write(const uint8_t* data, size_t size) = 0;
};

struct ExpandOptions {
    unsigned workers = default_workers();  // 0: everything on the calling thread
    // Which records to take, given the entry and its path below the root
    // (levels joined by "/"); empty: every record.
    std::function<bool(const FileEntry& entry, const std::string& relative)> select;
    ExistingFile existing = ExistingFile::report;
    ByteSink* stream = nullptr;  // set: no tree is touched
    // Set: the archive as it was at this version ("K" or "~K", see
    // engine/history.h); one that cannot be opened is damaged.
    std::string at;
};

// Writes the selected records of the archive at `archive_path` under
// `extract_root` (absolute, ending in a separator; its missing levels are
// made). The run ends early when the archive cannot be opened, its
// directory is damaged (checked whole before anything is written), or a
// nested folder entry has a bad id (after every record before it).
RunResult expand_archive(const std::string& archive_path, const std::string& extract_root,
                    const ExpandOptions& options, ExpandEvents& events);

}  // namespace tavmerk
