#include "mount/generations.h"

#include "engine/compact.h"

#include <algorithm>
#include <utility>

#include "archive/layout.h"
#include "archive/room.h"
#include "engine/directory_tree.h"
#include "engine/history.h"
#include "engine/record_commit.h"

namespace tavmerk {

namespace {

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

// Numbering

uint32_t Numbering::node(Ino ino, size_t size) const
{
    if (inos.empty())
        return ino >= root_ino && ino - 1 < size ? uint32_t(ino - 1) : ExpandedTree::none;
    const auto found = std::lower_bound(nodes.begin(), nodes.end(), std::make_pair(ino, uint32_t(0)));
    return found != nodes.end() && found->first == ino ? found->second : ExpandedTree::none;
}

// Generation

bool Generation::build(const ArchiveReader& reader, const platform::UpdateFile& from)
{
    if (!tree.build(reader))
        return false;
    DirectoryTree entries;
    if (entries.read(image.data(), image.size()))
        for (uint32_t i = 0; i < entries.size(); ++i)
            if (entries.node(i).folder && entries.node(i).has_path()) {
                const std::string path = entries.path(i);
                if (tree.find(path) == ExpandedTree::none)
                    tree.add_folders(path);
            }
    index(reader, from);
    return true;
}


void Generation::index(const ArchiveReader& reader, const platform::UpdateFile& from)
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
    subfolders.assign(tree.size(), 0);
    for (uint32_t i = 1; i < tree.size(); ++i)
        if (tree.node(i).folder)
            ++subfolders[tree.node(i).parent];
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


uint32_t Generation::find(const std::string& path) const
{
    const auto found = by_path.find(hash_more(hash_start, path.data(), path.size()));
    if (found == by_path.end())
        return ExpandedTree::none;
    if (found->second == ExpandedTree::none)
        return tree.find(path);
    return path_is(tree, found->second, path) ? found->second : ExpandedTree::none;
}

// Generations

Generations::Generations(const MountOptions& options, Messages& messages) : options_(options), messages_(messages)
{
}

Generations::~Generations()
{
    stop_teller();
}

bool Generations::load(std::string& reason)
{
    {
        MutexLock lock(load_mutex_);
        if (!reload(reason, true))
            return false;
    }
    teller_ = std::thread([this] { teller(); });
    return true;
}

std::shared_ptr<const Generation> Generations::current() const
{
    ReaderLock lock(mutex_);
    return generation_;
}

namespace {

// What a file's content is known by across loads, wherever its data lies.
uint64_t content_key(const ExpandedTree::Node& node)
{
    return (uint64_t(node.stored_size) << 32 | node.expanded_size) * 0x9E3779B97F4A7C15u ^ node.checksum;
}

}  // namespace

void Generation::carry_times(const Generation* before)
{
    std::unordered_map<uint64_t, int64_t> known;
    if (before)
        for (size_t i = 0; i < before->tree.size(); ++i)
            if (!before->tree.node(uint32_t(i)).folder)
                known.emplace(content_key(before->tree.node(uint32_t(i))), before->file_ns[i]);
    file_ns.assign(tree.size(), stamp.modified_ns);
    for (size_t i = 0; i < tree.size(); ++i) {
        const ExpandedTree::Node& node = tree.node(uint32_t(i));
        const auto found = node.folder ? known.end() : known.find(content_key(node));
        if (found != known.end())
            file_ns[i] = found->second;
    }
}

void Generations::install(std::shared_ptr<const Generation> generation)
{
    WriterLock lock(mutex_);
    const bool renumbered = !generation_ || generation_->numbers != generation->numbers;
    generation_ = std::move(generation);
    if (!renumbered)
        return;
    // Created files now records are found by their numbers.
    MutexLock created_lock(created_mutex_);
    for (auto it = created_.begin(); it != created_.end();)
        it = generation_->node_of(it->first) != ExpandedTree::none ? created_.erase(it) : std::next(it);
}

namespace {

// `reader` and `image` made those of the version the mount was asked for,
// read from the history of the directory in force they hold.
bool take_version(const platform::UpdateFile& file, const std::string& at, ArchiveReader& reader,
                  std::vector<uint8_t>& image, std::string& reason)
{
    const ReadAt read_at = [&file](uint64_t offset, uint8_t* dest, size_t size) {
        return file.read_at(offset, dest, size);
    };
    std::vector<uint8_t> version_image;
    ArchiveReader version;
    const VersionOpen opened = open_version(read_at, reader, at, version_image, version);
    if (opened != VersionOpen::ok) {
        reason = version_problem(opened, at);
        return false;
    }
    image = std::move(version_image);
    reader = version;
    return true;
}

}  // namespace

bool Generations::reload(std::string& reason, bool wait, const Moved* moved)
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
    if (!options_.at.empty() && !take_version(*file, options_.at, reader, next->image, reason))
        return false;
    if (!next->build(reader, *file)) {
        reason = "bad folder id in the directory";
        return false;
    }
    next->shaped_ns = next->stamp.modified_ns;
    // The same file as before keeps its key, and with it the cached spans.
    const std::shared_ptr<const Generation> before = current();
    next->carry_times(before.get());
    if (before)
        note_changes(before, *next, ExpandedTree::none, moved);
    else
        last_ino_ = std::max<Ino>(root_ino, next->tree.size());
    if (before && before->stamp.device == next->stamp.device && before->stamp.file_id == next->stamp.file_id) {
        next->file = before->file;
        next->file_key = before->file_key;
    } else {
        next->file = std::move(file);
        next->file_key = ++file_keys_;
    }
    install(std::move(next));
    return true;
}

void Generations::refresh(bool wait)
{
    // An earlier version stays what it was, whatever is committed since.
    if (!options_.at.empty())
        return;
    platform::FileStamp now;
    if (!platform::stamp_of(options_.archive_path, now) || now == current()->stamp)
        return;
    MutexLock lock(load_mutex_);
    if (now == current()->stamp)
        return;
    std::string reason;
    if (!reload(reason, wait))
        messages_.say(shown(options_.archive_path) + ": " + reason + "; the mount keeps showing what it showed");
}

// The committed directory is the one in force: the mount shows it.
std::shared_ptr<const Generation> Generations::take_up(const std::shared_ptr<const Generation>& generation,
                                                      std::vector<uint8_t> image, uint64_t data_end,
                                                      const platform::FileStamp& stamp, const std::string& saved,
                                                      const Moved* moved)
{
    MutexLock reload_lock(load_mutex_);
    auto next = std::make_shared<Generation>();
    next->image = std::move(image);
    next->data_end = data_end;
    next->stamp = stamp;
    ArchiveReader reader;
    const bool same_file = stamp.device == generation->stamp.device && stamp.file_id == generation->stamp.file_id;
    if (same_file && reader.open(next->image.data(), next->image.size(), next->data_end) && next->build(reader, *generation->file)) {
        next->shaped_ns = next->stamp.modified_ns;
        next->carry_times(generation.get());
        // Other runs may have committed since the last load: the kernel
        // knows the size of the file saved here, not of those.
        note_changes(generation, *next, next->find(saved), moved);
        next->file = generation->file;
        next->file_key = generation->file_key;
        install(std::move(next));
    } else {
        std::string reason;  // a new file (rewritten to make room): loaded whole
        reload(reason, true, moved);
    }
    return current();  // under load_mutex_: none installed since
}

// Gives `after` its numbering, and keeps what the kernel must be told:
// the nodes whose sizes differ but `except` (a tree of the same shape),
// or of the nodes the kernel holds, the names the tree no longer has and
// the attributes that changed (a tree of another shape).
void Generations::note_changes(const std::shared_ptr<const Generation>& kept, Generation& after, uint32_t except,
                               const Moved* moved)
{
    const Generation& before = *kept;
    std::vector<Change> changes;
    if (same_shape(before.tree, after.tree)) {
        after.numbers = before.numbers;
        after.shaped_ns = before.shaped_ns;
        for (uint32_t i = 1; i < after.tree.size(); ++i)
            if (i != except && after.tree.node(i).expanded_size != before.tree.node(i).expanded_size)
                changes.push_back(Change{after.ino_of(i), 0, {}});
        // A file saved by renaming a created one over it is known to the
        // kernel by the created file's node.
        MutexLock lock(created_mutex_);
        for (const auto& [ino, path] : created_) {
            const uint32_t now_at = after.find(path);
            if (now_at == ExpandedTree::none || now_at == except)
                continue;
            const uint32_t then_at = before.find(path);
            if (then_at == ExpandedTree::none ||
                before.tree.node(then_at).expanded_size != after.tree.node(now_at).expanded_size)
                changes.push_back(Change{ino, 0, {}});
        }
    } else {
        after.numbers = number(before, after, moved);
        // Folders show the time of the shape.
        changes.push_back(Change{root_ino, 0, {}});
        WriterLock lock(mutex_);
        for (const auto& [ino, count] : named_nodes_) {
            const uint32_t then_at = before.node_of(ino);
            const uint32_t now_at = after.node_of(ino);
            if (now_at == ExpandedTree::none) {
                if (then_at == ExpandedTree::none)
                    continue;  // gone before, or a created file not yet saved
                const ExpandedTree::Node& node = before.tree.node(then_at);
                changes.push_back(Change{ino, 0, {}});
                changes.push_back(Change{0, before.ino_of(node.parent), node.name});
                gone_[ino] = kept;
                continue;
            }
            const ExpandedTree::Node& node = after.tree.node(now_at);
            if (now_at != except &&
                (then_at == ExpandedTree::none || node.folder ||
                 node.expanded_size != before.tree.node(then_at).expanded_size))
                changes.push_back(Change{ino, 0, {}});
        }
    }
    MutexLock lock(changed_mutex_);
    for (Change& change : changes)
        changed_.push_back(std::move(change));
}

// The numbers of `after`, a tree of another shape than `before`'s: a node
// at a path `before` has, or had before `moved`, as a file or folder as
// there, keeps its number; a created file keeps its own; any other node
// takes a new one. The nodes are matched level by level from the top
// (a node's parent comes before it), with no path made.
std::shared_ptr<const Numbering> Generations::number(const Generation& before, const Generation& after,
                                                     const Moved* moved)
{
    const ExpandedTree& tree = after.tree;
    const uint32_t none = ExpandedTree::none;
    const uint32_t moved_to = moved ? after.find(moved->to) : none;
    const uint32_t moved_from = moved ? after.find(moved->from) : none;
    auto numbering = std::make_shared<Numbering>();
    std::vector<Ino>& inos = numbering->inos;
    inos.assign(tree.size(), 0);
    {
        std::vector<uint32_t> then(tree.size(), none);  // each node's in `before`
        then[0] = 0;
        for (uint32_t i = 1; i < tree.size(); ++i) {
            const ExpandedTree::Node& node = tree.node(i);
            uint32_t at = none;
            if (i == moved_to)
                at = before.find(moved->from);
            else if (i != moved_from && then[node.parent] != none)
                at = before.tree.child(then[node.parent], node.name);
            if (at != none && before.tree.node(at).folder == node.folder) {
                then[i] = at;
                inos[i] = before.ino_of(at);
            }
        }
    }
    inos[0] = root_ino;
    {
        MutexLock lock(created_mutex_);
        for (const auto& [ino, path] : created_) {
            const uint32_t at = after.find(path);
            if (at != none && inos[at] == 0 && !tree.node(at).folder)
                inos[at] = ino;
        }
    }
    numbering->nodes.reserve(tree.size());
    for (uint32_t i = 0; i < tree.size(); ++i) {
        if (inos[i] == 0)
            inos[i] = ++last_ino_;
        numbering->nodes.emplace_back(inos[i], i);
    }
    std::sort(numbering->nodes.begin(), numbering->nodes.end());
    return numbering;
}

// From a change of the tree, which the kernel holds its folders locked
// for until it is answered: told by the teller thread, after.
void Generations::tell_changes_later()
{
    {
        MutexLock lock(changed_mutex_);
        tell_wanted_ = true;
    }
    tell_.notify_one();
}

void Generations::teller()
{
    MutexLock lock(changed_mutex_);
    for (;;) {
        while (!tell_wanted_ && !ending_)
            tell_.wait(changed_mutex_);
        if (ending_)
            return;
        tell_wanted_ = false;
        lock.unlock();
        tell_changes();
        lock.lock();
    }
}

void Generations::stop_teller()
{
    {
        MutexLock lock(changed_mutex_);
        ending_ = true;
    }
    tell_.notify_one();
    if (teller_.joinable())
        teller_.join();
}

// Outside every lock of the mount: telling the kernel may wait for reads
// of those files in flight.
void Generations::tell_changes()
{
    std::vector<Change> changes;
    {
        MutexLock lock(changed_mutex_);
        changes.swap(changed_);
    }
    for (const Change& change : changes) {
        if (change.ino != 0 && options_.attributes_changed)
            options_.attributes_changed(change.ino);
        else if (change.ino == 0 && options_.entry_changed)
            options_.entry_changed(change.parent, change.name);
    }
}

bool Generations::lookup(const std::string& path, RecordRef& ref) const
{
    ref.generation = current();
    const uint32_t found = ref.generation->find(path);
    if (found == ExpandedTree::none)
        return false;
    ref.node = &ref.generation->tree.node(found);
    ref.path = path;
    return true;
}

void Generations::remember(Ino ino)
{
    if (ino == root_ino)
        return;
    WriterLock lock(mutex_);
    ++named_nodes_[ino];
}

void Generations::forget(Ino ino, uint64_t count)
{
    if (ino == root_ino)
        return;
    std::shared_ptr<const Generation> going;  // let go outside the lock
    WriterLock lock(mutex_);
    const auto node = named_nodes_.find(ino);
    if (node == named_nodes_.end())
        return;
    node->second -= std::min(count, node->second);
    if (node->second > 0)
        return;
    named_nodes_.erase(node);
    // A node gone from the tree goes once the kernel has forgotten it, and
    // with the last such node, the generation it was last in.
    const auto gone = gone_.find(ino);
    if (gone != gone_.end()) {
        going = std::move(gone->second);
        gone_.erase(gone);
    }
    MutexLock created_lock(created_mutex_);
    created_.erase(ino);
}

bool Generations::place_of(Ino ino, Place& place, bool with_path) const
{
    if (ino == root_ino) {
        place.generation = current();
        place.node = 0;
        return true;
    }
    {
        MutexLock lock(created_mutex_);
        const auto found = created_.find(ino);
        if (found != created_.end()) {
            place.created = true;
            place.path = found->second;
        }
    }
    // After the created files: one numbered as a record meanwhile is in
    // the tree now in force.
    place.generation = current();
    const Generation& now = *place.generation;
    if (place.created) {
        place.node = now.find(place.path);
        return true;
    }
    place.node = now.node_of(ino);
    if (place.node == ExpandedTree::none)
        return false;
    if (with_path)
        place.path = path_of(now.tree, place.node);
    return true;
}

bool Generations::path_in(Ino parent, const std::string& name, std::string& path) const
{
    Place place;
    if (!place_of(parent, place, true) || place.node == ExpandedTree::none ||
        !place.generation->tree.node(place.node).folder)
        return false;
    path = joined(place.path, name);
    return true;
}

// The path of a node once other runs' commits are taken up: where an
// open starts.
bool Generations::fresh_path(Ino ino, std::string& path)
{
    refresh();
    tell_changes();
    Place place;
    if (!place_of(ino, place, true))
        return false;
    path = std::move(place.path);
    return true;
}

void Generations::attr_of(const Generation& generation, uint32_t node, EntryAttr& attr) const
{
    const ExpandedTree::Node& at = generation.tree.node(node);
    attr.ino = generation.ino_of(node);
    attr.folder = at.folder;
    attr.size = at.folder ? 0 : at.expanded_size;
    attr.modified_ns = at.folder ? generation.shaped_ns : generation.file_ns[node];
    attr.links = at.folder ? 2 + generation.subfolders[node] : 1;
}

// A node the kernel holds whose path the archive no longer has: a file
// still open there reads on in the archive it was opened in, with the
// attributes it had.
bool Generations::kept_attr(Ino ino, EntryAttr& attr) const
{
    std::shared_ptr<const Generation> kept;
    {
        ReaderLock lock(mutex_);
        const auto found = gone_.find(ino);
        if (found == gone_.end())
            return false;
        kept = found->second;
    }
    const uint32_t node = kept->node_of(ino);
    if (node == ExpandedTree::none)
        return false;
    attr_of(*kept, node, attr);
    return true;
}

// The archive's size, and the bytes of it that no live record uses.
void Generations::space(uint64_t& size, uint64_t& unreferenced, uint64_t& files) const
{
    const std::shared_ptr<const Generation> generation = current();
    size = generation->data_end;
    // What compaction with the versions the mount keeps would leave;
    // where its history cannot be read, the directory, room and live data.
    ArchiveReader reader;
    CompactOptions keep;
    keep.keep = options_.compact_keep;
    CompactSizes compacted;
    const platform::UpdateFile& file = *generation->file;
    const bool known =
        reader.open(generation->image.data(), generation->image.size(), generation->data_end) &&
        compacted_size(reader, generation->data_end,
                       [&file](uint64_t at, uint8_t* dest, size_t n) { return file.read_at(at, dest, n); }, keep,
                       compacted);
    const uint64_t kept = std::min(known ? compacted.new_size : generation->referenced, generation->data_end);
    unreferenced = generation->data_end - kept;
    files = generation->tree.size();
}

Ino Generations::new_created(const std::string& path)
{
    const Ino ino = ++last_ino_;
    MutexLock lock(created_mutex_);
    created_[ino] = path;
    return ino;
}

void Generations::drop_created(const std::string& path, bool below)
{
    MutexLock lock(created_mutex_);
    for (auto it = created_.begin(); it != created_.end();)
        it = it->second == path || (below && starts_with(it->second, path + "/")) ? created_.erase(it) : std::next(it);
}

void Generations::move_created(const std::string& from, const std::string& to)
{
    MutexLock lock(created_mutex_);
    for (auto& [ino, path] : created_)
        moved_path(path, from, to);
}

// Times set

void Generations::set_times(Ino ino, int64_t accessed_ns, int64_t modified_ns, int64_t shown_ns)
{
    MutexLock lock(times_mutex_);
    const auto found = times_.find(ino);
    // A time left as it is stays the one shown now.
    SetTimes times = found != times_.end() ? found->second : SetTimes{no_time, no_time};
    if (times.modified_ns == no_time)
        times.modified_ns = shown_ns;
    if (times.accessed_ns == no_time)
        times.accessed_ns = times.modified_ns;
    if (modified_ns != no_time)
        times.modified_ns = modified_ns;
    if (accessed_ns != no_time)
        times.accessed_ns = accessed_ns;
    times_[ino] = times;
    any_times_ = true;
}

void Generations::drop_times(Ino ino)
{
    if (!any_times_)
        return;
    MutexLock lock(times_mutex_);
    times_.erase(ino);
}

void Generations::shown_times(EntryAttr& attr) const
{
    if (!any_times_)
        return;
    MutexLock lock(times_mutex_);
    const auto found = times_.find(attr.ino);
    if (found == times_.end())
        return;
    attr.modified_ns = found->second.modified_ns;
    attr.accessed_ns = found->second.accessed_ns;
}

}  // namespace tavmerk
