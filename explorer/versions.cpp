#include "explorer/versions.h"

#include <algorithm>
#include <cstdio>

#include "archive/layout.h"
#include "archive/reader.h"
#include "engine/archive_commit.h"
#include "engine/history.h"
#include "engine/transaction.h"

namespace tavmerk::explorer {

std::string version_text(uint64_t identity)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(identity));
    return text;
}

// The header names its directory's size and CRC: a file whose header and
// size are those of the directory last read holds that directory still (a
// commit always writes a new header, and a commit cut short leaves its
// record at the end, which changes the size). Only then is the directory
// not read again.
bool Versions::current(Version& out, std::string& error)
{
    auto file = std::make_shared<platform::UpdateFile>();
    if (!file->open(path_, platform::LockKind::shared, platform::Access::read_only)) {
        error = "cannot open: " + platform::error_message(platform::last_error());
        return false;
    }
    uint8_t header[header_size];
    uint64_t file_size = 0;
    std::shared_ptr<const Listing> listing;
    if (file->size(file_size) && file_size >= header_size && file->read_at(0, header, header_size)) {
        MutexLock lock(mutex_);
        if (cached_ && cached_->file_size == file_size && cached_->image.size() >= header_size &&
            std::equal(header, header + header_size, cached_->image.begin()))
            listing = cached_;
    }
    if (listing) {
        file->unlock();
        out.listing = std::move(listing);
        out.file = std::move(file);
        out.data_end = out.listing->data_end;
        return true;
    }
    auto built = std::make_shared<Listing>();
    const bool read = read_committed_directory(*file, built->image, built->data_end) && file->size(built->file_size);
    file->unlock();
    if (!read) {
        error = "cannot read: " + platform::error_message(platform::last_error());
        return false;
    }
    built->identity = directory_identity(built->image.data(), built->image.size());
    ArchiveReader reader;
    if (!reader.open(built->image.data(), built->image.size(), built->data_end) || !built->tree.build(reader)) {
        error = "damaged directory";
        return false;
    }
    {
        MutexLock lock(mutex_);
        cached_ = built;
    }
    out.listing = std::move(built);
    out.file = std::move(file);
    out.data_end = out.listing->data_end;
    return true;
}

// Resolved against the listing in force, whose image holds the anchor of
// the history; the history is read through the request's own handle,
// without the lock, as record data is: a block once written is never
// written over.
VersionFailure Versions::at(const std::string& at, Version& out, std::string& error)
{
    if (!current(out, error))
        return VersionFailure::unreadable;
    if (at.empty())
        return VersionFailure::none;
    const std::shared_ptr<const Listing> now = out.listing;
    {
        MutexLock lock(mutex_);
        if (past_ && past_from_ == now && past_text_ == at) {
            out.listing = past_;
            return VersionFailure::none;
        }
    }
    ArchiveReader current_reader, reader;
    if (!current_reader.open(now->image.data(), now->image.size(), now->data_end)) {
        error = "damaged directory";
        return VersionFailure::unreadable;
    }
    const std::shared_ptr<platform::UpdateFile> file = out.file;
    const ReadAt read_at = [&file](uint64_t offset, uint8_t* dest, size_t size) {
        return file->read_at(offset, dest, size);
    };
    auto built = std::make_shared<Listing>();
    uint32_t id = 0;
    const VersionOpen opened = open_version(read_at, current_reader, at, built->image, reader, &id);
    if (opened != VersionOpen::ok) {
        error = version_problem(opened, at);
        return opened == VersionOpen::damaged ? VersionFailure::unreadable : VersionFailure::unknown;
    }
    built->identity = directory_identity(built->image.data(), built->image.size());
    if (built->identity == now->identity)
        return VersionFailure::none;
    built->past = true;
    built->past_id = id;
    built->data_end = now->data_end;
    built->file_size = now->file_size;
    if (!built->tree.build(reader)) {
        error = "version " + at + ": damaged directory";
        return VersionFailure::unreadable;
    }
    {
        MutexLock lock(mutex_);
        past_ = built;
        past_from_ = now;
        past_text_ = at;
    }
    out.listing = std::move(built);
    return VersionFailure::none;
}

}  // namespace tavmerk::explorer
