// The prepare step of a change set (engine/change_set.h): every put's
// content read and, unless it is only to be stored, compressed at level 9,
// before the archive's lock is taken, on worker threads where there are
// several. Streams past a memory budget wait in an unnamed scratch file
// (the spool) beside the archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/change_set.h"
#include "engine/zstream.h"
#include "platform/platform.h"

namespace tavmerk {

// A put's content made ready before the lock: its size and, unless it is
// to be stored, its level-9 zlib stream with its checksum.
struct Prepared {
    const Content* content = nullptr;
    size_t change = no_place;  // the change it is for
    bool store_only = false;
    uint64_t raw_size = 0;
    bool has_stream = false;
    std::vector<uint8_t> stream;  // in memory, or
    uint64_t spool_at = 0;        // in the spool, at this offset
    bool spooled = false;
    uint64_t stream_size = 0;
    uint32_t stream_sum = 0;
    uint32_t raw_sum = 0;  // of the content itself, for a stored record
    uint64_t size_hint = 0;  // the size expected before it is opened
    bool record = false;     // a record's stored bytes, copied as they are (Content::is_record)
    bool failed = false;
    int error = 0;
};

// Streams larger than this, or past the budget in all, wait in a scratch
// file rather than in memory.
constexpr uint64_t memory_budget = uint64_t(64) << 20;

// A scratch file with no name beside the archive, for streams waiting to
// be appended.
struct Spool {
    platform::UpdateFile file;
    bool open = false;
    uint64_t size = 0;
    std::string folder;

    bool append(const uint8_t* data, size_t length)
    {
        if (!open)
            open = file.open_unnamed(folder);
        if (!open || !file.write_at(size, data, length))
            return false;
        size += length;
        return true;
    }
};

// Reads the content, summing it, and (unless it is only to be stored)
// compresses it into `out.stream`, or through `to_spool` where given.
void compress_content(Prepared& out, const PieceWriter& to_spool = nullptr);

// Prepares every put of `changes`, in order, into `prepared`; false (with
// `result` saying why) when a content cannot be read. A dry run reads no
// content.
bool prepare(const ChangeSet& changes, const CommitOptions& options, const std::string& spool_folder,
             std::vector<Prepared>& prepared, Spool& spool, ChangeResult& result);

// A record's content needs no reading before the lock: its fields say
// its sizes, method and sum.
void prepare_record(Prepared& p);

// Writes a prepared content's bytes through `write`, a piece at a time: its
// stream from memory or the spool, or, `stored` or a record's, its content
// read (again), whose sum must be the one prepared. False with `result`
// saying why.
bool write_prepared(const Prepared& p, bool stored, Spool& spool,
                    const std::function<bool(const uint8_t*, size_t)>& write, ChangeResult& result);

}  // namespace tavmerk
