// The repacking engine: files under a root brought back into the archive
// they came from. Each live record whose source is a regular file gets the
// source's data appended (compressed again at level 9 if the record was
// compressed, raw if it was raw) and its record rewritten; then the
// directory is written back in place. A front end chooses which records
// get new data and hears of every record in directory order through
// RepackEvents; the engine prints nothing itself.
#pragma once

#include <string>

#include "archive/walk.h"
#include "engine/ordered_work.h"
#include "engine/run_result.h"

namespace tavmerk {

enum class RepackSelection {
    every_source,  // every record with a source, changed or not
    changed_only,  // only records whose source differs from the archived content
};

enum class RepackOutcome {
    deleted,       // data_offset 0: never read
    unsafe,        // a ".." component below the root: never read
    missing,       // no source: record unchanged
    unreadable,    // a source that cannot be opened or read (permissions, an I/O error): record unchanged
    not_regular,   // a link, folder, FIFO or device at the source's path: record unchanged
    too_large,     // the source, or the archive with it, passes 4 GiB: record unchanged
    compress_failed,   // the compressor failed: record unchanged
    appended,      // new data appended, record rewritten
    unchanged,     // (changed_only) the source equals the archived content
    changed,       // (dry run) the source differs and would be appended
    data_outside,  // (refused archive) the record's data lies outside the file
};

struct RepackReport {
    const FileEntry& entry;  // its kind is the record's before the pass
    RepackOutcome outcome;
    int compress_result;  // zlib's code for compress_failed, 0 (Z_OK) otherwise
    int error = 0;        // the system's reason for unreadable (platform::last_error)
};

class RepackEvents {
public:
    virtual ~RepackEvents() = default;
    // The header and directory were read and checked; the pass begins.
    virtual void started() = 0;
    // Every live or deleted record met, in directory order, on the calling
    // thread.
    virtual void record(const RepackReport& report) = 0;
};

struct RepackOptions {
    unsigned workers = default_workers();  // 0: everything on the calling thread
    RepackSelection selection = RepackSelection::every_source;
    bool dry_run = false;              // compare and report, write nothing: the archive is only read
    bool refuse_data_outside = false;  // refuse, untouched, an archive with data outside the file
    // Set: the commit keeps the directory it replaces as a version with
    // this summary (engine/history.h), where the room after the directory
    // has space for it. Empty: the bytes "/P" writes, and nothing else.
    std::string version_summary;
};

// Repacks the archive at `archive_path` from the tree under `extract_root`
// (absolute, ending in a separator). With every_source the directory is
// always written back; with changed_only only when something was appended,
// so that an archive with nothing to change is left untouched. A pass that
// ends early (the archive cannot be opened, is damaged, has a bad folder id
// or, with refuse_data_outside, data outside the file; a write failed)
// leaves the archive as it was, byte for byte.
RunResult pack_archive(const std::string& archive_path, const std::string& extract_root, const RepackOptions& options,
                  RepackEvents& events);

}  // namespace tavmerk
