#include "explorer/versions.h"

#include <algorithm>
#include <cstdio>

#include "archive/layout.h"
#include "archive/reader.h"
#include "engine/archive_commit.h"
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

}  // namespace tavmerk::explorer
