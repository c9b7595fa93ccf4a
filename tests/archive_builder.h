// Builds pack archives byte by byte for the tests: folders, stored and
// compressed files, deleted records, and raw overrides of any field so that
// damaged archives can be written too.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tree_files.h"  // the reference checksums

namespace test {

using Bytes = std::vector<uint8_t>;

struct Node {
    bool is_folder = false;
    std::string name;
    uint32_t entry_key = 0;
    std::optional<uint8_t> kind;        // default: 0 for folders, 1 for files
    uint32_t id_or_tag = 0;             // folder_id / file_tag
    std::vector<Node> children;

    std::string contents;               // a file's expanded bytes
    bool compress = false;
    bool deleted = false;

    // Raw overrides of what the builder would write.
    std::optional<uint32_t> child_count, name_length, stored_size, expanded_size, data_offset, checksum;
    std::optional<std::string> stored_bytes;  // the bytes placed in the data region
};

struct Built {
    Bytes bytes;
    // Offset in `bytes` of each file's FileRecord, by its path below the
    // root with "/" between levels (deleted records included).
    std::map<std::string, size_t> record_at;
};

class ArchiveBuilder {
public:
    ArchiveBuilder();

    // Opens a folder inside the current one (or a top-level folder).
    ArchiveBuilder& folder(const std::string& name);
    // Closes the current folder.
    ArchiveBuilder& end();
    ArchiveBuilder& stored(const std::string& name, const std::string& contents);
    ArchiveBuilder& compressed(const std::string& name, const std::string& contents);
    ArchiveBuilder& deleted(const std::string& name);
    // The file added or the folder closed last, to set overrides on.
    Node& last();

    std::optional<uint32_t> root_folder_count, directory_size;
    // Bytes 0..15, 20..27, 32..35 of the header (not interpreted).
    std::string header_filler = std::string("PACK-HEADER-0001") + "FILL-20-" + "F-32";
    // Set: that many bytes of room after the directory, a room marker first
    // (as the tool leaves when it writes an archive anew).
    std::optional<uint32_t> room;

    Built build() const;

private:
    std::vector<Node>& current();
    std::vector<Node> roots_;
    std::vector<Node*> open_;
    Node* last_ = nullptr;
};

// zlib's stream of `data` at `level`.
std::string zlib_compress(const std::string& data, int level = 9);
// The reference additive checksum (tree_files.h) of a string's bytes.
uint32_t reference_additive(const std::string& data);

uint32_t get_be32(const Bytes& bytes, size_t at);
void put_be32(Bytes& bytes, size_t at, uint32_t value);

// Deterministic pseudo-random bytes; `text` makes them compressible.
std::string sample_data(size_t size, uint32_t seed, bool text);
// Bytes that compress somewhat but quickly at level 9 (mostly noise, a
// run of text every 64 KiB), for sources of several MiB.
std::string large_data(size_t size, uint32_t seed);

}  // namespace test
