// The folder tree an expansion would write, held in memory: what a mount
// shows, and how a save finds the record behind a path. It follows "/E"
// record by record, in directory order: deleted records, records with a
// ".." level and records whose data lies outside the file are left out;
// each other record makes the folders on its path (empty and "." levels
// name the folder they stand in), then its file, unless something already
// stands there. So the first record at a path wins, a file standing where
// a later record needs a folder keeps that record out (and a folder
// standing at a later file's path keeps the file out), and a name that
// names no file (empty, ".") still leaves its folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/reader.h"

namespace tavmerk {

class ExpandedTree {
public:
    static constexpr uint32_t none = UINT32_MAX;

    struct Node {
        std::string name;
        uint32_t parent = none;
        bool folder = true;
        std::vector<uint32_t> children;  // folders: in the order they were made
        // Files: the record, as the directory gave it.
        size_t record_at = 0;  // offset of its FileRecord in the block
        RecordKind kind = RecordKind::stored;
        uint32_t stored_size = 0;
        uint32_t expanded_size = 0;
        uint32_t data_offset = 0;
    };

    ExpandedTree();

    // Builds the tree of `reader`'s records; false when the walk stops at
    // a bad folder id (as "/E" does: the tree holds what came before).
    bool build(const ArchiveReader& reader);

    // The node at `path` (levels joined by "/", no leading "/"; "" is the
    // root), or `none`.
    uint32_t find(const std::string& path) const;
    const Node& node(uint32_t index) const { return nodes_[index]; }
    Node& node(uint32_t index) { return nodes_[index]; }
    size_t size() const { return nodes_.size(); }
    // The path of a node, as find() takes it.
    std::string path_of(uint32_t index) const;

private:
    uint32_t add(uint32_t parent, const std::string& path, std::string name, bool folder);
    void add_record(const FileEntry& entry);

    std::vector<Node> nodes_;
    std::unordered_map<std::string, uint32_t> by_path_;
};

}  // namespace tavmerk
