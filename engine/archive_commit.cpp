#include "engine/archive_commit.h"

#include <algorithm>
#include <cstdint>

#include "archive/layout.h"
#include "archive/redo.h"
#include "archive/room.h"
#include "checksum/checksum.h"

namespace tavmerk {

void seal_directory(uint8_t* image)
{
    set_directory_crc(image, Crc32().compute(image + directory_block_at, directory_size(image)));
}

bool read_redo_record(const platform::UpdateFile& archive, std::vector<uint8_t>& image, uint64_t& data_end)
{
    uint64_t size = 0;
    uint8_t trailer[redo_trailer_size];
    uint64_t image_size = 0;
    uint32_t crc = 0;
    if (!archive.size(size) || size < redo_trailer_size ||
        !archive.read_at(size - redo_trailer_size, trailer, redo_trailer_size) ||
        !read_redo_trailer(trailer, size, data_end, image_size, crc) || image_size > SIZE_MAX)
        return false;
    image.resize(static_cast<size_t>(image_size));
    // A record that does not hold is ordinary data that happens to end like one.
    if (!archive.read_at(data_end, image.data(), image.size()) || !redo_image_holds(image.data(), image_size, crc))
        return false;
    // The directory at offset 0, as far as the image reaches, to tell
    // which records the image changes.
    std::vector<uint8_t> current(size_t(std::min(image_size, data_end)));
    if (!archive.read_at(0, current.data(), current.size()))
        current.clear();
    return redo_data_holds(image.data(), image_size, current.data(), current.size(), data_end,
                           [&archive](uint64_t offset, uint8_t* dest, size_t length) {
                               return archive.read_at(offset, dest, length);
                           });
}

bool finish_interrupted_commit(platform::UpdateFile& archive)
{
    std::vector<uint8_t> image;
    uint64_t data_end = 0;
    if (!read_redo_record(archive, image, data_end))
        return true;
    return archive.write_at(0, image.data(), image.size()) && archive.sync() && archive.truncate(data_end) &&
           archive.sync();
}

bool commit_directory(platform::UpdateFile& archive, const std::vector<uint8_t>& image,
                      const std::vector<uint8_t>& old_image, uint64_t original_size)
{
    uint64_t data_end = 0;
    if (!archive.size(data_end))
        return false;
    std::vector<uint8_t> record(image.size() + redo_trailer_size);
    std::copy(image.begin(), image.end(), record.begin());
    make_redo_trailer(image.data(), image.size(), record.data() + image.size());

    // The pass's data is on disk before the record that refers to it: a
    // record may reach the disk before writes made ahead of it in the same
    // sync, and it would then redo a directory over data that is not there.
    if (!archive.sync() || !archive.write_at(data_end, record.data(), record.size()) || !archive.sync()) {
        // Offset 0 is untouched: the old directory stays in force.
        archive.truncate(original_size);
        archive.sync();
        return false;
    }
    if (!archive.write_at(0, image.data(), image.size())) {
        // Part of the image may be down, mixing old and new records. The
        // old directory goes back, and is on disk before the record that
        // could redo the new one is cut off with the pass's data.
        if (archive.write_at(0, old_image.data(), old_image.size()) && archive.sync()) {
            archive.truncate(original_size);
            archive.sync();
        }
        return false;
    }
    // Should this sync fail, the record stays: the next run writes the
    // image again. Once it succeeds, the record only repeats what is in
    // place, and cutting it off is tidying.
    return archive.sync() && archive.truncate(data_end) && archive.sync();
}

const uint8_t* committed_header(platform::FileView& view, uint64_t& size)
{
    uint64_t image_at = 0;
    uint64_t image_size = 0;
    if (find_redo_record(view.data(), view.size(), image_at, image_size) &&
        redo_data_holds(view.data() + image_at, image_size, view.data(), image_at, image_at,
                        [&view](uint64_t offset, uint8_t* dest, size_t length) {
                            return view.read_at(offset, dest, length);
                        })) {
        view.limit(image_at);
        size = image_size;
        return view.data() + image_at;
    }
    size = view.size();
    return view.data();
}

RunResult map_committed_archive(const std::string& path, platform::LockKind lock, platform::FileView& view,
                                ArchiveReader& reader, const uint8_t** room_marker)
{
    switch (platform::map_file(path, view, lock)) {
    case platform::ViewStatus::ok:
        break;
    case platform::ViewStatus::cannot_open:
        return {RunEnd::cannot_open, platform::last_error()};
    case platform::ViewStatus::cannot_map:
        return {RunEnd::damaged};
    }
    // A pass stopped during its directory write left the new directory
    // after its data: it is the one in force, read where it stands.
    uint64_t directory_room = 0;
    const uint8_t* header = committed_header(view, directory_room);
    if (!reader.open(header, directory_room, view.size()))
        return {RunEnd::damaged};
    if (room_marker)
        *room_marker = marker_after_directory(header, directory_room);
    return {};
}

}  // namespace tavmerk
