#include "engine/archive_patch.h"

#include <nlohmann/json.hpp>
#include <zlib.h>

#include <algorithm>
#include <set>

#include "archive/path_rules.h"
#include "checksum/checksum.h"
#include "engine/inflate.h"

namespace tavmerk {

namespace {

using Json = nlohmann::ordered_json;

constexpr char format_name[] = "tavmerk-patch";
constexpr int format_version = 1;

Json record_json(const TreeItem& r)
{
    Json j;
    j["kind"] = r.stored() ? "stored" : "zlib";
    j["expanded_size"] = r.expanded_size;
    j["stored_size"] = r.stored_size;
    j["checksum"] = r.checksum;
    return j;
}

Json entry_json(const PatchEntry& e)
{
    Json j;
    j["path"] = to_valid_utf8(e.path);
    if (!is_valid_utf8(e.path))
        j["path_hex"] = hex_bytes(e.path);
    j["type"] = e.folder ? "folder" : "file";
    j["change"] = tree_change_word(e.change);
    j["base"] = !e.base_present ? Json("absent") : e.folder ? Json("folder") : record_json(e.base);
    if (!e.folder && e.change != TreeChangeKind::removed) {
        Json r = record_json(e.record);
        r["content_crc32"] = e.content_crc;
        j["patch"] = std::move(r);
    }
    return j;
}

bool crc_of_content(const ArchiveView& view, const TreeItem& file, uint32_t& crc)
{
    uLong sum = crc32(0, nullptr, 0);
    const bool read = read_expanded(view, file, [&](const uint8_t* data, size_t size) {
        sum = crc32(sum, data, uInt(size));
        return true;
    });
    crc = uint32_t(sum);
    return read;
}

// ---- Reading a manifest. Every field is checked for its type and range;
// a manifest that is not as written here refuses the patch.

struct ManifestError {
    std::string what;
};

const Json& field(const Json& object, const char* name)
{
    const auto at = object.find(name);
    if (at == object.end())
        throw ManifestError{std::string("no \"") + name + "\""};
    return *at;
}

std::string text_field(const Json& object, const char* name)
{
    const Json& v = field(object, name);
    if (!v.is_string())
        throw ManifestError{std::string("\"") + name + "\" is not a string"};
    return v.get<std::string>();
}

uint32_t number_field(const Json& object, const char* name)
{
    const Json& v = field(object, name);
    if (!v.is_number_unsigned() || v.get<uint64_t>() > UINT32_MAX)
        throw ManifestError{std::string("\"") + name + "\" is not a 32-bit count"};
    return uint32_t(v.get<uint64_t>());
}

std::string from_hex(const std::string& hex)
{
    const auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (hex.size() % 2 != 0)
        throw ManifestError{"bad \"path_hex\""};
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]), low = digit(hex[i + 1]);
        if (high < 0 || low < 0)
            throw ManifestError{"bad \"path_hex\""};
        out.push_back(char(high << 4 | low));
    }
    return out;
}

TreeItem parse_record(const Json& j)
{
    if (!j.is_object())
        throw ManifestError{"a record is not an object"};
    TreeItem r;
    r.expanded_size = number_field(j, "expanded_size");
    r.stored_size = number_field(j, "stored_size");
    r.checksum = number_field(j, "checksum");
    const std::string kind = text_field(j, "kind");
    if (kind != (r.stored() ? "stored" : "zlib"))
        throw ManifestError{"a record's kind is not what its sizes say"};
    return r;
}

PatchEntry parse_entry(const Json& j)
{
    if (!j.is_object())
        throw ManifestError{"an entry is not an object"};
    PatchEntry e;
    e.path = j.contains("path_hex") ? from_hex(text_field(j, "path_hex")) : text_field(j, "path");
    const std::string type = text_field(j, "type");
    if (type != "file" && type != "folder")
        throw ManifestError{"bad \"type\""};
    e.folder = type == "folder";
    const std::string change = text_field(j, "change");
    if (change == "added")
        e.change = TreeChangeKind::added;
    else if (change == "removed")
        e.change = TreeChangeKind::removed;
    else if (change == "changed" && !e.folder)
        e.change = TreeChangeKind::changed;
    else
        throw ManifestError{"bad \"change\""};
    const Json& base = field(j, "base");
    e.base_present = e.change != TreeChangeKind::added;
    if (!e.base_present || e.folder) {
        if (base != Json(e.base_present ? "folder" : "absent"))
            throw ManifestError{"bad \"base\""};
    } else {
        e.base = parse_record(base);
    }
    e.base.path = e.path;
    e.base.folder = e.folder;
    if (!e.folder && e.change != TreeChangeKind::removed) {
        const Json& patch = field(j, "patch");
        e.record = parse_record(patch);
        e.content_crc = number_field(patch, "content_crc32");
    } else if (j.contains("patch")) {
        throw ManifestError{"\"patch\" where no record is"};
    }
    e.record.path = e.path;
    return e;
}

