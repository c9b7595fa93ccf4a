#include "engine/transaction.h"

#include <algorithm>

#include "archive/layout.h"
#include "archive/room.h"
#include "checksum/checksum.h"
#include "engine/archive_commit.h"
#include "engine/record_commit.h"

namespace tavmerk {

uint64_t directory_identity(const uint8_t* image, size_t size)
{
    if (size >= header_size)
        size = size_t(std::min<uint64_t>(size, header_size + uint64_t(directory_size(image))));
    const uint32_t crc = Crc32().compute(image, size);
    return uint64_t(size) << 32 | crc;
}

RunResult run_result_of(CommitStatus begun, int error)
{
    switch (begun) {
    case CommitStatus::committed:
        return {};
    case CommitStatus::cannot_open:
        return {RunEnd::cannot_open, error};
    case CommitStatus::write_failed:
        return {RunEnd::write_failed, error};
    default:
        return {RunEnd::damaged};
    }
}

CommitStatus commit_status_of(RunEnd end)
{
    switch (end) {
    case RunEnd::completed:
        return CommitStatus::committed;
    case RunEnd::cannot_open:
        return CommitStatus::cannot_open;
    case RunEnd::write_failed:
        return CommitStatus::write_failed;
    case RunEnd::data_outside:
        return CommitStatus::data_outside;
    default:
        return CommitStatus::damaged;
    }
}

CommitStatus Transaction::begin(const std::string& path, Mode mode)
{
    abandon();
    mode_ = mode;
    done_ = false;
    error_ = 0;
    file_ = std::make_unique<platform::UpdateFile>();
    const bool dry = mode == Mode::dry_run;
    if (!file_->open(path, dry ? platform::LockKind::shared : platform::LockKind::exclusive,
                     dry ? platform::Access::read_only : platform::Access::read_write)) {
        error_ = platform::last_error();
        return CommitStatus::cannot_open;
    }
    // Whatever an interrupted commit left is finished before anything is read.
    if (!dry && !finish_interrupted_commit(*file_)) {
        error_ = platform::last_error();
        return CommitStatus::write_failed;
    }
    if (!read_committed_directory(*file_, image_, data_end_)) {
        error_ = platform::last_error();
        return CommitStatus::cannot_open;
    }
    if (!reader_.open(image_.data(), image_.size(), data_end_))
        return CommitStatus::damaged;
    append_at_ = data_end_;
    open_ = true;
    return CommitStatus::committed;
}

uint64_t Transaction::room_end() const
{
    const uint64_t block_end = header_size + uint64_t(reader_.block_size());
    // The marker stands in the image where it was read with it (a record's
    // image), else in the file after the block.
    const uint8_t* marker = marker_after_directory(image_.data(), image_.size());
    uint8_t read[room_marker_size];
    if (!marker && block_end + room_marker_size <= data_end_ && file_->read_at(block_end, read, room_marker_size))
        marker = read;
    const uint64_t end = tavmerk::room_end(reader_, marker);
    return end > 0 ? end : block_end;
}

bool Transaction::data_outside(const std::function<void(const FileEntry&)>& each) const
{
    bool found = false;
    RecordCursor records = reader_.records(std::string(), '/');
    while (records.next()) {
        if (records.entry().live() && !reader_.data_inside(records.entry())) {
            found = true;
            if (!each)
                break;
            each(records.entry());
        }
    }
    return found;
}

bool Transaction::append(const uint8_t* data, size_t size)
{
    if (!open_ || dry_run() || !file_->write_at(append_at_, data, size)) {
        error_ = platform::last_error();
        return false;
    }
    append_at_ += size;
    return true;
}

CommitStatus Transaction::commit(const std::vector<uint8_t>& image)
{
    if (!open_ || dry_run() || done_)
        return CommitStatus::write_failed;
    done_ = true;
    if (!commit_directory(*file_, image, data_end_)) {
        error_ = platform::last_error();
        return CommitStatus::write_failed;
    }
    image_ = image;
    reader_ = ArchiveReader();
    file_->size(data_end_);
    append_at_ = data_end_;
    reader_.open(image_.data(), image_.size(), data_end_);
    return CommitStatus::committed;
}

void Transaction::abandon()
{
    uint64_t size = 0;
    if (!open_ || done_ || dry_run() || !file_->size(size) || size <= data_end_)
        return;
    file_->truncate(data_end_);
    file_->sync();
    append_at_ = data_end_;
}

void Transaction::release()
{
    abandon();
    done_ = true;
    open_ = false;
    file_.reset();
}

}  // namespace tavmerk
