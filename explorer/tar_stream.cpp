#include "explorer/tar_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "archive/path_rules.h"
#include "engine/zstream.h"
#include "explorer/record_bytes.h"

namespace tavmerk::explorer {

namespace {

// `value` in octal, right-aligned in `width` - 1 digits and a NUL.
void put_octal(uint8_t* field, size_t width, uint64_t value)
{
    std::memset(field, '0', width - 1);
    field[width - 1] = 0;
    for (size_t i = width - 1; i-- > 0 && value;) {
        field[i] = uint8_t('0' + (value & 7));
        value >>= 3;
    }
}

void put_text(uint8_t* field, size_t width, const std::string& text)
{
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

// One ustar block; `name` has been split to fit by the caller.
std::vector<uint8_t> ustar_block(const std::string& prefix, const std::string& name, uint64_t size, char type)
{
    std::vector<uint8_t> block(tar_block, 0);
    put_text(&block[0], 100, name);
    put_octal(&block[100], 8, type == '5' ? 0755 : 0644);
    put_octal(&block[108], 8, 0);
    put_octal(&block[116], 8, 0);
    put_octal(&block[124], 12, size);
    put_octal(&block[136], 12, 0);
    block[156] = uint8_t(type);
    std::memcpy(&block[257], "ustar\0" "00", 8);
    put_text(&block[345], 155, prefix);
    // The checksum is summed with its own field as eight spaces.
    std::memset(&block[148], ' ', 8);
    unsigned sum = 0;
    for (uint8_t b : block)
        sum += b;
    put_octal(&block[148], 7, sum);
    block[155] = ' ';
    return block;
}

// Splits `name` into ustar's prefix (155 bytes) and name (100) at a "/";
// false when it cannot be.
bool split_ustar(const std::string& name, std::string& prefix, std::string& rest)
{
    if (name.size() <= 100) {
        prefix.clear();
        rest = name;
        return true;
    }
    for (size_t at = name.find('/'); at != std::string::npos; at = name.find('/', at + 1)) {
        if (at <= 155 && name.size() - at - 1 <= 100 && at + 1 < name.size()) {
            prefix = name.substr(0, at);
            rest = name.substr(at + 1);
            return true;
        }
    }
    return false;
}

// A pax record "LEN path=NAME\n", LEN counting itself.
std::string pax_path_record(const std::string& name)
{
    const std::string body = " path=" + name + "\n";
    size_t length = body.size() + 1;
    while (std::to_string(length).size() + body.size() != length)
        ++length;
    return std::to_string(length) + body;
}

std::vector<uint8_t> zeros_to_block(uint64_t size)
{
    return std::vector<uint8_t>(size_t((tar_block - size % tar_block) % tar_block), 0);
}

}  // namespace

std::vector<uint8_t> tar_header(const std::string& name, uint64_t size, bool folder)
{
    const char type = folder ? '5' : '0';
    std::string prefix, rest;
    if (split_ustar(name, prefix, rest))
        return ustar_block(prefix, rest, size, type);
    const std::string record = pax_path_record(name);
    std::vector<uint8_t> out = ustar_block("", "PaxHeader", record.size(), 'x');
    out.insert(out.end(), record.begin(), record.end());
    const std::vector<uint8_t> pad = zeros_to_block(record.size());
    out.insert(out.end(), pad.begin(), pad.end());
    // The name cut to fit, for readers that know no pax headers.
    const std::vector<uint8_t> block = ustar_block("", name.substr(0, 100), size, type);
    out.insert(out.end(), block.begin(), block.end());
    return out;
}

bool write_tar(const Version& version, const std::string& folder, const TarSink& sink, uint64_t& unreadable)
{
    const TreeListing& tree = version.tree();
    // Members are named from the folder's own name down.
    const size_t strip = folder.empty() ? 0 : folder.size() - last_level(folder).size();
    std::vector<uint8_t> piece;
    for (const uint32_t i : tree.below(folder)) {
        const ArchiveEntry& e = tree.entries()[i];
        const std::string name = tree.path_of(i).substr(strip) + (e.folder ? "/" : "");
        if (e.folder) {
            const std::vector<uint8_t> header = tar_header(name, 0, true);
            if (!sink(header.data(), header.size()))
                return false;
            continue;
        }
        RecordBytes bytes(version.file, e, version.data_end);
        const uint64_t size = bytes.inside() ? bytes.size() : 0;
        const std::vector<uint8_t> header = tar_header(name, size, false);
        if (!sink(header.data(), header.size()))
            return false;
        bool failed = !bytes.inside();
        for (uint64_t at = 0; at < size;) {
            const size_t n = size_t(std::min<uint64_t>(stream_piece, size - at));
            piece.resize(n);
            if (failed || !bytes.read(at, piece.data(), n)) {
                failed = true;
                std::fill(piece.begin(), piece.end(), 0);
            }
            if (!sink(piece.data(), n))
                return false;
            at += n;
        }
        unreadable += failed ? 1 : 0;
        const std::vector<uint8_t> pad = zeros_to_block(size);
        if (!pad.empty() && !sink(pad.data(), pad.size()))
            return false;
    }
    const std::vector<uint8_t> end(2 * tar_block, 0);
    return sink(end.data(), end.size());
}

}  // namespace tavmerk::explorer
