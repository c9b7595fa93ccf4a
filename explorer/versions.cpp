#include "explorer/versions.h"

#include <cstdio>

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

bool Versions::current(Version& out, std::string& error)
{
    auto file = std::make_shared<platform::UpdateFile>();
    if (!file->open(path_, platform::LockKind::shared, platform::Access::read_only)) {
        error = "cannot open: " + platform::error_message(platform::last_error());
        return false;
    }
    std::vector<uint8_t> image;
    uint64_t data_end = 0;
    const bool read = read_committed_directory(*file, image, data_end);
    file->unlock();
    if (!read) {
        error = "cannot read: " + platform::error_message(platform::last_error());
        return false;
    }
    const uint64_t identity = directory_identity(image.data(), image.size());
    std::shared_ptr<const Listing> listing;
    {
        MutexLock lock(mutex_);
        if (cached_ && cached_->identity == identity && cached_->image == image)
            listing = cached_;
    }
    if (!listing) {
        auto built = std::make_shared<Listing>();
        built->identity = identity;
        built->image = std::move(image);
        ArchiveReader reader;
        if (!reader.open(built->image.data(), built->image.size(), data_end) || !built->tree.build(reader)) {
            error = "damaged directory";
            return false;
        }
        listing = built;
        MutexLock lock(mutex_);
        cached_ = listing;
    }
    out.listing = std::move(listing);
    out.file = std::move(file);
    out.data_end = data_end;
    return true;
}

}  // namespace tavmerk::explorer
