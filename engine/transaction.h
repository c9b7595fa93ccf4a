// One transaction on an archive: the only way anything writes one. "/P",
// update, compact, change sets (the companion's commands, the mount, the
// library) and the mount's single-record saves all go through it.
//
//   begin    the archive opened under the exclusive lock (a dry run: the
//            shared lock, read-only); what an interrupted commit left is
//            finished (engine/archive_commit.h); the directory in force is
//            read, with where its data ends and its identity;
//   append   new data after the data's end: none of it counts until the
//            commit, and the file stays what it was for every reader;
//   commit   the new header and directory made the archive's in place,
//            through the redo record, after the appended data is synced;
//   end      without a commit, whatever was appended is cut off again, so
//            that the archive is as it was, byte for byte.
// A commit whose directory outgrows its room writes the archive anew
// instead (engine/archive_rewrite.h), still under this transaction's lock.
//
// The lock is the file's: one writer at a time across processes, readers
// under the shared lock seeing a whole version. Within a process it is
// taken after the process's own locks (a mount's, a library handle's) and
// never while another transaction of the same process is open on the file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "engine/run_result.h"
#include "platform/platform.h"

namespace tavmerk {

// How a commit ended: the one vocabulary of every writer.
enum class CommitStatus {
    committed,      // done (also with nothing to do)
    cannot_open,    // the archive cannot be opened (`error` says why)
    damaged,        // its directory does not walk whole
    data_outside,   // a live record's data lies past the end of the file (cut short)
    stale_place,    // a place from another directory whose entry is no longer at its path
    refused_name,   // a new name "/E" would not write back at its path
    not_found,      // a path or place that names nothing
    no_record,      // a save: nothing in the archive shows at that path any more
    conflict,       // a file where a folder is needed or the reverse; a rename onto a folder with live entries
    exists,         // create: something stands at the new path already
    too_large,      // the archive with the change (its redo record included) would reach 4 GiB
    read_failed,    // new content could not be read (`error` says why)
    write_failed,   // a write failed (`error` says why); the archive is as it was
    cancelled,      // the progress callback said stop; the archive is as it was
};

// Which directory a listing, a place or a handle came from: the CRC-32 of
// the header and directory block with the block's size, never 0. Two
// directories with the same identity are the same bytes but by chance.
uint64_t directory_identity(const uint8_t* image, size_t size);

// How a transaction that did not begin ends a run of an engine that
// reports RunResult ("/P", compact): cannot_open and write_failed with the
// system's reason, anything else damaged.
RunResult run_result_of(CommitStatus begun, int error);

// The reverse, for a writer whose commit ran such an engine first
// (make_room): its error is the run's.
CommitStatus commit_status_of(RunEnd end);

class Transaction {
public:
    enum class Mode { write, dry_run };

    Transaction() = default;
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() { abandon(); }

    // Opens the archive at `path` and reads the directory in force. Not
    // committed: cannot_open or write_failed (finishing an interrupted
    // commit failed), with error(); damaged where the header is short or
    // the directory runs past its block.
    CommitStatus begin(const std::string& path, Mode mode = Mode::write);

    // The header and directory in force (with the room marker after them
    // where it was read with them), and the reader over it.
    const std::vector<uint8_t>& image() const { return image_; }
    const ArchiveReader& reader() const { return reader_; }
    uint64_t data_end() const { return data_end_; }
    uint64_t identity() const { return directory_identity(image_.data(), image_.size()); }
    // The end of the room after the directory in force, or the end of the
    // directory block where it has none (archive/room.h).
    uint64_t room_end() const;

    // True when a live record's data lies past the end of the file; each is
    // told to `each` where given.
    bool data_outside(const std::function<void(const FileEntry&)>& each = nullptr) const;

    platform::UpdateFile& file() { return *file_; }
    const platform::UpdateFile& file() const { return *file_; }
    bool dry_run() const { return mode_ == Mode::dry_run; }
    int error() const { return error_; }

    // Appends at append_at(); false when the write failed (error() says why).
    bool append(const uint8_t* data, size_t size);
    uint64_t append_at() const { return append_at_; }
    // For writers that append through file() themselves, from data_end()
    // on: where their data now ends.
    void appended_to(uint64_t end) { append_at_ = end; }

    // Makes `image` (header, directory, room marker where it has room) the
    // archive's, over the data appended: committed, or write_failed with
    // the archive holding the old directory or the new one, whole.
    CommitStatus commit(const std::vector<uint8_t>& image);

    // Cuts off whatever lies past the data's end, appended here or through
    // file() (also when the transaction ends without a commit). The lock
    // is kept until the transaction ends.
    void abandon();

    // Lets go of the file and its lock: for a rewrite that must release
    // the old file before its rename (Windows).
    void release();

private:
    std::unique_ptr<platform::UpdateFile> file_;
    Mode mode_ = Mode::write;
    std::vector<uint8_t> image_;
    ArchiveReader reader_;
    uint64_t data_end_ = 0;
    uint64_t append_at_ = 0;
    bool open_ = false;
    bool done_ = false;  // committed, or the commit tried: nothing is cut off after
    int error_ = 0;
};

}  // namespace tavmerk
