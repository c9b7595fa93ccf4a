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

    // Makes the folders of `path` (levels joined by "/") that are missing,
    // for a folder entry with no file below it; stops at a file standing
    // on the way.
    void add_folders(const std::string& path);

    // The node at `path` (levels joined by "/", no leading "/"; "" is the
    // root), or `none`.
    uint32_t find(const std::string& path) const;
    // The child `name` of the folder `parent`, or `none`.
    uint32_t child(uint32_t parent, const std::string& name) const;
    const Node& node(uint32_t index) const { return nodes_[index]; }
    size_t size() const { return nodes_.size(); }

private:
    uint32_t add(uint32_t parent, std::string name, bool folder);
    void add_record(const FileEntry& entry);
    static std::string key(uint32_t parent, const char* name, size_t length);

    std::vector<Node> nodes_;
    std::unordered_map<std::string, uint32_t> children_;  // by parent and name

    // The folders of the previous record's path, level by level: records
    // of one folder, and of folders side by side, share most of them.
    std::string last_path_;
    std::vector<std::pair<size_t, uint32_t>> last_levels_;  // end of the level in last_path_, its folder
};

}  // namespace tavmerk
