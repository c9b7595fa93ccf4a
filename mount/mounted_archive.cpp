#include "mount/mounted_archive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "archive/layout.h"
#include "archive/reader.h"
#include "archive/room.h"
#include "engine/change_set.h"
#include "engine/compact.h"
#include "engine/directory_tree.h"
#include "engine/output_tree.h"
#include "engine/record_commit.h"

namespace tavmerk {

namespace {

constexpr size_t copy_chunk = size_t(1) << 20;

// A path as messages show it: bytes that are not printable as \xHH.
std::string shown(const std::string& path)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || byte == '\\') {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string parent_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

const char* commit_problem(CommitStatus status)
{
    switch (status) {
    case CommitStatus::committed:
        break;
    case CommitStatus::cannot_open:
        return "cannot open the archive for update";
    case CommitStatus::damaged:
        return "the archive's directory is damaged";
    case CommitStatus::data_outside:
        return "the archive was cut short: records' data lies past its end";
    case CommitStatus::no_record:
        return "no record of the archive stands at that path any more";
    case CommitStatus::too_large:
        return "the archive would pass 4 GiB";
    case CommitStatus::read_failed:
        return "cannot read the scratch file";
    case CommitStatus::write_failed:
        return "cannot write the archive";
    }
    return "";
}

std::string change_problem(const ChangeResult& result)
{
    switch (result.status) {
    case ChangeStatus::committed:
        break;
    case ChangeStatus::refused_name:
        return "the archive cannot hold that name there (files lie in a folder)";
    case ChangeStatus::not_found:
        return "nothing of the archive stands there any more";
    case ChangeStatus::conflict:
        return "a file stands where a folder is needed, or the reverse";
    case ChangeStatus::too_large:
        return "the archive would pass 4 GiB";
    case ChangeStatus::read_failed:
        return "cannot read the scratch file";
    case ChangeStatus::cannot_open:
        return "cannot open the archive for update";
    case ChangeStatus::damaged:
        return "the archive's directory is damaged, or its data cut short";
    case ChangeStatus::exists:
        return "something stands there already";
    case ChangeStatus::write_failed:
        return "cannot write the archive" + (result.error ? ": " + platform::error_message(result.error) : "");
    case ChangeStatus::cancelled:
        return "cancelled";
    }
    return "";
}

int change_errno(const ChangeResult& result)
{
    switch (result.status) {
    case ChangeStatus::committed:
        return 0;
    case ChangeStatus::refused_name:
        return -EPERM;
    case ChangeStatus::not_found:
        return -ENOENT;
    case ChangeStatus::conflict:
        return -ENOTDIR;
    case ChangeStatus::too_large:
        return -EFBIG;
    case ChangeStatus::cannot_open:
        return -EACCES;
    case ChangeStatus::exists:
        return -EEXIST;
    case ChangeStatus::write_failed:
        return result.error == ENOSPC ? -ENOSPC : -EIO;
    default:
        return -EIO;
    }
}

int commit_errno(CommitStatus status)
{
    switch (status) {
    case CommitStatus::committed:
        return 0;
    case CommitStatus::too_large:
        return -EFBIG;
    case CommitStatus::cannot_open:
        return -EACCES;
    default:
        return -EIO;
    }
}

// FNV-1a, which runs on from a folder's hash to its children's.
constexpr uint64_t hash_start = 14695981039346656037ULL;

uint64_t hash_more(uint64_t hash, const char* bytes, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ uint8_t(bytes[i])) * 1099511628211ULL;
    return hash;
}

// The path of `index` in `tree`, as lookups take it.
std::string path_of(const ExpandedTree& tree, uint32_t index)
{
    std::string path;
    for (uint32_t at = index; at != 0; at = tree.node(at).parent)
        path.insert(0, (tree.node(at).parent == 0 ? "" : "/") + tree.node(at).name);
    return path;
}

// Whether `path` is the path of `index`: its levels compared from the last.
bool path_is(const ExpandedTree& tree, uint32_t index, const std::string& path)
{
    size_t end = path.size();
    for (uint32_t at = index; at != 0; at = tree.node(at).parent) {
        const std::string& name = tree.node(at).name;
        const bool top = tree.node(at).parent == 0;
        const size_t level = name.size() + (top ? 0 : 1);
        if (end < level || path.compare(end - name.size(), name.size(), name) != 0 ||
            (!top && path[end - level] != '/'))
            return false;
        end -= level;
    }
    return end == 0;
}

constexpr Ino created_bit = Ino(1) << 63;

// A name's listing cookie: its hash, past 1 and 2 (left for "." and "..").
// A listing goes in the order of cookies, so that a name keeps its place
// however many others are added or removed while it goes on.
uint64_t cookie_of(const std::string& name)
{
    return 3 + (hash_more(hash_start, name.data(), name.size()) >> 2);
}

Ino ino_of(uint32_t shape, uint32_t node)
{
    return node == 0 ? root_ino : (Ino(shape) << 32) + node + 1;
}

// The index a tree's node number stands for (past every tree for 0).
uint64_t index_of(Ino ino)
{
    return (ino & UINT32_MAX) - 1;
}

bool starts_with(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

std::string joined(const std::string& folder, const std::string& name)
{
    return folder.empty() ? name : folder + "/" + name;
}

bool same_shape(const ExpandedTree& a, const ExpandedTree& b)
{
    if (a.size() != b.size())
        return false;
    for (uint32_t i = 0; i < a.size(); ++i)
        if (a.node(i).parent != b.node(i).parent || a.node(i).folder != b.node(i).folder ||
            a.node(i).name != b.node(i).name)
            return false;
    return true;
}

}  // namespace

// The archive as one load found it. Never changed once installed.
struct MountedArchive::Generation {
    std::shared_ptr<platform::UpdateFile> file;  // open for reading, not locked
    uint64_t file_key = 0;
    platform::FileStamp stamp;
    std::vector<uint8_t> image;  // header and directory
    uint64_t data_end = 0;
    ExpandedTree tree;
    uint64_t referenced = 0;  // bytes the directory and its live records' data take
    uint32_t shape = 0;  // the same for generations whose trees have one shape
    // The time folders show: the archive's at the load that gave the
    // tree its shape, as a folder's time changes only with its names.
    int64_t shaped_ns = 0;
    // Every node by the hash of its whole path, so that a lookup is one
    // probe and a comparison, not a walk level by level; paths whose
    // hashes collide are marked `none` and walked.
    std::unordered_map<uint64_t, uint32_t> by_path;

