// Verification of an archive's records, as `tavmerk-util test` and the
// library make it: the directory's CRC, and for every live record its data
// range, its checksum and its stream (inflated strictly by zlib to exactly
// its expanded size); with a tree, also whether the file there holds
// exactly the record's content. The checks run on worker threads, a piece
// at a time, so that a record of any size takes a few pieces of memory;
// their findings reach VerifyEvents in directory order on the calling
// thread. The engine prints nothing; describe() gives each finding's words.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/reader.h"

namespace tavmerk {

enum class VerifyFinding {
    data_outside,         // its stored bytes lie outside the file
    unreadable,           // its stored bytes cannot be read
    bad_checksum,         // the additive checksum does not hold
    inflates_to,          // the stream inflates to `value` bytes, not `expected`
    inflates_past,        // the stream inflates past expanded_size (`value`)
    bad_stream,           // zlib failed with result `value`
    trailing_bytes,       // (warning) `value` bytes after the end of the stream
    tree_missing,         // nothing at its path in the tree
    tree_unreadable,      // the file there cannot be read (`error` says why)
    tree_not_regular,     // a link, folder or device stands there
    tree_differs,         // the file there holds something else
    unsafe_not_compared,  // (warning) a ".." level: the tree is never looked at
};

struct VerifyNote {
    VerifyFinding finding;
    int64_t value = 0;
    int64_t expected = 0;  // inflates_to: the expanded size
    int error = 0;  // the system's reason, for tree_unreadable (0: none known)
};

// What one live record's check found: problems first, then warnings.
struct VerifyReport {
    const FileEntry& entry;
    const std::vector<VerifyNote>& problems;
    const std::vector<VerifyNote>& warnings;
};

class VerifyEvents {
public:
    virtual ~VerifyEvents() = default;
    // The directory block fails its CRC; told before any record.
    virtual void bad_directory_crc() {}
    // Every live record, in directory order, on the calling thread; false
    // stops the run (the records not yet reported are dropped).
    virtual bool record(const VerifyReport& report) = 0;
};

struct VerifyOptions {
    unsigned workers = 0;   // besides the calling thread
    std::string tree_root;  // set (absolute, ending in a separator): contents compared with the tree
    // Copies stored bytes of the archive out, as FileView::read_at does.
    std::function<bool(uint64_t offset, uint8_t* dest, size_t size)> read_at;
};

struct VerifyResult {
    WalkEnd end = WalkEnd::complete;  // how the walk ended (stopped: by the events)
    uint64_t tested = 0;              // live records reported
    uint64_t problems = 0;            // problems reported, the directory's CRC included
    bool out_of_memory = false;       // some record could not be checked whole
};

// Checks the records of the open `reader`; paths are composed under the
// tree root (with a tree) or relative with "/" (without).
VerifyResult verify_records(const ArchiveReader& reader, const VerifyOptions& options, VerifyEvents& events);

// The finding in words ("bad record checksum").
std::string describe(const VerifyNote& note);

}  // namespace tavmerk
