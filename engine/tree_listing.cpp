#include "engine/tree_listing.h"

#include "archive/path_rules.h"

namespace tavmerk {

namespace {

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
}

std::string lowered(std::string text)
{
    for (char& c : text)
        c = lower(c);
    return text;
}

bool has_wildcard(const std::string& query)
{
    return query.find_first_of("*?") != std::string::npos;
}

}  // namespace

// The usual greedy match: a "*" first matches nothing, and a mismatch later
// lets the last "*" take one byte more. Linear in most cases, never more
// than pattern x text steps.
bool search_match(const std::string& pattern, const std::string& text)
{
    size_t p = 0, t = 0;
    size_t star = std::string::npos, star_text = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_text = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || lower(pattern[p]) == lower(text[t]))) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++star_text;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

TreeListing::Folder& TreeListing::folder_at(const std::string& path)
{
    const auto found = folders_.find(path);
    if (found != folders_.end())
        return found->second;
    Folder folder;
    if (!path.empty()) {
        folder.parent = parent_of(path);
        Folder& parent = folder_at(folder.parent);
        folder.row = parent.items.size();
        parent.items.push_back(Item{last_level(path), none, true});
        folder.searchable = searchable_.size();
        searchable_.push_back(Searchable{lowered(path), path, none, true});
        ++totals_.folders;
    }
    return folders_.emplace(path, std::move(folder)).first->second;
}

bool TreeListing::build(const ArchiveReader& reader)
{
    const bool whole = list_entries(reader, entries_);
    paths_.assign(entries_.size(), std::string());
    folders_.reserve(entries_.size() / 2 + 1);
    searchable_.reserve(entries_.size());
    folder_at("");
    for (size_t i = 0; i < entries_.size(); ++i) {
        const ArchiveEntry& e = entries_[i];
        if (e.unsafe) {
            ++totals_.unsafe;
            continue;
        }
        std::string path = !e.path.empty() && e.path[0] == '/' ? e.path.substr(1) : e.path;
        if (path.empty())
            continue;  // a top-level folder with no name: its entries stand at the top
        if (e.folder) {
            Folder& folder = folder_at(path);
            Item& row = folders_[folder.parent].items[folder.row];
            if (row.entry == none) {
                row.entry = uint32_t(i);
                searchable_[folder.searchable].entry = uint32_t(i);
            }
        } else {
            Folder& parent = folder_at(parent_of(path));
            parent.items.push_back(Item{last_level(path), uint32_t(i), false});
            searchable_.push_back(Searchable{lowered(path), path, uint32_t(i), false});
            ++totals_.files;
            if (e.live()) {
                ++totals_.live;
                totals_.expanded += e.expanded_size;
                totals_.stored += e.stored_size;
            } else {
                ++totals_.deleted;
            }
        }
        paths_[i] = std::move(path);
    }
    return whole;
}

const std::vector<TreeListing::Item>* TreeListing::children(const std::string& folder) const
{
    const auto found = folders_.find(folder);
    return found == folders_.end() ? nullptr : &found->second.items;
}

uint32_t TreeListing::shown_file(const std::string& path) const
{
    const std::vector<Item>* items = children(parent_of(path));
    if (!items)
        return none;
    const std::string name = last_level(path);
    for (const Item& item : *items)
        if (!item.folder && item.name == name && entries_[item.entry].shown)
            return item.entry;
    return none;
}

std::vector<uint32_t> TreeListing::below(const std::string& folder) const
{
    std::vector<uint32_t> out;
    const std::string prefix = folder.empty() ? std::string() : folder + "/";
    for (size_t i = 0; i < entries_.size(); ++i) {
        const std::string& path = paths_[i];
        if (path.empty() || (!folder.empty() && path != folder && path.compare(0, prefix.size(), prefix) != 0))
            continue;
        const ArchiveEntry& e = entries_[i];
        if (e.folder || e.shown)
            out.push_back(uint32_t(i));
    }
    return out;
}

bool TreeListing::search(const std::string& query, size_t cap, std::vector<Found>& found) const
{
    const bool pattern = has_wildcard(query);
    const std::string needle = lowered(query);
    for (const Searchable& s : searchable_) {
        const bool match = pattern ? search_match(needle, s.lowered) : s.lowered.find(needle) != std::string::npos;
        if (!match)
            continue;
        if (found.size() == cap)
            return true;
        found.push_back(Found{s.path, s.entry, s.folder});
    }
    return false;
}

}  // namespace tavmerk