    // The tree of the directory `reader` reads, with every folder entry,
    // empty ones too, indexed; false at a bad folder id.
    bool build(const ArchiveReader& reader, const platform::UpdateFile& from)
    {
        if (!tree.build(reader))
            return false;
        DirectoryTree entries;
        if (entries.read(image.data(), image.size()))
            for (uint32_t i = 0; i < entries.size(); ++i)
                if (entries.node(i).folder && entries.node(i).has_path && tree.find(entries.node(i).path) == ExpandedTree::none)
                    tree.add_folders(entries.node(i).path);
        index(reader, from);
        return true;
    }

    void index(const ArchiveReader& reader, const platform::UpdateFile& from)
    {
        // The room kept after the directory counts as used: compaction
        // keeps it.
        uint8_t marker[room_marker_size];
        const uint64_t marker_at = header_size + uint64_t(directory_size(image.data()));
        const uint64_t room = from.read_at(marker_at, marker, sizeof marker) ? room_end(reader, marker) : 0;
        referenced = std::max<uint64_t>(image.size(), room);
        RecordCursor records = reader.records(std::string(), '/');
        while (records.next())
            if (records.entry().live())
                referenced += records.entry().stored_size;
        referenced = std::min(referenced, data_end);
        std::vector<uint64_t> hashes(tree.size(), hash_start);
        by_path.reserve(tree.size());
        by_path.emplace(hash_start, 0);
        for (uint32_t i = 1; i < tree.size(); ++i) {
            const ExpandedTree::Node& node = tree.node(i);
            const uint64_t parent = node.parent == 0 ? hash_start : hash_more(hashes[node.parent], "/", 1);
            hashes[i] = hash_more(parent, node.name.data(), node.name.size());
            const auto placed = by_path.emplace(hashes[i], i);
            if (!placed.second)
                placed.first->second = ExpandedTree::none;
        }
    }

