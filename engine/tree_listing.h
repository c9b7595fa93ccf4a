// The entries of one directory arranged for browsing: each folder's
// children by its path, every path searchable, the files below a folder in
// directory order. Paths are those "/E" writes entries at
// (engine/archive_entries.h), without the leading "/" the listing gives
// entries below a top-level folder with no name (they are written at the
// top, so they are shown there). Entries with a ".." level have no path and
// are left out; a level that only a longer name makes (a name holding "/")
// is a folder with no entry of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/archive_entries.h"

namespace tavmerk {

// Whether `text` matches `pattern`, bytes compared without ASCII case:
// "*" any bytes ("/" too), "?" one byte, every other byte itself.
bool search_match(const std::string& pattern, const std::string& text);

class TreeListing {
public:
    static constexpr uint32_t none = UINT32_MAX;

    // One row of a folder: a file entry, or a folder (its first folder
    // entry, or none where no entry stands for it).
    struct Item {
        std::string name;
        uint32_t entry = none;
        bool folder = false;
    };

    struct Found {
        std::string path;
        uint32_t entry = none;
        bool folder = false;
    };

    struct Totals {
        uint64_t files = 0;     // file entries with a path, deleted ones included
        uint64_t live = 0;
        uint64_t deleted = 0;
        uint64_t folders = 0;   // folders shown, with or without an entry
        uint64_t unsafe = 0;    // entries left out for a ".." level
        uint64_t expanded = 0;  // of live files
        uint64_t stored = 0;
    };

    // False when the walk does not complete (the entries before stay).
    bool build(const ArchiveReader& reader);

    const std::vector<ArchiveEntry>& entries() const { return entries_; }
    // The path an entry is shown at ("" for one left out).
    const std::string& path_of(uint32_t entry) const { return paths_[entry]; }

    // The rows of the folder at `folder` ("" the top) in directory order,
    // or null where no folder stands there.
    const std::vector<Item>* children(const std::string& folder) const;

    // The live file "/E" writes at `path`, or none.
    uint32_t shown_file(const std::string& path) const;

    // The live files "/E" writes and the folder entries at or below
    // `folder` ("" everything), in directory order.
    std::vector<uint32_t> below(const std::string& folder) const;

    // Paths (files and folders) matching `query`: a pattern where it holds
    // "*" or "?", else a substring, either without ASCII case. At most
    // `cap`; true when more matched.
    bool search(const std::string& query, size_t cap, std::vector<Found>& found) const;

    const Totals& totals() const { return totals_; }

private:
    struct Folder {
        std::vector<Item> items;
        std::string parent;
        size_t row = SIZE_MAX;         // its row among the parent's items
        size_t searchable = SIZE_MAX;  // its place in searchable_
    };
    Folder& folder_at(const std::string& path);

    std::vector<ArchiveEntry> entries_;
    std::vector<std::string> paths_;
    std::unordered_map<std::string, Folder> folders_;
    // What search scans: every path once, lowered, with what it names.
    struct Searchable {
        std::string lowered;
        std::string path;
        uint32_t entry;
        bool folder;
    };
    std::vector<Searchable> searchable_;
    Totals totals_;
};

}  // namespace tavmerk
