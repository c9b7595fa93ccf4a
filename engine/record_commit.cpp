#include "engine/record_commit.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

#include "archive/layout.h"
#include "archive/reader.h"
#include "checksum/checksum.h"
#include "engine/archive_commit.h"
#include "engine/expanded_tree.h"

namespace tavmerk {

namespace {

// Offsets and sizes are 32-bit: no byte of the archive may lie at or past 4 GiB.
constexpr uint64_t offset_limit = uint64_t(1) << 32;
// Content moves in chunks of this size: a multiple of 4, so that the
// additive checksum of the whole is the sum of the chunks' checksums.
constexpr size_t chunk_size = size_t(1) << 20;

using Buffer = std::unique_ptr<uint8_t[]>;

// Where new data goes, and what it came to.
struct Appended {
    uint64_t at = 0;
    uint64_t size = 0;
    uint32_t checksum = 0;
};

// Copies the content to `out.at` unchanged.
CommitStatus append_raw(platform::UpdateFile& archive, const NewContent& content, Appended& out)
{
    if (content.size > offset_limit - out.at)
        return CommitStatus::too_large;
    Buffer chunk(new uint8_t[chunk_size]);
    for (uint64_t done = 0; done < content.size;) {
        const size_t n = size_t(std::min<uint64_t>(chunk_size, content.size - done));
        if (!content.read(done, chunk.get(), n))
            return CommitStatus::read_failed;
        if (!archive.write_at(out.at + done, chunk.get(), n))
            return CommitStatus::write_failed;
        out.checksum += additive_checksum(chunk.get(), n);
        done += n;
    }
    out.size = content.size;
    return CommitStatus::committed;
}

// Compresses the content at level 9 into a zlib stream at `out.at`, the
// same stream compress2 makes, a chunk at a time: memory stays at two
// chunks and the compressor's state whatever the size. The stream is
// written a full chunk at a time (then the rest), so each write starts at
// a multiple of 4 and the chunks' checksums add up to the stream's.
CommitStatus append_deflated(platform::UpdateFile& archive, const NewContent& content, Appended& out)
{
    z_stream strm{};
    if (deflateInit(&strm, 9) != Z_OK)
        return CommitStatus::write_failed;
    Buffer in(new uint8_t[chunk_size]);
    Buffer stream(new uint8_t[chunk_size]);
    strm.next_out = stream.get();
    strm.avail_out = uInt(chunk_size);
    uint64_t read = 0;
    for (int ret = Z_OK; ret != Z_STREAM_END;) {
        if (strm.avail_in == 0 && read < content.size) {
            const size_t n = size_t(std::min<uint64_t>(chunk_size, content.size - read));
            if (!content.read(read, in.get(), n)) {
                deflateEnd(&strm);
                return CommitStatus::read_failed;
            }
            read += n;
            strm.next_in = in.get();
            strm.avail_in = uInt(n);
        }
        ret = deflate(&strm, read == content.size ? Z_FINISH : Z_NO_FLUSH);
        if (strm.avail_out > 0 && ret != Z_STREAM_END)
            continue;
        const size_t n = chunk_size - strm.avail_out;
        const bool fits = n <= offset_limit - out.at - out.size;
        if (!fits || !archive.write_at(out.at + out.size, stream.get(), n)) {
            deflateEnd(&strm);
            return fits ? CommitStatus::write_failed : CommitStatus::too_large;
        }
        out.checksum += additive_checksum(stream.get(), n);
        out.size += n;
        strm.next_out = stream.get();
        strm.avail_out = uInt(chunk_size);
    }
    deflateEnd(&strm);
    return CommitStatus::committed;
}

CommitStatus append_content(platform::UpdateFile& archive, const NewContent& content, bool compressed,
                            Appended& out)
{
    if (content.size >= offset_limit || out.at >= offset_limit)
        return CommitStatus::too_large;
    if (!compressed)
        return append_raw(archive, content, out);
    const CommitStatus status = append_deflated(archive, content, out);
    if (status != CommitStatus::committed || !stream_reads_as_stored(out.size, content.size))
        return status;
    // A stream as long as its source would read back as stored data: the
    // source goes in its place, over exactly the same bytes.
    out = Appended{out.at, 0, 0};
    return append_raw(archive, content, out);
}

// The record "/E" would write at `path` in the directory `image`.
bool locate_record(const std::vector<uint8_t>& image, uint64_t data_end, const std::string& path,
                   size_t& record_at)
{
    ArchiveReader reader;
    if (!reader.open(image.data(), image.size(), data_end))
        return false;
    ExpandedTree tree;
    tree.build(reader);
    const uint32_t found = tree.find(path);
    if (found == ExpandedTree::none || tree.node(found).folder)
        return false;
    record_at = tree.node(found).record_at;
    return true;
}

}  // namespace

bool read_committed_directory(const platform::UpdateFile& archive, std::vector<uint8_t>& image,
                              uint64_t& data_end)
{
    if (read_redo_record(archive, image, data_end))
        return true;
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

CommitStatus commit_record(const std::string& archive_path, const std::string& path, const NewContent& content,
                           const std::vector<uint8_t>& known_image, size_t known_record_at, CommitResult& result)
{
    platform::UpdateFile archive;
    if (!archive.open(archive_path, platform::LockKind::exclusive))
        return CommitStatus::cannot_open;
    if (!finish_interrupted_commit(archive))
        return CommitStatus::write_failed;
    std::vector<uint8_t> old_image;
    uint64_t data_end = 0;
    if (!read_committed_directory(archive, old_image, data_end))
        return CommitStatus::write_failed;
    ArchiveReader reader;
    if (!reader.open(old_image.data(), old_image.size(), data_end))
        return CommitStatus::damaged;
    result.same_directory = old_image == known_image;
    size_t record_at = known_record_at;
    if (!result.same_directory && !locate_record(old_image, data_end, path, record_at))
        return CommitStatus::no_record;

    std::vector<uint8_t> image = old_image;
    uint8_t* record = image.data() + directory_block_at + record_at;
    Appended data{data_end, 0, 0};
    const CommitStatus status = append_content(archive, content, !is_stored(record), data);
    if (status != CommitStatus::committed) {
        archive.truncate(data_end);  // nothing of it stays
        return status;
    }
    set_data_offset(record, uint32_t(data.at));
    set_stored_size(record, uint32_t(data.size));
    set_expanded_size(record, uint32_t(content.size));
    set_record_checksum(record, data.checksum);
    set_directory_crc(image.data(), Crc32().compute(image.data() + directory_block_at, image.size() - header_size));
    if (!commit_directory(archive, image, old_image, data_end))
        return CommitStatus::write_failed;
    result.image = std::move(image);
    result.record_at = record_at;
    if (!archive.size(result.data_end) || !archive.stamp(result.stamp))
        result.stamp = platform::FileStamp();
    return CommitStatus::committed;
}

}  // namespace tavmerk