// The manifest file's bytes, inflated; false where it cannot be.
bool manifest_text(const ArchiveView& patch, const TreeItem& file, std::string& text)
{
    if (file.stored_size > largest_manifest || file.expanded_size > largest_manifest)
        return false;
    std::vector<uint8_t> stored(file.stored_size);
    if (!patch.read_at(file.data_offset, stored.data(), stored.size()) ||
        additive_checksum(stored.data(), stored.size()) != file.checksum)
        return false;
    if (file.stored()) {
        text.assign(stored.begin(), stored.end());
        return true;
    }
    text.resize(inflate_room(file.stored_size, file.expanded_size));
    size_t length = 0;
    if (inflate_stream(stored.data(), stored.size(), reinterpret_cast<uint8_t*>(&text[0]), text.size(), length) !=
            Z_OK ||
        length != file.expanded_size)
        return false;
    text.resize(length);
    return true;
}

bool in_manifest_folder(const std::string& path)
{
    const std::string folder = patch_manifest_folder;
    return path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

// Entries are told apart by path and type.
std::string key_of(const std::string& path, bool folder)
{
    return folder ? path + "/" : path;
}

PatchRead problem(PatchProblem p, const std::string& path, const std::string& detail = std::string())
{
    PatchRead r;
    r.problem = p;
    r.path = path;
    r.detail = detail;
    return r;
}

// Each entry's path checked, and each added or changed file matched with
// the patch's record at its path.
PatchRead match_records(const ArchiveView& view, const ArchiveTree& patch, std::vector<PatchEntry> entries)
{
    std::set<std::string> seen, carried;
    for (PatchEntry& e : entries) {
        if (!writable_new_name(e.path, !e.folder) || in_manifest_folder(e.path))
            return problem(PatchProblem::refused_name, e.path);
        if (!seen.insert(key_of(e.path, e.folder)).second)
            return problem(PatchProblem::duplicate, e.path);
        if (e.folder || e.change == TreeChangeKind::removed)
            continue;
        carried.insert(e.path);
        const TreeItem* record = patch.file_at(e.path);
        if (!record)
            return problem(PatchProblem::record_missing, e.path);
        if (!record->same_record(e.record)) {
            // Made anew (an expansion and a repack), or not the same file.
            uint32_t crc = 0;
            if (record->expanded_size != e.record.expanded_size || !crc_of_content(view, *record, crc) ||
                crc != e.content_crc)
                return problem(PatchProblem::record_unlike, e.path);
        }
        e.record = *record;
    }
    for (const TreeItem& f : patch.files())
        if (f.path != patch_manifest_path && !carried.count(f.path))
            return problem(PatchProblem::unlisted_record, f.path);
    PatchRead read;
    read.entries = std::move(entries);
    return read;
}

// The entries' removals, by key_of.
std::set<std::string> removals(const std::vector<PatchEntry>& entries)
{
    std::set<std::string> out;
    for (const PatchEntry& e : entries)
        if (e.change == TreeChangeKind::removed)
            out.insert(key_of(e.path, e.folder));
    return out;
}

bool base_holds(const PatchEntry& e, const ArchiveTree& target)
{
    const TreeItem* file = target.file_at(e.path);
    if (e.folder)
        return e.base_present ? target.empty_folder_at(e.path) && !file : !target.folder_at(e.path) && !file;
    if (e.base_present)
        return file && file->same_record(e.base);
    return !file;
}

// What stands in the way of a file added: a file on a level above it, or
// below a folder at its path anything the patch does not remove.
bool in_the_way(const PatchEntry& e, const std::set<std::string>& removed, const ArchiveTree& target)
{
    for (size_t at = e.path.find('/'); at != std::string::npos; at = e.path.find('/', at + 1)) {
        const std::string above = e.path.substr(0, at);
        if (target.file_at(above) && !removed.count(key_of(above, false)))
            return true;
    }
    for (const TreeItem& item : target.below(e.path))
        if (!removed.count(key_of(item.path, item.folder)))
            return true;
    return false;
}

// True when a level above `path` is a file the changes put.
bool below_a_put(const std::string& path, const std::set<std::string>& puts)
{
    for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
        if (puts.count(path.substr(0, at)))
            return true;
    return false;
}

}  // namespace

bool holds_manifest_folder(const ArchiveTree& tree)
{
    return tree.folder_at(patch_manifest_folder) || tree.file_at(patch_manifest_folder);
}

