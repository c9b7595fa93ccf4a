#include "archive/history.h"

#include <cstring>

#include "archive/layout.h"
#include "checksum/checksum.h"

namespace tavmerk {

namespace {

const char anchor_magic[16 + 1] = "TAVMERK-VERSIONS";
const char block_magic[16 + 1] = "TAVMERK-VERSION1";

void write_be64(uint8_t* p, uint64_t v)
{
    write_be32(p, uint32_t(v >> 32));
    write_be32(p + 4, uint32_t(v));
}

uint64_t read_be64(const uint8_t* p) { return uint64_t(read_be32(p)) << 32 | read_be32(p + 4); }

void write_ref(uint8_t* p, const BlockRef& ref)
{
    write_be32(p, ref.offset);
    write_be32(p + 4, ref.size);
    write_be32(p + 8, ref.crc);
}

BlockRef read_ref(const uint8_t* p) { return BlockRef{read_be32(p), read_be32(p + 4), read_be32(p + 8)}; }

}  // namespace

void make_history_anchor(const HistoryAnchor& anchor, uint8_t* out)
{
    std::memcpy(out, anchor_magic, 16);
    write_be32(out + 16, anchor.for_image_size);
    write_be32(out + 20, anchor.for_image_crc);
    write_ref(out + 24, anchor.newest);
    write_be32(out + 36, anchor.version);
    write_be32(out + 40, Crc32().compute(out, 40));
}

bool read_history_anchor(const uint8_t* bytes, HistoryAnchor& anchor)
{
    if (std::memcmp(bytes, anchor_magic, 16) != 0 || read_be32(bytes + 40) != Crc32().compute(bytes, 40))
        return false;
    anchor.for_image_size = read_be32(bytes + 16);
    anchor.for_image_crc = read_be32(bytes + 20);
    anchor.newest = read_ref(bytes + 24);
    anchor.version = read_be32(bytes + 36);
    return true;
}

std::string make_version_block_head(const VersionBlock& block)
{
    std::string head(version_block_fixed_size + block.summary.size(), '\0');
    uint8_t* p = reinterpret_cast<uint8_t*>(&head[0]);
    std::memcpy(p, block_magic, 16);
    write_be32(p + 16, block.version);
    write_be64(p + 20, block.time);
    write_be64(p + 28, block.previous_time);
    write_be32(p + 36, block.files);
    write_be32(p + 40, block.previous_files);
    write_be32(p + 44, block.added);
    write_be32(p + 48, block.changed);
    write_be32(p + 52, block.removed);
    write_ref(p + 56, block.previous);
    write_be32(p + 68, block.flags);
    write_be32(p + 72, block.image_stored);
    write_be32(p + 76, block.image_size);
    write_be32(p + 80, block.image_crc);
    write_be32(p + 84, uint32_t(block.summary.size()));
    std::memcpy(p + version_block_fixed_size, block.summary.data(), block.summary.size());
    return head;
}

bool read_version_block(const uint8_t* bytes, size_t size, VersionBlock& block)
{
    if (size < version_block_fixed_size || std::memcmp(bytes, block_magic, 16) != 0)
        return false;
    block.version = read_be32(bytes + 16);
    block.time = read_be64(bytes + 20);
    block.previous_time = read_be64(bytes + 28);
    block.files = read_be32(bytes + 36);
    block.previous_files = read_be32(bytes + 40);
    block.added = read_be32(bytes + 44);
    block.changed = read_be32(bytes + 48);
    block.removed = read_be32(bytes + 52);
    block.previous = read_ref(bytes + 56);
    block.flags = read_be32(bytes + 68);
    block.image_stored = read_be32(bytes + 72);
    block.image_size = read_be32(bytes + 76);
    block.image_crc = read_be32(bytes + 80);
    const uint32_t summary_size = read_be32(bytes + 84);
    if (summary_size > summary_limit || block.version == 0)
        return false;
    const uint64_t image_at = uint64_t(version_block_fixed_size) + summary_size;
    if (image_at + block.image_stored != size)
        return false;
    if (block.image_stored != 0 && block.image_size < header_size)
        return false;
    block.summary.assign(reinterpret_cast<const char*>(bytes) + version_block_fixed_size, summary_size);
    block.image_at = size_t(image_at);
    return true;
}

std::string summary_line(const std::string& text)
{
    std::string line = text.substr(0, summary_limit);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return line;
}

}  // namespace tavmerk
