#include "archive_builder.h"

#include "tree_files.h"

#include <zlib.h>

#include <stdexcept>

namespace test {

namespace {

void append_be32(Bytes& out, uint32_t value)
{
    out.push_back(uint8_t(value >> 24));
    out.push_back(uint8_t(value >> 16));
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

struct Pending {
    size_t record_at;
    std::string stored;
    const Node* node;
};

void emit(const Node& node, Bytes& dir, std::vector<Pending>& data, const std::string& parent, bool top,
          std::map<std::string, size_t>& record_at)
{
    const std::string path = parent.empty() ? node.name : parent + "/" + node.name;
    append_be32(dir, node.entry_key);
    dir.push_back(node.kind.value_or(node.is_folder ? 0 : 1));
    append_be32(dir, node.id_or_tag);
    if (node.is_folder) {
        append_be32(dir, node.child_count.value_or(uint32_t(node.children.size())));
        append_be32(dir, node.name_length.value_or(uint32_t(node.name.size())));
        dir.insert(dir.end(), node.name.begin(), node.name.end());
        for (const Node& child : node.children)
            emit(child, dir, data, top && node.name.empty() ? "" : path, false, record_at);
        return;
    }
    const std::string stored =
        node.stored_bytes ? *node.stored_bytes : node.compress ? zlib_compress(node.contents) : node.contents;
    const size_t at = dir.size();
    record_at[path] = at;
    append_be32(dir, node.stored_size.value_or(uint32_t(stored.size())));
    append_be32(dir, node.expanded_size.value_or(uint32_t(node.contents.size())));
    append_be32(dir, node.checksum.value_or(reference_additive(stored)));
    append_be32(dir, 0);  // data_offset, set once the directory's size is known
    append_be32(dir, node.name_length.value_or(uint32_t(node.name.size())));
    dir.insert(dir.end(), node.name.begin(), node.name.end());
    data.push_back(Pending{at, node.deleted ? std::string() : stored, &node});
}

}  // namespace

ArchiveBuilder::ArchiveBuilder() = default;

std::vector<Node>& ArchiveBuilder::current()
{
    return open_.empty() ? roots_ : open_.back()->children;
}

ArchiveBuilder& ArchiveBuilder::folder(const std::string& name)
{
    Node node;
    node.is_folder = true;
    node.name = name;
    current().push_back(node);
    last_ = &current().back();
    open_.push_back(last_);
    return *this;
}

ArchiveBuilder& ArchiveBuilder::end()
{
    if (open_.empty())
        throw std::logic_error("end() without folder()");
    last_ = open_.back();
    open_.pop_back();
    return *this;
}

ArchiveBuilder& ArchiveBuilder::stored(const std::string& name, const std::string& contents)
{
    Node node;
    node.name = name;
    node.contents = contents;
    current().push_back(node);
    last_ = &current().back();
    return *this;
}

ArchiveBuilder& ArchiveBuilder::compressed(const std::string& name, const std::string& contents)
{
    stored(name, contents);
    last_->compress = true;
    return *this;
}

ArchiveBuilder& ArchiveBuilder::deleted(const std::string& name)
{
    stored(name, "");
    last_->deleted = true;
    return *this;
}

Node& ArchiveBuilder::last()
{
    if (!last_)
        throw std::logic_error("no node yet");
    return *last_;
}

Built ArchiveBuilder::build() const
{
    Bytes dir;
    std::vector<Pending> data;
    Built built;
    std::map<std::string, size_t> record_at;
    for (const Node& root : roots_)
        emit(root, dir, data, "", true, record_at);

    const std::string& f = header_filler;
    Bytes& out = built.bytes;
    out.insert(out.end(), f.begin(), f.begin() + 16);
    append_be32(out, root_folder_count.value_or(uint32_t(roots_.size())));
    out.insert(out.end(), f.begin() + 16, f.begin() + 24);
    append_be32(out, directory_size.value_or(uint32_t(dir.size())));
    out.insert(out.end(), f.begin() + 24, f.begin() + 28);
    append_be32(out, 0);  // directory_crc, once the offsets are in
    const size_t dir_at = out.size();
    out.insert(out.end(), dir.begin(), dir.end());
    if (room) {
        const size_t marker_at = out.size();
        const std::string magic = "TAVMERK-DIR-ROOM";
        out.insert(out.end(), magic.begin(), magic.end());
        append_be32(out, uint32_t(marker_at + *room));
        append_be32(out, uint32_t(dir.size()));
        append_be32(out, reference_crc32(out.data() + marker_at, 24));
        out.resize(marker_at + *room, 0);
    }

    for (const Pending& p : data) {
        const size_t record = dir_at + p.record_at;
        uint32_t offset = 0;
        if (!p.node->deleted) {
            offset = uint32_t(out.size());
            out.insert(out.end(), p.stored.begin(), p.stored.end());
        }
        put_be32(out, record + 12, p.node->data_offset.value_or(offset));
    }
    put_be32(out, 36, reference_crc32(out.data() + dir_at, dir.size()));
    for (const auto& [path, at] : record_at)
        built.record_at[path] = dir_at + at;
    return built;
}

std::string zlib_compress(const std::string& data, int level)
{
    uLongf length = compressBound(uLong(data.size()));
    std::string out(length, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &length, reinterpret_cast<const Bytef*>(data.data()),
                  uLong(data.size()), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(length);
    return out;
}

uint32_t get_be32(const Bytes& bytes, size_t at)
{
    return uint32_t(bytes.at(at)) << 24 | uint32_t(bytes.at(at + 1)) << 16 | uint32_t(bytes.at(at + 2)) << 8 |
           uint32_t(bytes.at(at + 3));
}

void put_be32(Bytes& bytes, size_t at, uint32_t value)
{
    bytes.at(at) = uint8_t(value >> 24);
    bytes.at(at + 1) = uint8_t(value >> 16);
    bytes.at(at + 2) = uint8_t(value >> 8);
    bytes.at(at + 3) = uint8_t(value);
}

std::string sample_data(size_t size, uint32_t seed, bool text)
{
    static const char* const words[] = {"alpha ", "beta ", "gamma ", "delta\n", "pack ", "file ", "tree ", "data "};
    std::string out;
    out.reserve(size);
    uint32_t state = seed * 2654435761u + 1;
    while (out.size() < size) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        if (text)
            out += words[state % 8];
        else
            out.push_back(char(state & 0xFF));
    }
    out.resize(size);
    return out;
}

std::string large_data(size_t size, uint32_t seed)
{
    std::string out;
    for (uint32_t block = 0; out.size() < size; ++block)
        out += sample_data(block % 2 ? 8192 : 57344, seed + block, block % 2 != 0);
    out.resize(size);
    return out;
}

uint32_t reference_additive(const std::string& data)
{
    return reference_additive(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

}  // namespace test
