// A directory held as a tree of entries that can be changed and written
// out again: what the change set (engine/change_set.h) edits. Read from a
// directory image, it writes the very same bytes back while nothing
// changed, counts with the top bit set and bytes past the last top-level
// folder included. Each entry is also found by its path as "/E" writes it
// (levels split at separators, names cut at their first NUL, empty and "."
// levels naming the folder they stand in; entries with a ".." level have
// no path).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavmerk {

class DirectoryTree {
public:
    static constexpr uint32_t none = UINT32_MAX;

    struct Node {
        bool folder = true;
        uint32_t entry_key = 0;
        uint8_t entry_kind = 0;
        uint32_t tag = 0;  // folder_id of a folder, file_tag of a file
        std::string name;  // all name_length bytes
        uint32_t parent = none;  // none: a top-level folder
        // Folders.
        std::vector<uint32_t> children;  // taken-out ones included
        uint32_t stored_child_count = 0;  // as read; written again while the children are as read
        bool children_as_read = true;
        // Files.
        uint32_t stored_size = 0;
        uint32_t expanded_size = 0;
        uint32_t checksum = 0;
        uint32_t data_offset = 0;

        bool taken_out = false;
        bool made = false;       // made by a change, not read
        bool pending = false;    // new data is to come: a live file already
        size_t place = SIZE_MAX; // index in directory order as read
        uint32_t level = none;   // the level of its path as "/E" writes it; none: it has no path

        bool has_path() const { return level != none; }

        bool live_file() const { return !folder && (data_offset != 0 || pending); }
    };

    // Reads the header and directory block at `image` (`size` bytes, the
    // block whole inside). False when a walk over it would not complete
    // (runs out of its block, or meets a bad folder id).
    bool read(const uint8_t* image, size_t size);

    // The header and directory block as they stand now, the CRC set.
    std::vector<uint8_t> image() const;

    Node& node(uint32_t index) { return nodes_[index]; }
    const Node& node(uint32_t index) const { return nodes_[index]; }
    size_t size() const { return nodes_.size(); }

    // The entry's path as "/E" writes it (levels joined by "/"), or its
    // name where it has none.
    std::string path(uint32_t index) const;

    // Entries still in the tree, in directory order.
    std::vector<uint32_t> in_order() const;

    // The live file "/E" writes at `path`: the first in directory order.
    uint32_t file_at(const std::string& path) const;
    // The first folder entry whose path is `path` ("" names no entry).
    uint32_t folder_at(const std::string& path) const;
    // Folder entries whose path is `path`, in the order they came.
    std::vector<uint32_t> folders_at(const std::string& path) const;
    // True when something at `path` is a folder: a folder entry, or an
    // entry below it whose name makes that level.
    bool folder_stands_at(const std::string& path) const;
    // The entry at `place` in directory order as read, or none.
    uint32_t at_place(size_t place) const;

    // What stands at each level of `path` in turn, shallowest first: the
    // first folder entry and the live file at the path up to that level,
    // none where there is none. One walk along the path, whatever its depth.
    struct PathLevel {
        uint32_t folder = none;
        uint32_t file = none;
    };
    std::vector<PathLevel> along(const std::string& path) const;

    // True when nothing live lies below the folder: no live file and no
    // folder entry.
    bool empty_folder(uint32_t folder) const;
    // Every entry below `folder`, in directory order.
    std::vector<uint32_t> below(uint32_t folder) const;

    // Changes. Paths of new entries are the caller's to check.
    uint32_t make_folder(uint32_t parent, const std::string& name);
    uint32_t make_file(uint32_t parent, const std::string& name);
    void take_out(uint32_t index);
    void mark_deleted(uint32_t index);
    // Gives the entry a new name and, where `parent` differs, moves it to
    // the end of that folder's children (none: the top level).
    void move(uint32_t index, uint32_t parent, const std::string& name);
    // Whether new data is to come for the file (it counts as live).
    void set_pending(uint32_t index, bool pending);

    // The entry_kind most of the folder's file entries have (deleted ones
    // counted), 1 where there are none.
    uint8_t usual_file_kind(uint32_t folder) const;

private:
    // Puts a new entry at the end of its folder's children.
    uint32_t make(Node node);
    // The entries below the list `start` (and those in it), in directory order.
    std::vector<uint32_t> in_order_from(const std::vector<uint32_t>& start) const;
    void index(uint32_t index);
    void unindex(uint32_t index);
    void index_subtree(uint32_t index, bool add);
    void compose_path(uint32_t index);
    // The folder's (none: the top level's) count is written anew.
    void children_changed(uint32_t parent);
    std::vector<uint32_t>& siblings(uint32_t parent);
    const std::vector<uint32_t>& siblings(uint32_t parent) const;
    void note_implicit(uint32_t index, int delta);
    // The level `path` names, or none.
    uint32_t level_at(const std::string& path) const;
    uint32_t child_level(uint32_t parent, const char* name, size_t length);
    uint32_t start_level(uint32_t index) const;

    std::vector<uint8_t> header_;
    std::vector<uint8_t> tail_;  // block bytes past the last top-level folder
    uint32_t stored_root_count_ = 0;
    bool roots_as_read_ = true;
    std::vector<Node> nodes_;
    std::vector<uint32_t> roots_;
    std::vector<uint32_t> by_place_;
    // The paths entries have, as a tree of levels: each level's name, the
    // level above it, the entries at it (in the order they came), and the
    // entries below it that only a name with separators reaches through it
    // (a folder no entry stands for). Level 0 is the root. So no entry
    // holds its whole path, whatever the depth.
    struct Level {
        uint32_t parent = none;
        std::string name;
        std::vector<uint32_t> entries;
        uint32_t implicit = 0;
    };
    std::vector<Level> levels_ = std::vector<Level>(1);
    std::unordered_map<std::string, uint32_t> level_children_;  // by parent level and name
    std::unordered_map<uint32_t, uint8_t> usual_kind_;               // by folder, for the files made in it
};

}  // namespace tavmerk
