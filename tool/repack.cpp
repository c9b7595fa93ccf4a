#include "tool/repack.h"

#include <zlib.h>

#include <vector>

#include "archive/layout.h"
#include "archive/walk.h"
#include "checksum/checksum.h"
#include "platform/platform.h"
#include "tool/console.h"
#include "tool/output_tree.h"
#include "tool/walk_messages.h"

namespace tavmerk {

namespace {

// Offsets and sizes are 32-bit: no byte of the archive may lie at or past
// 4 GiB, and no source may be 4 GiB or larger.
constexpr uint64_t offset_limit = uint64_t(1) << 32;

class Packer : public ReportingVisitor {
public:
    Packer(platform::UpdateFile& archive, std::vector<uint8_t>& directory, uint64_t end,
           const std::string& extract_root)
        : archive_(archive), directory_(directory), end_(end), tree_(extract_root, false)
    {
    }

    bool file(const std::string& path, size_t record_at) override
    {
        return pack_file(path, directory_.data() + directory_block_at + record_at);
    }

    bool write_failed() const { return write_failed_; }

private:
    // Returns false only when the archive could not be written.
    bool pack_file(const std::string& path, uint8_t* record)
    {
        std::string name;
        const platform::Folder* folder = tree_.open_parent(path, name);
        if (!folder)
            return true;  // a missing source is passed over silently
        switch (platform::read_regular_file(*folder, name, offset_limit - 1, source_)) {
        case platform::ReadStatus::ok:
            break;
        case platform::ReadStatus::missing:
            return true;
        case platform::ReadStatus::too_large:
            say("File %s too large\n", path);
            return true;
        }

        const bool was_stored = is_stored(record);
        const std::vector<uint8_t>* data = &source_;
        if (!was_stored) {
            uLongf length = compressBound(uLong(source_.size()));
            packed_.resize(length);
            const int result = compress2(packed_.data(), &length, source_.data(), uLong(source_.size()), 9);
            if (result != Z_OK) {
                // The record keeps its old data; nothing is appended.
                say("Error packing %d\n", result);
                say("%s\n", path);
                return true;
            }
            packed_.resize(length);
            // A stream as long as its source would read back as stored
            // data: store the source itself, which reads back right.
            if (packed_.size() != source_.size())
                data = &packed_;
        }

        if (end_ >= offset_limit || data->size() > offset_limit - end_) {
            say("File %s too large\n", path);
            return true;
        }
        if (!archive_.write_at(end_, data->data(), data->size())) {
            write_failed_ = true;
            return false;
        }
        set_data_offset(record, uint32_t(end_));
        set_stored_size(record, uint32_t(data->size()));
        set_expanded_size(record, uint32_t(source_.size()));
        set_record_checksum(record, additive_checksum(data->data(), data->size()));
        end_ += data->size();
        say(was_stored ? "Unpacked file\n %s\n" : "%s\n", path);
        return true;
    }

    platform::UpdateFile& archive_;
    std::vector<uint8_t>& directory_;
    uint64_t end_;
    OutputTree tree_;
    bool write_failed_ = false;
    std::vector<uint8_t> source_;
    std::vector<uint8_t> packed_;
};

// Reads header and directory block into one buffer; false if the archive is
// too short for them or its directory runs past its block.
bool read_directory(const platform::UpdateFile& archive, uint64_t archive_size, std::vector<uint8_t>& out)
{
    uint8_t header[header_size];
    if (archive_size < header_size || !archive.read_at(0, header, header_size))
        return false;
    const uint32_t size = directory_size(header);
    if (size > archive_size - header_size)
        return false;
    out.resize(header_size + size_t(size));
    if (!archive.read_at(0, out.data(), out.size()))
        return false;
    return check_directory(out.data() + directory_block_at, size, root_folder_count(out.data())) !=
           WalkEnd::damaged;
}

// Best effort after a failed pass: the archive as it was before it.
void restore_archive(platform::UpdateFile& archive, const std::vector<uint8_t>& old_directory,
                     uint64_t original_size)
{
    archive.write_at(0, old_directory.data(), old_directory.size());
    archive.truncate(original_size);
    archive.sync();
}

}  // namespace

bool pack_archive(const std::string& archive_path, const std::string& extract_root)
{
    platform::UpdateFile archive;
    if (!archive.open(archive_path)) {
        say("Can't create data file %s\n", archive_path);
        return false;
    }
    uint64_t original_size = 0;
    std::vector<uint8_t> directory;
    if (!archive.size(original_size) || !read_directory(archive, original_size, directory)) {
        report_damaged(archive_path);
        return false;
    }
    say("Packing...\n");
    // Kept to put back should the directory write fail partway.
    const std::vector<uint8_t> old_directory = directory;

    const size_t block_size = directory.size() - header_size;
    Packer packer(archive, directory, original_size, extract_root);
    const WalkEnd end = walk_root(directory.data() + directory_block_at, block_size,
                                  root_folder_count(directory.data()), extract_root, packer);
    if (end == WalkEnd::stopped && packer.write_failed()) {
        // The old directory stays in force; give back the space appended.
        archive.truncate(original_size);
        say("Can't write data file %s\n", archive_path);
        return false;
    }
    if (!report_walk_end(end, archive_path))
        return false;

    // The new data must be on disk before the directory that points at it,
    // so that a pass cut short leaves either directory over intact data.
    const Crc32 crc;
    set_directory_crc(directory.data(), crc.compute(directory.data() + directory_block_at, block_size));
    if (!archive.sync() || !archive.write_at(0, directory.data(), directory.size())) {
        // A failed write may have put part of the new directory down, which
        // would mix old and new records: the old one goes back, and the
        // space appended with it.
        restore_archive(archive, old_directory, original_size);
        say("Can't write data file %s\n", archive_path);
        return false;
    }
    if (!archive.sync()) {
        // The new directory is in place over synced data; it stays.
        say("Can't write data file %s\n", archive_path);
        return false;
    }
    return true;
}

}  // namespace tavmerk