bool stage_patch_archive(const ArchiveView& new_view, const std::vector<TreeChange>& changes, ChangeSet& out,
                         std::string& failed_path)
{
    std::set<std::string> puts;
    for (const TreeChange& c : changes)
        if (!c.item().folder && c.change != TreeChangeKind::removed)
            puts.insert(c.item().path);
    Json entries = Json::array();
    ChangeSet records;
    for (const TreeChange& c : changes) {
        PatchEntry e;
        e.change = c.change;
        e.path = c.item().path;
        e.folder = c.item().folder;
        e.base_present = c.change != TreeChangeKind::added;
        e.base = c.before;
        if (!e.folder && c.change != TreeChangeKind::removed) {
            e.record = c.after;
            if (!crc_of_content(new_view, c.after, e.content_crc)) {
                failed_path = e.path;
                return false;
            }
            const uint64_t at = c.after.data_offset;
            const DataReader& read = new_view.read_at;
            records.put(e.path, Content::of_record(c.after.record(), [read, at](uint64_t offset, uint8_t* dest, size_t size) {
                return read(at + offset, dest, size);
            }));
        } else if (e.folder && c.change == TreeChangeKind::added) {
            records.mkdir(e.path);
        } else if (!e.folder && !below_a_put(e.path, puts)) {
            // A removal below a file the patch adds (a folder become a
            // file) has no place in the patch's tree: its manifest says it.
            records.mark_removed(e.path);
        }
        entries.push_back(entry_json(e));
    }
    Json manifest;
    manifest["format"] = format_name;
    manifest["version"] = format_version;
    manifest["entries"] = std::move(entries);
    const std::string text = manifest.dump(1) + "\n";
    // The manifest first: its folder is the archive's first.
    out.put(patch_manifest_path, Content::of_bytes(std::vector<uint8_t>(text.begin(), text.end())));
    for (Change& c : records.changes())
        out.add(std::move(c));
    return true;
}

PatchRead read_patch(const ArchiveView& view)
{
    ArchiveTree patch;
    if (!patch.read(view.directory))
        return problem(PatchProblem::damaged, std::string());
    const TreeItem* file = patch.file_at(patch_manifest_path);
    if (!file)
        return problem(PatchProblem::no_manifest, patch_manifest_path);
    std::string text;
    if (!manifest_text(view, *file, text))
        return problem(PatchProblem::damaged, patch_manifest_path);
    const Json manifest = Json::parse(text, nullptr, false);
    if (manifest.is_discarded())
        return problem(PatchProblem::bad_manifest, patch_manifest_path, "not JSON");
    std::vector<PatchEntry> entries;
    try {
        if (!manifest.is_object() || text_field(manifest, "format") != format_name)
            throw ManifestError{"not a patch's manifest"};
        if (number_field(manifest, "version") != format_version)
            throw ManifestError{"version " + std::to_string(number_field(manifest, "version")) +
                                ", not " + std::to_string(format_version)};
        const Json& list = field(manifest, "entries");
        if (!list.is_array())
            throw ManifestError{"\"entries\" is not a list"};
        for (const Json& j : list)
            entries.push_back(parse_entry(j));
    } catch (const ManifestError& e) {
        return problem(PatchProblem::bad_manifest, patch_manifest_path, e.what);
    }
    return match_records(view, patch, std::move(entries));
}

std::vector<size_t> patch_conflicts(const std::vector<PatchEntry>& entries, const ArchiveTree& target)
{
    const std::set<std::string> removed = removals(entries);
    std::vector<size_t> out;
    for (size_t i = 0; i < entries.size(); ++i) {
        const PatchEntry& e = entries[i];
        if (!base_holds(e, target) ||
            (!e.folder && e.change != TreeChangeKind::removed && in_the_way(e, removed, target)))
            out.push_back(i);
    }
    return out;
}

void stage_patch(const std::vector<PatchEntry>& entries, const ArchiveView& patch, const ArchiveTree& target,
                 bool force, ChangeSet& out)
{
    std::vector<const PatchEntry*> sorted;
    for (const PatchEntry& e : entries)
        sorted.push_back(&e);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const PatchEntry* a, const PatchEntry* b) { return a->path < b->path; });
    // Removals, deepest first: a folder after what lies below it.
    for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) {
        const PatchEntry& e = **it;
        if (e.change != TreeChangeKind::removed)
            continue;
        const bool there = e.folder ? target.folder_at(e.path) : target.file_at(e.path) != nullptr;
        if (there || !force)
            out.remove(e.path);
    }
    // A folder where a file is to be: what was below it is gone by now.
    for (const PatchEntry* e : sorted)
        if (!e->folder && e->change != TreeChangeKind::removed && target.folder_at(e->path) &&
            !target.file_at(e->path))
            out.remove(e->path, true);
    for (const PatchEntry* e : sorted)
        if (e->folder && e->change == TreeChangeKind::added)
            out.mkdir(e->path);
    for (const PatchEntry* e : sorted) {
        if (e->folder || e->change == TreeChangeKind::removed)
            continue;
        const uint64_t at = e->record.data_offset;
        const DataReader& read = patch.read_at;
        out.put(e->path, Content::of_record(e->record.record(), [read, at](uint64_t offset, uint8_t* dest, size_t size) {
            return read(at + offset, dest, size);
        }));
    }
}

}  // namespace tavmerk
