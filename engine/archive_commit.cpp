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

namespace {

uint32_t crc_of_bytes(const std::vector<uint8_t>& bytes)
{
    return Crc32().compute(bytes.data(), bytes.size());
}

FileReader reader_of(const platform::UpdateFile& archive)
{
    return [&archive](uint64_t offset, uint8_t* dest, size_t length) { return archive.read_at(offset, dest, length); };
}

}  // namespace

namespace {

// Reads `size` bytes at `offset` into `out`; false when the file cannot give them.
bool read_bytes(const FileReader& read, uint64_t offset, uint64_t size, std::vector<uint8_t>& out)
{
    if (size > SIZE_MAX)
        return false;
    out.resize(size_t(size));
    return out.empty() || read(offset, out.data(), out.size());
}

// The header and directory at offset 0 of a file of `file_size` bytes, as
// far as its header says it reaches (within the file); empty when the file
// is shorter than a header.
bool read_current_directory(const FileReader& read, uint64_t file_size, std::vector<uint8_t>& out)
{
    out.clear();
    if (file_size < header_size)
        return true;
    uint8_t header[header_size];
    if (!read(0, header, header_size))
        return false;
    const uint64_t size = std::min<uint64_t>(header_size + uint64_t(directory_size(header)), file_size);
    return read_bytes(read, 0, size, out);
}

}  // namespace

bool inspect_commit_record(const FileReader& read, uint64_t file_size, CommitRecord& out)
{
    out = CommitRecord();
    uint8_t trailer_bytes[redo_trailer_size];
    RedoTrailer trailer;
    if (file_size < redo_trailer_size)
        return true;
    if (!read(file_size - redo_trailer_size, trailer_bytes, redo_trailer_size))
        return false;
    if (!read_redo_trailer(trailer_bytes, file_size, trailer))
        return true;
    const uint64_t n = trailer.image_size;
    std::vector<uint8_t> current, at_zero, before, image;
    if (!read_current_directory(read, file_size, current) || !read_bytes(read, 0, n, at_zero) ||
        !read_bytes(read, trailer.before_at(), n, before) || !read_bytes(read, trailer.image_at(), n, image))
        return false;
    if (crc_of_bytes(before) != trailer.before_crc || !redo_image_holds(image.data(), n, trailer.image_crc))
        return true;
    // Bytes no live record points at that end like a record and are none
    // are left as they are, and told.
    const bool unreferenced = !live_data_reaches(current.data(), current.size(), file_size, trailer.record_at);
    out.record_at = trailer.record_at;
    if (directory_holds(current.data(), current.size())) {
        // The directory at offset 0 is in force. The record is a commit's
        // leftover only where it is what stands there, or what stood there,
        // and nothing the directory in force points at lies in it.
        if (unreferenced)
            out.state = at_zero == image || at_zero == before ? CommitRecord::State::leftover
                                                              : CommitRecord::State::stray;
        return true;
    }
    if (!torn_between(at_zero.data(), before.data(), image.data(), n) ||
        !redo_data_holds(image.data(), n, before.data(), trailer.record_at, read)) {
        if (unreferenced)
            out.state = CommitRecord::State::stray;
        return true;
    }
    out.state = CommitRecord::State::pending;
    out.image = std::move(image);
    out.record_at = trailer.record_at;
    return true;
}

bool read_redo_record(const platform::UpdateFile& archive, std::vector<uint8_t>& image, uint64_t& data_end)
{
    uint64_t size = 0;
    CommitRecord record;
    if (!archive.size(size) || !inspect_commit_record(reader_of(archive), size, record) ||
        record.state != CommitRecord::State::pending)
        return false;
    image = std::move(record.image);
    data_end = record.record_at;
    return true;
}

bool finish_interrupted_commit(platform::UpdateFile& archive)
{
    uint64_t size = 0;
    CommitRecord record;
    if (!archive.size(size) || !inspect_commit_record(reader_of(archive), size, record))
        return false;
    switch (record.state) {
    case CommitRecord::State::none:
    case CommitRecord::State::stray:
        return true;
    case CommitRecord::State::pending:
        if (!archive.write_at(0, record.image.data(), record.image.size()) || !archive.sync())
            return false;
        break;
    case CommitRecord::State::leftover:
        break;
    }
    return archive.truncate(record.record_at) && archive.sync();
}

bool commit_directory(platform::UpdateFile& archive, const std::vector<uint8_t>& image, uint64_t original_size)
{
    uint64_t data_end = 0;
    std::vector<uint8_t> before(image.size());
    if (!archive.size(data_end) || data_end < image.size() || !archive.read_at(0, before.data(), before.size()))
        return false;
    const std::vector<uint8_t> record = make_redo_record(before, image, data_end);

    // The commit's data and the record that refers to it are made sure of
    // by one sync, before anything is written at offset 0.
    if (!archive.write_at(data_end, record.data(), record.size()) || !archive.sync()) {
        // Offset 0 is untouched: the old directory stays in force.
        archive.truncate(original_size);
        archive.sync();
        return false;
    }
    if (!archive.write_at(0, image.data(), image.size())) {
        // Part of the image may be down, mixing old and new records. What
        // stood there goes back, and is on disk before the record that
        // could redo the new one is cut off with the commit's data.
        if (archive.write_at(0, before.data(), before.size()) && archive.sync()) {
            archive.truncate(original_size);
            archive.sync();
        }
        return false;
    }
    // Should this sync fail, the record stays: the next run writes the
    // image again. Once it succeeds, the record only repeats what is in
    // place, and cutting it off is tidying: a cut that does not reach the
    // disk leaves a leftover record the next writer cuts (nothing points
    // into it), and the next sync of the file makes it durable anyway.
    return archive.sync() && archive.truncate(data_end);
}

const uint8_t* committed_header(platform::FileView& view, uint64_t& size, uint64_t* stray)
{
    CommitRecord record;
    const FileReader read = [&view](uint64_t offset, uint8_t* dest, size_t length) {
        return view.read_at(offset, dest, length);
    };
    size = view.size();
    if (stray)
        *stray = 0;
    if (!inspect_commit_record(read, view.size(), record) || record.state == CommitRecord::State::none)
        return view.data();
    if (record.state == CommitRecord::State::stray) {
        if (stray)
            *stray = view.size() - record.record_at;
        return view.data();
    }
    view.limit(record.record_at);
    size = view.size();
    if (record.state == CommitRecord::State::leftover)
        return view.data();
    // The image is the record's own, checked where it stands in the view.
    size = record.image.size();
    return view.data() + record.record_at + record.image.size();
}

bool read_committed_directory(const platform::UpdateFile& archive, std::vector<uint8_t>& image,
                              uint64_t& data_end)
{
    if (read_redo_record(archive, image, data_end))
        return true;
    // Nothing pending; the data ends where a leftover record starts.
    if (!archive.size(data_end))
        return false;
    image.assign(size_t(std::min<uint64_t>(data_end, header_size)), 0);
    if (!archive.read_at(0, image.data(), image.size()))
        return false;
    if (image.size() < header_size)
        return true;  // too short to be an archive: the reader says so
    const uint64_t size = std::min<uint64_t>(header_size + uint64_t(directory_size(image.data())), data_end);
    image.resize(size_t(size));
    return archive.read_at(header_size, image.data() + header_size, image.size() - header_size);
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