    uint32_t find(const std::string& path) const
    {
        const auto found = by_path.find(hash_more(hash_start, path.data(), path.size()));
        if (found == by_path.end())
            return ExpandedTree::none;
        if (found->second == ExpandedTree::none)
            return tree.find(path);
        return path_is(tree, found->second, path) ? found->second : ExpandedTree::none;
    }
};

// What a read of a record needs: the generation holds its file open.
struct MountedArchive::RecordRef {
    std::shared_ptr<const Generation> generation;
    const ExpandedTree::Node* node = nullptr;
    std::string path;
};

// A file's content while it is open, or edited and not yet saved.
struct MountedArchive::Draft {
    std::mutex mutex;
    std::string path;              // where it is saved; changed by a rename under drafts_mutex_ too
    RecordRef record;              // unset for a created file
    bool created = false;
    bool unlinked = false;         // removed or replaced while open: nothing more is saved
    Ino ino = 0;                   // a created file's node
    bool materialized = false;     // the content is in `scratch`
    bool dirty = false;            // changed since the last commit
    platform::UpdateFile scratch;
    uint64_t size = 0;
    int opens = 0;
};

struct MountedArchive::Handle {
    std::shared_ptr<Draft> draft;
};

// The record data a reference reads (all zero: none).
MountedArchive::ServedData MountedArchive::data_of(const RecordRef& ref)
{
    if (!ref.node)
        return ServedData{};
    return ServedData{ref.generation->file_key, ref.node->data_offset, ref.node->stored_size,
                      ref.node->expanded_size};
}

// Where a node stands now.
struct MountedArchive::Place {
    std::shared_ptr<const Generation> generation;
    uint32_t node = ExpandedTree::none;  // in the generation's tree; none: no node of the archive there
    bool created = false;                // a file created in the mount
    std::string path;                    // when asked for, and for created files
};

MountedArchive::MountedArchive(MountOptions options)
    : options_(std::move(options)), cache_(options_.cache_bytes)
{
    scratch_folder_ = parent_of(options_.archive_path);
    if (scratch_folder_.empty())
        scratch_folder_ = "/";
}

MountedArchive::~MountedArchive()
{
    stop_teller();
}

void MountedArchive::say(const std::string& line)
{
    std::lock_guard<std::mutex> lock(say_mutex_);
    std::fprintf(stderr, "tavmerk-mount: %s\n", line.c_str());
    std::fflush(stderr);
}

int MountedArchive::refuse(const char* action, Ino parent, const std::string& name, const char* why)
{
    std::string path;
    return refuse_path(action, path_in(parent, name, path) ? path : name, why);
}

int MountedArchive::refuse_path(const char* action, const std::string& path, const char* why)
{
    say("cannot " + std::string(action) + " " + shown(path) + ": " + why);
    return -EPERM;
}

// Generations

std::shared_ptr<const MountedArchive::Generation> MountedArchive::current() const
{
    std::shared_lock<std::shared_mutex> lock(generation_mutex_);
    return generation_;
}

void MountedArchive::install(std::shared_ptr<const Generation> generation)
{
    std::unique_lock<std::shared_mutex> lock(generation_mutex_);
    generation_ = std::move(generation);
}

bool MountedArchive::load(std::string& reason)
{
    if (!reload(reason))
        return false;
    teller_ = std::thread([this] { teller(); });
    // Descriptors kept back for writing under ARCHIVE.unsaved/, should the
    // mount run short of them.
    for (int i = 0; i < 4; ++i) {
        spares_.push_back(std::make_unique<platform::UpdateFile>());
        spares_.back()->open(options_.archive_path, platform::LockKind::none, platform::Access::read_only);
    }
    return true;
}

bool MountedArchive::reload(std::string& reason, bool wait)
{
    auto file = std::make_shared<platform::UpdateFile>();
    bool busy = false;
    const bool opened = wait ? file->open(options_.archive_path, platform::LockKind::shared, platform::Access::read_only)
                             : file->open_shared_now(options_.archive_path, platform::Access::read_only, busy);
    if (busy)
        return true;  // another run is committing: the generation in force stays
    if (!opened) {
        reason = "cannot open";
        return false;
    }
    auto next = std::make_shared<Generation>();
    const bool read = read_committed_directory(*file, next->image, next->data_end) && file->stamp(next->stamp);
    file->unlock();
    ArchiveReader reader;
    if (!read || !reader.open(next->image.data(), next->image.size(), next->data_end)) {
        reason = "damaged directory";
        return false;
    }
    if (!next->build(reader, *file)) {
        reason = "bad folder id in the directory";
        return false;
    }
    next->shaped_ns = next->stamp.modified_ns;
    // The same file as before keeps its key, and with it the cached spans.
    const std::shared_ptr<const Generation> before = current();
    if (before)
        note_changes(before, *next, ExpandedTree::none);
    if (before && before->stamp.device == next->stamp.device && before->stamp.file_id == next->stamp.file_id) {
        next->file = before->file;
        next->file_key = before->file_key;
    } else {
        static uint64_t keys = 0;
        next->file = std::move(file);
        next->file_key = ++keys;
    }
    install(std::move(next));
    return true;
}

void MountedArchive::refresh()
{
    platform::FileStamp now;
    if (!platform::stamp_of(options_.archive_path, now) || now == current()->stamp)
        return;
    std::lock_guard<std::mutex> lock(reload_mutex_);
    if (now == current()->stamp)
        return;
    std::string reason;
    if (!reload(reason, false))
        say(shown(options_.archive_path) + ": " + reason + "; the mount keeps showing what it showed");
}

// Gives `after` its shape, and keeps what the kernel must be told: the
// nodes whose sizes differ but `except` (the tree of one shape), or every
// name and node of `before` (a tree of another shape, which numbers its
// nodes anew; `before` is kept to find its nodes again by path).
void MountedArchive::note_changes(const std::shared_ptr<const Generation>& kept, Generation& after, uint32_t except)
{
    const Generation& before = *kept;
    std::vector<Change> changes;
    if (same_shape(before.tree, after.tree)) {
        after.shape = before.shape;
        after.shaped_ns = before.shaped_ns;
        for (uint32_t i = 1; i < after.tree.size(); ++i)
            if (i != except && after.tree.node(i).expanded_size != before.tree.node(i).expanded_size)
                changes.push_back(Change{ino_of(after.shape, i), 0, {}});
    } else {
        {
            std::unique_lock<std::shared_mutex> lock(generation_mutex_);
            after.shape = ++shapes_made_;
            if (named_.count(before.shape))
                shapes_.emplace(before.shape, kept);
        }
        for (uint32_t i = 0; i < before.tree.size(); ++i) {
            const ExpandedTree::Node& node = before.tree.node(i);
            changes.push_back(Change{ino_of(before.shape, i), 0, {}});
            if (i != 0)
                changes.push_back(Change{0, ino_of(before.shape, node.parent), node.name});
        }
    }
    {
        // A file saved by renaming a created one over it is known to the
        // kernel by the created file's node.
        std::lock_guard<std::mutex> lock(created_mutex_);
        for (const auto& [ino, path] : created_) {
            const uint32_t now_at = after.find(path);
            if (now_at == ExpandedTree::none || now_at == except)
                continue;
            const uint32_t then_at = before.find(path);
            if (then_at == ExpandedTree::none ||
                before.tree.node(then_at).expanded_size != after.tree.node(now_at).expanded_size)
                changes.push_back(Change{ino, 0, {}});
        }
    }
    std::lock_guard<std::mutex> lock(changed_mutex_);
    for (Change& change : changes)
        changed_.push_back(std::move(change));
}

// From a change of the tree, which the kernel holds its folders locked
// for until it is answered: told by the teller thread, after.
void MountedArchive::tell_changes_later()
{
    {
        std::lock_guard<std::mutex> lock(changed_mutex_);
        tell_wanted_ = true;
    }
    tell_.notify_one();
}

void MountedArchive::teller()
{
    std::unique_lock<std::mutex> lock(changed_mutex_);
    for (;;) {
        tell_.wait(lock, [this] { return tell_wanted_ || ending_; });
        if (ending_)
            return;
        tell_wanted_ = false;
        lock.unlock();
        tell_changes();
        lock.lock();
    }
}

void MountedArchive::stop_teller()
{
    {
        std::lock_guard<std::mutex> lock(changed_mutex_);
        ending_ = true;
    }
    tell_.notify_one();
    if (teller_.joinable())
        teller_.join();
}

// Outside every lock of the mount: telling the kernel may wait for reads
// of those files in flight.
void MountedArchive::tell_changes()
{
    std::vector<Change> changes;
    {
        std::lock_guard<std::mutex> lock(changed_mutex_);
        changes.swap(changed_);
    }
    for (const Change& change : changes) {
        if (change.ino != 0 && options_.attributes_changed)
            options_.attributes_changed(change.ino);
        else if (change.ino == 0 && options_.entry_changed)
            options_.entry_changed(change.parent, change.name);
    }
}

bool MountedArchive::lookup(const std::string& path, RecordRef& ref) const
{
    ref.generation = current();
    const uint32_t found = ref.generation->find(path);
    if (found == ExpandedTree::none)
        return false;
    ref.node = &ref.generation->tree.node(found);
    ref.path = path;
    return true;
}

std::shared_ptr<MountedArchive::Draft> MountedArchive::draft_at(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(drafts_mutex_);
    const auto found = drafts_.find(path);
    return found == drafts_.end() ? nullptr : found->second;
}

bool MountedArchive::no_drafts() const
{
    std::lock_guard<std::mutex> lock(drafts_mutex_);
    return drafts_.empty();
}

// Nodes

// The kept generation of an earlier shape that a node of the tree belongs
// to; null for created files and nodes of the current shape.
std::shared_ptr<const MountedArchive::Generation> MountedArchive::earlier_shape(Ino ino) const
{
    std::shared_lock<std::shared_mutex> lock(generation_mutex_);
    const auto kept = shapes_.find(uint32_t(ino >> 32));
    if ((ino & created_bit) || kept == shapes_.end())
        return nullptr;
    return kept->second;
}

void MountedArchive::remember(Ino ino)
{
    if (ino == root_ino || (ino & created_bit))
        return;
    std::unique_lock<std::shared_mutex> lock(generation_mutex_);
    ++named_[uint32_t(ino >> 32)];
}

void MountedArchive::forget(Ino ino, uint64_t count)
{
    if (ino == root_ino || (ino & created_bit))
        return;
    const uint32_t shape = uint32_t(ino >> 32);
    std::shared_ptr<const Generation> going;  // let go outside the lock
    std::unique_lock<std::shared_mutex> lock(generation_mutex_);
    const auto named = named_.find(shape);
    if (named == named_.end())
        return;
    named->second -= std::min(named->second, count);
    if (named->second > 0)
        return;
    named_.erase(named);
    const auto kept = shapes_.find(shape);
    if (kept != shapes_.end() && shape != generation_->shape) {
        going = std::move(kept->second);
        shapes_.erase(kept);
        // Renames no kept shape's path needs any more.
        const uint32_t oldest = shapes_.empty() ? generation_->shape : std::min(shapes_.begin()->first, generation_->shape);
        renames_.erase(std::remove_if(renames_.begin(), renames_.end(),
                                      [oldest](const Rename& rename) { return rename.shape < oldest; }),
                       renames_.end());
    }
}

bool MountedArchive::place_of(Ino ino, Place& place, bool with_path) const
{
    // In this order: a load between the two finds the node in the one or
    // the other.
    const std::shared_ptr<const Generation> shaped = earlier_shape(ino);
    place.generation = current();
    const Generation& now = *place.generation;
    if (ino == root_ino) {
        place.node = 0;
        return true;
    }
    if (ino & created_bit) {
        std::lock_guard<std::mutex> lock(created_mutex_);
        const auto found = created_.find(ino);
        if (found == created_.end())
            return false;
        place.created = true;
        place.path = found->second;
        place.node = now.find(place.path);
        return true;
    }
    const uint64_t index = index_of(ino);
    if (uint32_t(ino >> 32) == now.shape) {
        if (index >= now.tree.size())
            return false;
        place.node = uint32_t(index);
        if (with_path)
            place.path = path_of(now.tree, place.node);
        return true;
    }
    // A node of an earlier shape: where its path stands now, after the
    // renames made here since.
    if (!shaped || index >= shaped->tree.size())
        return false;
    place.path = path_of(shaped->tree, uint32_t(index));
    {
        std::shared_lock<std::shared_mutex> lock(generation_mutex_);
        for (const Rename& rename : renames_)
            if (rename.shape >= shaped->shape && (place.path == rename.from || starts_with(place.path, rename.from + "/")))
                place.path = rename.to + place.path.substr(rename.from.size());
    }
    place.node = now.find(place.path);
    return place.node != ExpandedTree::none;
}

bool MountedArchive::path_in(Ino parent, const std::string& name, std::string& path) const
{
    Place place;
    if (!place_of(parent, place, true) || place.node == ExpandedTree::none ||
        !place.generation->tree.node(place.node).folder)
        return false;
    path = joined(place.path, name);
    return true;
}

void MountedArchive::attr_of(const Generation& generation, uint32_t node, EntryAttr& attr) const
{
    const ExpandedTree::Node& at = generation.tree.node(node);
    attr.ino = ino_of(generation.shape, node);
    attr.folder = at.folder;
    attr.size = at.folder ? 0 : at.expanded_size;
    attr.modified_ns = at.folder ? generation.shaped_ns : generation.stamp.modified_ns;
}

// A file being edited shows its draft's size; a created file is its draft.
// False when no draft stands at `path`.
bool MountedArchive::draft_attr(const std::string& path, EntryAttr& attr) const
{
    const std::shared_ptr<Draft> draft = draft_at(path);
    if (!draft)
        return false;
    std::lock_guard<std::mutex> lock(draft->mutex);
    if (!draft->materialized || !(draft->created || draft->dirty))
        return false;
    if (draft->created)
        attr.ino = draft->ino;
    attr.folder = false;
    attr.size = draft->size;
    return true;
}

// A node of an earlier shape whose path the archive no longer has: a
// file still open there reads on in the archive it was opened in, with
// the attributes it had.
bool MountedArchive::kept_attr(Ino ino, EntryAttr& attr) const
{
    const std::shared_ptr<const Generation> shaped = earlier_shape(ino);
    const uint64_t index = index_of(ino);
    if (!shaped || index >= shaped->tree.size())
        return false;
    attr_of(*shaped, uint32_t(index), attr);
    return true;
}

// Looking

int MountedArchive::lookup(Ino parent, const std::string& name, EntryAttr& attr)
{
    Place place;
    const bool drafts = !no_drafts();
    if (!place_of(parent, place, drafts) || place.node == ExpandedTree::none)
        return -ENOENT;
    const Generation& generation = *place.generation;
    if (!generation.tree.node(place.node).folder)
        return -ENOTDIR;
    attr.modified_ns = generation.stamp.modified_ns;
    const uint32_t child = generation.tree.child(place.node, name);
    if (child != ExpandedTree::none)
        attr_of(generation, child, attr);
    const bool drafted = drafts && draft_attr(joined(place.path, name), attr);
    return child != ExpandedTree::none || drafted ? 0 : -ENOENT;
}

int MountedArchive::getattr(Ino ino, EntryAttr& attr)
{
    Place place;
    const bool drafts = !no_drafts();
    if (!place_of(ino, place, drafts))
        return kept_attr(ino, attr) ? 0 : -ENOENT;
    attr.modified_ns = place.generation->stamp.modified_ns;
    if (place.node != ExpandedTree::none)
        attr_of(*place.generation, place.node, attr);
    const bool drafted = (drafts || place.created) && draft_attr(place.path, attr);
    attr.ino = ino;
    return place.node != ExpandedTree::none || drafted ? 0 : -ENOENT;
}

int MountedArchive::list(Ino folder, uint64_t after, const ListEach& each)
{
    Place place;
    const bool drafts = !no_drafts();
    if (!place_of(folder, place, drafts) || place.node == ExpandedTree::none)
        return -ENOENT;
    const Generation& generation = *place.generation;
    const ExpandedTree::Node& at = generation.tree.node(place.node);
    if (!at.folder)
        return -ENOTDIR;
    // Every name with its cookie, in the order of cookies.
    struct Listed {
        uint64_t cookie;
        const std::string* name;
        EntryAttr attr;
    };
    std::vector<Listed> names;
    names.reserve(at.children.size());
    for (const uint32_t child : at.children) {
        const std::string& name = generation.tree.node(child).name;
        Listed listed{cookie_of(name), &name, EntryAttr()};
        attr_of(generation, child, listed.attr);
        names.push_back(listed);
    }
    // Files being edited show their draft's size; created files not yet
    // saved are their drafts.
    std::vector<std::string> created_names;
    if (drafts) {
        const std::string prefix = joined(place.path, "");
        std::map<std::string, uint64_t> edited;
        std::vector<EntryAttr> created;
        {
            std::lock_guard<std::mutex> lock(drafts_mutex_);
            for (const auto& [draft_path, draft] : drafts_) {
                if (parent_of(draft_path) != place.path)
                    continue;
                std::lock_guard<std::mutex> draft_lock(draft->mutex);
                if (draft->created) {
                    created_names.push_back(draft_path.substr(prefix.size()));
                    EntryAttr attr;
                    attr.ino = draft->ino;
                    attr.size = draft->size;
                    attr.modified_ns = generation.stamp.modified_ns;
                    created.push_back(attr);
                } else if (draft->materialized && draft->dirty) {
                    edited.emplace(draft_path.substr(prefix.size()), draft->size);
                }
            }
        }
        for (Listed& listed : names) {
            const auto found = edited.find(*listed.name);
            if (found != edited.end())
                listed.attr.size = found->second;
        }
        for (size_t i = 0; i < created.size(); ++i)
            names.push_back(Listed{cookie_of(created_names[i]), &created_names[i], created[i]});
    }
    std::sort(names.begin(), names.end(), [](const Listed& a, const Listed& b) { return a.cookie < b.cookie; });
    for (auto it = std::upper_bound(names.begin(), names.end(), after,
                                    [](uint64_t cookie, const Listed& listed) { return cookie < listed.cookie; });
         it != names.end(); ++it)
        if (!each(*it->name, it->attr, it->cookie))
            return 0;
    return 0;
}

int MountedArchive::open_folder(Ino folder)
{
    refresh();
    tell_changes();
    Place place;
    if (!place_of(folder, place, false) || place.node == ExpandedTree::none)
        return -ENOENT;
    return place.generation->tree.node(place.node).folder ? 0 : -ENOTDIR;
}

// Opening

int MountedArchive::open(Ino ino, bool write, bool truncate, Handle*& handle, bool& keep_cache)
{
    keep_cache = false;
    if (write && options_.read_only)
        return -EROFS;
    std::string path;
    if (!fresh_path(ino, path))
        return -ENOENT;
    return open_path(path, ino, write, truncate, handle, keep_cache);
}

// The path of a node once other runs' commits are taken up: where an
// open starts.
bool MountedArchive::fresh_path(Ino ino, std::string& path)
{
    refresh();
    tell_changes();
    Place place;
    if (!place_of(ino, place, true))
        return false;
    path = std::move(place.path);
    return true;
}

int MountedArchive::open_path(const std::string& path, Ino ino, bool write, bool truncate, Handle*& handle,
                              bool& keep_cache)
{
    std::shared_ptr<Draft> draft;
    {
        RecordRef ref;
        const bool found = lookup(path, ref);
        std::lock_guard<std::mutex> lock(drafts_mutex_);
        auto& slot = drafts_[path];
        if (slot) {
            // An open shares the draft of a file being edited or created;
            // one with nothing pending is left to the opens that read it,
            // each keeping the version it opened, when the archive now has
            // another.
            std::lock_guard<std::mutex> draft_lock(slot->mutex);
            if (!slot->created && !slot->dirty && (slot->materialized || data_of(slot->record) != data_of(ref)))
                slot = nullptr;
        }
        if (!slot) {
            if (!found || ref.node->folder) {
                drafts_.erase(path);
                return found ? -EISDIR : -ENOENT;
            }
            slot = std::make_shared<Draft>();
            slot->path = path;
            slot->record = std::move(ref);
        }
        draft = slot;
        std::lock_guard<std::mutex> draft_lock(draft->mutex);
        ++draft->opens;
        // What the kernel cached of the file at its last open may stay
        // when the same record data is read again.
        const bool unchanged = !write && !draft->created && !draft->materialized;
        const ServedData now = unchanged ? data_of(draft->record) : ServedData{};
        ServedData& before = served_[ino];
        keep_cache = unchanged && before == now;
        before = now;
    }
    handle = new Handle{draft};
    if (truncate) {
        int result = truncate_path(path, ino, handle, 0);
        // A reader's close asks for no flush: the truncation is saved now.
        if (result == 0 && !write)
            result = flush(*handle);
        if (result != 0) {
            release(handle);
            return result;
        }
    }
    return 0;
}

int MountedArchive::create(Ino parent, const std::string& name, Handle*& handle, EntryAttr& attr)
{
    if (options_.read_only)
        return -EROFS;
    std::string path;
    if (!path_in(parent, name, path))
        return -ENOENT;
    RecordRef ref;
    if (lookup(path, ref))
        return -EEXIST;
    if (path.find('/') == std::string::npos || !writable_path(path))
        return refuse_path("create", path, path.find('/') == std::string::npos
                                               ? "the archive's files lie in a folder"
                                               : "the archive cannot hold that name");
    auto draft = std::make_shared<Draft>();
    draft->created = true;
    draft->dirty = true;  // a record even with nothing written (touch)
    if (!materialize(*draft, true))
        return -EIO;
    {
        std::lock_guard<std::mutex> lock(drafts_mutex_);
        if (drafts_.count(path))
            return -EEXIST;
        draft->opens = 1;
        draft->path = path;
        drafts_[path] = draft;
        std::lock_guard<std::mutex> created_lock(created_mutex_);
        draft->ino = created_bit | ++next_created_;
        created_[draft->ino] = path;
    }
    attr.ino = draft->ino;
    attr.folder = false;
    attr.size = 0;
    attr.modified_ns = ref.generation->stamp.modified_ns;
    handle = new Handle{draft};
    return 0;
}

void MountedArchive::release(Handle* handle)
{
    std::lock_guard<std::mutex> lock(drafts_mutex_);
    {
        Draft& draft = *handle->draft;
        std::lock_guard<std::mutex> draft_lock(draft.mutex);
        --draft.opens;
        // A record's draft goes with its last handle, unless it holds
        // changes that could not be saved; a created file stays.
        const bool keep = draft.opens > 0 || draft.created || draft.dirty;
        const auto found = drafts_.find(draft.path);
        const bool listed = found != drafts_.end() && found->second == handle->draft;
        if (!keep && listed)
            drafts_.erase(found);
        // Changes that could not be saved, of a draft another open took
        // the place of: kept for the end.
        if (draft.opens == 0 && draft.dirty && !draft.unlinked && !listed)
            stranded_.push_back(handle->draft);
    }
    delete handle;
}

// Reading and writing

bool MountedArchive::materialize(Draft& draft, bool empty)
{
    if (draft.materialized)
        return true;
    if (!draft.scratch.open_unnamed(scratch_folder_))
        return false;
    draft.size = 0;
    if (!empty && draft.record.node) {
        const uint64_t size = draft.record.node->expanded_size;
        std::vector<uint8_t> chunk(copy_chunk);
        for (uint64_t done = 0; done < size;) {
            size_t got = 0;
            if (read_record(draft.record, chunk.data(), chunk.size(), done, got) != 0 || got == 0 ||
                !draft.scratch.write_at(done, chunk.data(), got))
                return false;
            done += got;
        }
        draft.size = size;
    }
    draft.materialized = true;
    return true;
}

int MountedArchive::read_record(const RecordRef& ref, uint8_t* dest, size_t size, uint64_t offset, size_t& got)
{
    got = 0;
    const ExpandedTree::Node& node = *ref.node;
    if (offset >= node.expanded_size)
        return 0;
    const platform::UpdateFile& file = *ref.generation->file;
    if (node.kind == RecordKind::stored) {
        const size_t n = size_t(std::min<uint64_t>(size, node.expanded_size - offset));
        if (!file.read_at(node.data_offset + offset, dest, n)) {
            say(shown(ref.path) + ": cannot read its data from the archive");
            return -EIO;
        }
        got = n;
        return 0;
    }
    const StreamRecord record{ref.generation->file_key, node.data_offset, node.stored_size, node.expanded_size};
    const uint32_t data_offset = node.data_offset;
    const auto stream = [&file, data_offset](uint64_t at, uint8_t* to, size_t n) {
        return file.read_at(data_offset + at, to, n);
    };
    if (!cache_.read(record, stream, offset, dest, size, got)) {
        say(shown(ref.path) + ": its zlib stream cannot be inflated");
        return -EIO;
    }
    return 0;
}

int MountedArchive::read(Handle& handle, size_t size, uint64_t offset, ReadOut& out)
{
    Draft& draft = *handle.draft;
    std::unique_lock<std::mutex> lock(draft.mutex);
    if (!draft.materialized) {
        const RecordRef ref = draft.record;
        lock.unlock();  // readers of the archive's data go in parallel
        const ExpandedTree::Node& node = *ref.node;
        if (offset >= node.expanded_size)
            return 0;
        if (node.kind == RecordKind::stored) {
            size_t got = 0;
            const size_t n = size_t(std::min<uint64_t>(size, node.expanded_size - offset));
            out.bytes.reset(new uint8_t[n]);
            const int result = read_record(ref, out.bytes.get(), n, offset, got);
            out.pieces.emplace_back(out.bytes.get(), got);
            out.size = got;
            return result;
        }
        const StreamRecord record{ref.generation->file_key, node.data_offset, node.stored_size, node.expanded_size};
        const platform::UpdateFile& file = *ref.generation->file;
        const uint32_t data_offset = node.data_offset;
        const auto stream = [&file, data_offset](uint64_t at, uint8_t* to, size_t n) {
            return file.read_at(data_offset + at, to, n);
        };
        std::vector<SpanCache::Piece> pieces;
        if (!cache_.read_pieces(record, stream, offset, size, pieces)) {
            say(shown(ref.path) + ": its zlib stream cannot be inflated");
            return -EIO;
        }
        for (SpanCache::Piece& piece : pieces) {
            out.pieces.emplace_back(piece.data, piece.size);
            out.size += piece.size;
            out.held.push_back(std::move(piece.keep));
        }
        return 0;
    }
    if (offset >= draft.size)
        return 0;
    const size_t n = size_t(std::min<uint64_t>(size, draft.size - offset));
    out.bytes.reset(new uint8_t[n]);
    if (!draft.scratch.read_at(offset, out.bytes.get(), n))
        return -EIO;
    out.pieces.emplace_back(out.bytes.get(), n);
    out.size = n;
    return 0;
}

int MountedArchive::write(Handle& handle, const uint8_t* data, size_t size, uint64_t offset)
{
    Draft& draft = *handle.draft;
    std::lock_guard<std::mutex> lock(draft.mutex);
    if (!materialize(draft, false) || !draft.scratch.write_at(offset, data, size))
        return -EIO;
    draft.size = std::max(draft.size, offset + size);
    draft.dirty = true;
    return 0;
}

int MountedArchive::truncate(Ino ino, Handle* handle, uint64_t size)
{
    if (handle)
        return truncate_path(std::string(), ino, handle, size);
    if (options_.read_only)
        return -EROFS;
    std::string path;
    if (!fresh_path(ino, path))
        return -ENOENT;
    return truncate_path(path, ino, nullptr, size);
}

int MountedArchive::truncate_path(const std::string& path, Ino ino, Handle* handle, uint64_t size)
{
    if (options_.read_only)
        return -EROFS;
    if (!handle) {
        // Without an open file: opened, cut and saved at once.
        Handle* own = nullptr;
        bool keep_cache = false;
        int result = open_path(path, ino, true, false, own, keep_cache);
        if (result != 0)
            return result;
        result = truncate_path(path, ino, own, size);
        if (result == 0)
            result = flush(*own);
        release(own);
        return result;
    }
    Draft& draft = *handle->draft;
    std::lock_guard<std::mutex> lock(draft.mutex);
    if (!materialize(draft, size == 0) || !draft.scratch.truncate(size))
        return -EIO;
    draft.size = size;
    draft.dirty = true;
    return 0;
}

// Saving

int MountedArchive::commit(Draft& draft, const std::string& path)
{
    std::lock_guard<std::mutex> lock(commit_mutex_);
    // A record this mount made gets its storage method anew at each save,
    // as a new record gets it: its entry is made again.
    if (draft.created || made_here_.count(path)) {
        ChangeSet changes;
        if (made_here_.count(path))
            changes.remove(path, true);
        changes.put(path, Content::of_reader(draft.size, [&draft](uint64_t offset, uint8_t* dest, size_t size) {
                        return draft.scratch.read_at(offset, dest, size);
                    }));
        const int result = commit_set(changes, path, "save");
        if (result != 0)
            return result;
        made_here_.insert(path);
        draft.created = false;
        draft.dirty = false;
        lookup(path, draft.record);
        return 0;
    }
    const std::shared_ptr<const Generation> generation = current();
    const uint32_t found = generation->find(path);
    const size_t record_at = found == ExpandedTree::none ? 0 : generation->tree.node(found).record_at;
    NewContent content;
    content.size = draft.size;
    content.read = [&draft](uint64_t offset, uint8_t* dest, size_t size) {
        return draft.scratch.read_at(offset, dest, size);
    };
    CommitResult result;
    // A path the tree no longer has is looked up afresh in the archive.
    static const std::vector<uint8_t> no_image;
    const CommitStatus status = commit_record(options_.archive_path, path, content,
                                              found == ExpandedTree::none ? no_image : generation->image,
                                              record_at, result);
    if (status != CommitStatus::committed) {
        say(shown(path) + ": not saved: " + commit_problem(status));
        return commit_errno(status);
    }
    draft.dirty = false;
    take_up(generation, std::move(result.image), result.data_end, result.stamp, path);
    return 0;
}

// The committed directory is the one in force: the mount shows it.
void MountedArchive::take_up(const std::shared_ptr<const Generation>& generation, std::vector<uint8_t> image,
                             uint64_t data_end, const platform::FileStamp& stamp, const std::string& saved)
{
    std::lock_guard<std::mutex> reload_lock(reload_mutex_);
    auto next = std::make_shared<Generation>();
    next->image = std::move(image);
    next->data_end = data_end;
    next->stamp = stamp;
    ArchiveReader reader;
    const bool same_file = stamp.device == generation->stamp.device && stamp.file_id == generation->stamp.file_id;
    if (same_file && reader.open(next->image.data(), next->image.size(), next->data_end) && next->build(reader, *generation->file)) {
        next->shaped_ns = next->stamp.modified_ns;
        // Other runs may have committed since the last load: the kernel
        // knows the size of the file saved here, not of those.
        note_changes(generation, *next, next->find(saved));
        next->file = generation->file;
        next->file_key = generation->file_key;
        install(std::move(next));
    } else {
        std::string reason;  // a new file (rewritten to make room): loaded whole
        reload(reason);
    }
}

// One structural commit, under commit_mutex_; 0 or the errno it comes to.
int MountedArchive::commit_set(const ChangeSet& changes, const std::string& path, const char* action)
{
    const std::shared_ptr<const Generation> generation = current();
    const ChangeResult result = commit_changes(options_.archive_path, changes);
    if (!result.ok()) {
        say("cannot " + std::string(action) + " " + shown(path) + ": " + change_problem(result));
        return change_errno(result);
    }
    take_up(generation, result.image, result.data_end, result.stamp, std::string());
    return 0;
}

int MountedArchive::flush(Handle& handle)
{
    int result = 0;
    {
        Draft& draft = *handle.draft;
        std::lock_guard<std::mutex> lock(draft.mutex);
        if (!draft.dirty || draft.unlinked)
            return 0;
        result = commit(draft, draft.path);
    }
    tell_changes();
    return result;
}

// Changing the tree: each change committed before the call returns.

int MountedArchive::unlink(Ino parent, const std::string& name)
{
    if (options_.read_only)
        return -EROFS;
    std::string path;
    if (!path_in(parent, name, path))
        return -ENOENT;
    {
        // A created file never saved leaves nothing in the archive.
        std::lock_guard<std::mutex> lock(drafts_mutex_);
        const auto found = drafts_.find(path);
        if (found != drafts_.end() && found->second->created) {
            std::lock_guard<std::mutex> draft_lock(found->second->mutex);
            if (found->second->created) {
                found->second->unlinked = true;
                std::lock_guard<std::mutex> created_lock(created_mutex_);
                created_.erase(found->second->ino);
                drafts_.erase(found);
                return 0;
            }
        }
    }
    RecordRef ref;
    if (!lookup(path, ref))
        return -ENOENT;
    if (ref.node->folder)
        return -EISDIR;
    int result = 0;
    {
        // A record this mount made goes without a trace (an editor's swap
        // file); one that was in the archive is marked deleted in place.
        std::lock_guard<std::mutex> lock(commit_mutex_);
        ChangeSet changes;
        changes.remove(path, options_.unlink_drops || made_here_.count(path) > 0);
        result = commit_set(changes, path, "remove");
        if (result == 0)
            made_here_.erase(path);
    }
    if (result == 0)
        let_go(path, false);
    tell_changes_later();
    return result;
}

// The drafts at `path` (and below it, for a folder) are no longer saved
// there: open files read and write on, and nothing more is committed.
void MountedArchive::let_go(const std::string& path, bool below)
{
    std::lock_guard<std::mutex> lock(drafts_mutex_);
    const std::string prefix = path + "/";
    const auto let_go_of = [](Draft& draft) {
        std::lock_guard<std::mutex> draft_lock(draft.mutex);
        draft.unlinked = true;
    };
    const auto found = drafts_.find(path);
    if (found != drafts_.end()) {
        let_go_of(*found->second);
        drafts_.erase(found);
    }
    for (auto it = drafts_.lower_bound(prefix); below && it != drafts_.end() && starts_with(it->first, prefix);) {
        let_go_of(*it->second);
        it = drafts_.erase(it);
    }
    std::lock_guard<std::mutex> created_lock(created_mutex_);
    for (auto it = created_.begin(); it != created_.end();)
        it = it->second == path || (below && starts_with(it->second, prefix)) ? created_.erase(it) : std::next(it);
}

int MountedArchive::mkdir(Ino parent, const std::string& name, EntryAttr& attr)
{
    if (options_.read_only)
        return -EROFS;
    std::string path;
    if (!path_in(parent, name, path))
        return -ENOENT;
    RecordRef ref;
    if (lookup(path, ref) || draft_at(path))
        return -EEXIST;
    if (!writable_path(path))
        return refuse_path("make folder", path, "the archive cannot hold that name");
    int result = 0;
    {
        std::lock_guard<std::mutex> lock(commit_mutex_);
        ChangeSet changes;
        changes.mkdir(path);
        result = commit_set(changes, path, "make folder");
    }
    tell_changes_later();
    if (result != 0)
        return result;
    if (!lookup(path, ref))
        return -EIO;
    attr_of(*ref.generation, uint32_t(ref.node - &ref.generation->tree.node(0)), attr);
    return 0;
}

// Whether anything live stands below the folder at `path`: a file or
// folder of the tree, or a created file not yet saved.
bool MountedArchive::holds_anything(const RecordRef& folder) const
{
    if (!folder.node->children.empty())
        return true;
    std::lock_guard<std::mutex> lock(drafts_mutex_);
    const std::string prefix = folder.path + "/";
    const auto next = drafts_.lower_bound(prefix);
    return next != drafts_.end() && next->first.compare(0, prefix.size(), prefix) == 0;
}

int MountedArchive::rmdir(Ino parent, const std::string& name)
{
    if (options_.read_only)
        return -EROFS;
    std::string path;
    if (!path_in(parent, name, path))
        return -ENOENT;
    RecordRef ref;
    if (!lookup(path, ref))
        return -ENOENT;
    if (!ref.node->folder)
        return -ENOTDIR;
    if (holds_anything(ref))
        return -ENOTEMPTY;
    int result = 0;
    {
        // Taken out with the deleted records below it.
        std::lock_guard<std::mutex> lock(commit_mutex_);
        ChangeSet changes;
        changes.remove(path, true);
        result = commit_set(changes, path, "remove folder");
    }
    tell_changes_later();
    return result;
}

int MountedArchive::rename(Ino from_parent, const std::string& from_name, Ino to_parent, const std::string& to_name,
                           bool no_replace, bool exchange)
{
    if (exchange)
        return -EINVAL;
    if (options_.read_only)
        return -EROFS;
    std::string from, to;
    if (!path_in(from_parent, from_name, from) || !path_in(to_parent, to_name, to))
        return -ENOENT;
    // What is pending at either path is saved first: the rename moves
    // records.
    for (const std::string& path : {from, to}) {
        const std::shared_ptr<Draft> draft = draft_at(path);
        if (!draft)
            continue;
        std::lock_guard<std::mutex> lock(draft->mutex);
        if (draft->dirty && !draft->unlinked) {
            const int result = commit(*draft, draft->path);
            if (result != 0)
                return result;
        }
    }
    RecordRef source, target;
    if (!lookup(from, source))
        return -ENOENT;
    const bool folder = source.node->folder;
    const bool there = lookup(to, target);
    if (from == to)
        return 0;
    if (there && no_replace)
        return -EEXIST;
    if (folder && starts_with(to, from + "/"))
        return -EINVAL;  // into itself
    if (there && folder && !target.node->folder)
        return -ENOTDIR;
    if (there && !folder && target.node->folder)
        return -EISDIR;
    if (there && folder && holds_anything(target))
        return -ENOTEMPTY;
    if (!folder && to.find('/') == std::string::npos)
        return refuse_path("rename", from, "the archive's files lie in a folder");
    int result = 0;
    {
        std::lock_guard<std::mutex> lock(commit_mutex_);
        ChangeSet changes;
        changes.rename(from, to);  // an empty folder at TO is replaced
        const uint32_t shape = current()->shape;
        result = commit_set(changes, from, "rename");
        if (result == 0) {
            // Onto a file, that file keeps its entry: what this mount
            // made of FROM goes; onto a free name, FROM's entry moves.
            const bool onto_file = there && !folder;
            std::set<std::string> moved;
            for (auto it = made_here_.begin(); it != made_here_.end();) {
                if (*it == from || starts_with(*it, from + "/")) {
                    if (!onto_file)
                        moved.insert(to + it->substr(from.size()));
                    it = made_here_.erase(it);
                } else {
                    ++it;
                }
            }
            made_here_.insert(moved.begin(), moved.end());
            std::unique_lock<std::shared_mutex> generation_lock(generation_mutex_);
            renames_.push_back(Rename{shape, from, to});
        }
    }
    if (result == 0)
        move_drafts(from, to, there && !folder);
    tell_changes_later();
    return result;
}

// Open files at FROM, and below it, go on at TO; those open at a file
// TO replaced are let go.
void MountedArchive::move_drafts(const std::string& from, const std::string& to, bool replaced)
{
    if (replaced)
        let_go(to, false);
    std::lock_guard<std::mutex> lock(drafts_mutex_);
    const std::string prefix = from + "/";
    std::vector<std::pair<std::string, std::shared_ptr<Draft>>> moving;
    const auto found = drafts_.find(from);
    if (found != drafts_.end()) {
        moving.emplace_back(to, std::move(found->second));
        drafts_.erase(found);
    }
    for (auto it = drafts_.lower_bound(prefix); it != drafts_.end() && starts_with(it->first, prefix);) {
        moving.emplace_back(to + it->first.substr(from.size()), std::move(it->second));
        it = drafts_.erase(it);
    }
    for (auto& [path, draft] : moving) {
        {
            std::lock_guard<std::mutex> draft_lock(draft->mutex);
            draft->path = path;
        }
        drafts_[path] = std::move(draft);
    }
    std::lock_guard<std::mutex> created_lock(created_mutex_);
    for (auto& [ino, path] : created_)
        if (path == from || starts_with(path, prefix))
            path = to + path.substr(from.size());
}

// The archive's size, and the bytes of it that no live record uses.
void MountedArchive::space(uint64_t& size, uint64_t& unreferenced, uint64_t& files) const
{
    const std::shared_ptr<const Generation> generation = current();
    size = generation->data_end;
    unreferenced = generation->data_end - generation->referenced;
    files = generation->tree.size();
}

// Unmounting

bool MountedArchive::rescue(Draft& draft, const std::string& path)
{
    const std::string root = options_.archive_path + ".unsaved/";
    OutputTree tree(root, MissingFolders::make);
    std::string name;
    const platform::Folder* folder = tree.open_parent(root + path, name);
    platform::OutputFile out;
    if (!folder) {
        say(shown(path) + ": LOST: cannot make its folder under " + shown(root));
        return false;
    }
    std::string temp_name;
    switch (platform::create_file(*folder, name, out)) {
    case platform::CreateStatus::created:
        break;
    case platform::CreateStatus::exists:
        // Never over what an earlier mount left there: beside it.
        if (platform::create_temp_file(*folder, name, out, temp_name))
            break;
        [[fallthrough]];
    case platform::CreateStatus::failed:
        say(shown(path) + ": LOST: cannot create it under " + shown(root));
        return false;
    }
    std::vector<uint8_t> chunk(copy_chunk);
    bool written = true;
    for (uint64_t done = 0; written && done < draft.size;) {
        const size_t n = size_t(std::min<uint64_t>(chunk.size(), draft.size - done));
        written = draft.scratch.read_at(done, chunk.data(), n) && platform::write_file(out, chunk.data(), n);
        done += n;
    }
    written = platform::sync_file(out) && platform::close_file(out) && written && platform::sync_folder(*folder);
    const std::string where = root + parent_of(path) + (parent_of(path).empty() ? "" : "/") +
                              (temp_name.empty() ? name : temp_name);
    say(shown(path) + (written ? ": not saved in the archive; written to " : ": LOST: cannot write ") + shown(where));
    return written;
}

bool MountedArchive::finish()
{
    stop_teller();
    std::vector<std::shared_ptr<Draft>> drafts;
    {
        std::lock_guard<std::mutex> lock(drafts_mutex_);
        for (auto& listed : drafts_)
            drafts.push_back(std::move(listed.second));
        drafts_.clear();
        for (auto& draft : stranded_)
            drafts.push_back(std::move(draft));
        stranded_.clear();
    }
    bool all_saved = true;
    for (const auto& draft : drafts) {
        std::lock_guard<std::mutex> lock(draft->mutex);
        if (!draft->materialized || draft->unlinked || !draft->dirty)
            continue;
        if (commit(*draft, draft->path) == 0)
            continue;
        spares_.clear();
        rescue(*draft, draft->path);
        all_saved = false;
    }
    // Reclaimed space, once nothing more is to be saved.
    if (options_.compact_ratio >= 0) {
        refresh();
        uint64_t size = 0, unreferenced = 0, files = 0;
        space(size, unreferenced, files);
        if (size > 0 && double(unreferenced) > options_.compact_ratio * double(size)) {
            CompactSizes sizes;
            if (compact_archive(options_.archive_path, std::string(), sizes).completed())
                say(shown(options_.archive_path) + ": compacted from " + std::to_string(sizes.old_size) + " to " +
                    std::to_string(sizes.new_size) + " bytes");
            else
                say(shown(options_.archive_path) + ": cannot be compacted; left as it is");
        }
    }
    return all_saved;
}

}  // namespace tavmerk
