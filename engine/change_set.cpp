#include "engine/change_set.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "archive/layout.h"
#include "archive/reader.h"
#include "archive/redo.h"
#include "archive/room.h"
#include "checksum/checksum.h"
#include "engine/archive_commit.h"
#include "engine/archive_rewrite.h"
#include "engine/compact.h"
#include "engine/directory_tree.h"
#include "engine/inflate.h"
#include "engine/ordered_work.h"
#include "engine/record_commit.h"
#include "engine/zstream.h"

namespace tavmerk {

Content Content::of_bytes(std::vector<uint8_t> data)
{
    Content c;
    c.size = data.size();
    c.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(data));
    return c;
}

Content Content::of_file(std::string absolute_path)
{
    Content c;
    c.file_path = std::move(absolute_path);
    return c;
}

Content Content::of_reader(uint64_t size, std::function<bool(uint64_t, uint8_t*, size_t)> read)
{
    Content c;
    c.size = size;
    c.read = std::move(read);
    return c;
}

void ChangeSet::put(std::string path, Content content, Storage storage)
{
    Change c;
    c.kind = ChangeKind::put;
    c.path = std::move(path);
    c.content = std::move(content);
    c.storage = storage;
    changes_.push_back(std::move(c));
}

void ChangeSet::remove(std::string path, bool drop)
{
    Change c;
    c.kind = ChangeKind::remove;
    c.path = std::move(path);
    c.drop = drop;
    changes_.push_back(std::move(c));
}

void ChangeSet::rename(std::string from, std::string to)
{
    Change c;
    c.kind = ChangeKind::rename;
    c.path = std::move(from);
    c.to = std::move(to);
    changes_.push_back(std::move(c));
}

void ChangeSet::mkdir(std::string path)
{
    Change c;
    c.kind = ChangeKind::mkdir;
    c.path = std::move(path);
    changes_.push_back(std::move(c));
}

namespace {

// Names Windows gives to devices, with or without an extension.
bool device_name(const std::string& name)
{
    std::string stem = name.substr(0, name.find('.'));
    for (char& c : stem)
        c = char(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL")
        return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

// The longest name Linux file systems (and Windows, counted in UTF-16
// units, never more than the bytes) take for one level.
constexpr size_t longest_name = 255;

bool writable_name(const std::string& name)
{
    if (name.empty() || name.size() > longest_name || name == "." || name == ".." || device_name(name))
        return false;
    // Windows drops a trailing dot or space, so the name would change.
    if (name.back() == '.' || name.back() == ' ')
        return false;
    for (const char ch : name) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || std::strchr("\\<>:\"|?*", ch))
            return false;
    }
    return true;
}

std::vector<std::string> split_levels(const std::string& path)
{
    std::vector<std::string> levels;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') {
            levels.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    return levels;
}

std::string parent_of(const std::string& path)
{
    const size_t at = path.rfind('/');
    return at == std::string::npos ? std::string() : path.substr(0, at);
}

std::string last_level(const std::string& path)
{
    const size_t at = path.rfind('/');
    return at == std::string::npos ? path : path.substr(at + 1);
}

// The bytes of a put, opened when they are read and closed after.
class ContentReader {
public:
    explicit ContentReader(const Content& content) : content_(content) {}

    // Opens the content and gives its size; false (with `error`) when it
    // cannot be opened.
    bool open(uint64_t& size)
    {
        if (content_.bytes) {
            size = content_.bytes->size();
            return true;
        }
        if (content_.read) {
            size = content_.size;
            return true;
        }
        std::string folder_path, name;
        if (!split_path(content_.file_path, folder_path, name) ||
            !platform::open_root_folder(folder_path, platform::MissingFolders::refuse, folder_)) {
            error = platform::last_error();
            return false;
        }
        if (platform::open_regular_file(folder_, name, archive_size_limit - 1, file_, size) !=
            platform::ReadStatus::ok) {
            error = platform::last_error();
            return false;
        }
        return true;
    }

    bool read(uint64_t offset, uint8_t* dest, size_t size)
    {
        if (content_.bytes) {
            if (offset + size > content_.bytes->size())
                return false;
            std::memcpy(dest, content_.bytes->data() + offset, size);
            return true;
        }
        if (content_.read)
            return content_.read(offset, dest, size);
        size_t got = 0;
        if (!platform::read_file(file_, dest, size, got, offset)) {
            error = platform::last_error();
            return false;
        }
        if (got != size) {
            error = platform::changed_while_read;  // it shrank
            return false;
        }
        return true;
    }

    // After the last read: false (with `error`) when a file has bytes past
    // the `size` it had when it was opened: it grew while it was read.
    bool ended_at(uint64_t size)
    {
        if (!content_.bytes && !content_.read) {
            uint8_t past;
            size_t got = 0;
            if (!platform::read_file(file_, &past, 1, got, size)) {
                error = platform::last_error();
                return false;
            }
            if (got != 0) {
                error = platform::changed_while_read;
                return false;
            }
        }
        return true;
    }

    int error = 0;

private:
    const Content& content_;
    platform::Folder folder_;
    platform::InputFile file_;
};

// A put's content made ready before the lock: its size and, unless it is
// to be stored, its level-9 zlib stream with its checksum.
struct Prepared {
    const Content* content = nullptr;
    size_t change = no_place;  // the change it is for
    bool store_only = false;
    uint64_t raw_size = 0;
    bool has_stream = false;
    std::vector<uint8_t> stream;  // in memory, or
    uint64_t spool_at = 0;        // in the spool, at this offset
    bool spooled = false;
    uint64_t stream_size = 0;
    uint32_t stream_sum = 0;
    uint32_t raw_sum = 0;  // of the content itself, for a stored record
    uint64_t size_hint = 0;  // the size expected before it is opened
    bool failed = false;
    int error = 0;
};

// Streams larger than this, or past the budget in all, wait in a scratch
// file rather than in memory.
constexpr uint64_t memory_budget = uint64_t(64) << 20;

// A scratch file with no name beside the archive, for streams waiting to
// be appended.
struct Spool {
    platform::UpdateFile file;
    bool open = false;
    uint64_t size = 0;
    std::string folder;

    bool append(const uint8_t* data, size_t length)
    {
        if (!open)
            open = file.open_unnamed(folder);
        if (!open || !file.write_at(size, data, length))
            return false;
        size += length;
        return true;
    }
};

// Reads the content, summing it, and (unless it is only to be stored)
// compresses it into `out.stream`, or through `to_spool` where given.
void compress_content(Prepared& out, const PieceWriter& to_spool = nullptr)
{
    ContentReader reader(*out.content);
    if (!reader.open(out.raw_size)) {
        out.failed = true;
        out.error = reader.error;
        return;
    }
    uint64_t read = 0;
    bool read_failed = false;
    AdditiveChecksum raw_sum;
    const PieceReader from = [&](uint8_t* dest, size_t size, size_t& got) {
        got = size_t(std::min<uint64_t>(size, out.raw_size - read));
        read_failed = got > 0 && !reader.read(read, dest, got);
        raw_sum.add(dest, got);
        read += got;
        return !read_failed;
    };
    AdditiveChecksum sum;
    uint64_t stream_size = 0;
    const PieceWriter to = [&](const uint8_t* data, size_t size) {
        if (to_spool ? !to_spool(data, size) : (out.stream.insert(out.stream.end(), data, data + size), false))
            return false;
        sum.add(data, size);
        stream_size += size;
        return true;
    };
    const PieceWriter nowhere = [](const uint8_t*, size_t) { return true; };
    const StreamResult made = out.store_only ? copy_in_pieces(out.raw_size, from, nowhere)
                                             : deflate_in_pieces(out.raw_size, from, to);
    if (read_failed || made.in != out.raw_size || made.result != Z_OK || !reader.ended_at(out.raw_size)) {
        out.failed = true;
        out.error = reader.error;
        out.stream.clear();
        return;
    }
    out.raw_sum = raw_sum.value();
    if (out.store_only)
        return;
    out.has_stream = true;
    out.stream_size = stream_size;
    out.stream_sum = sum.value();
}

// Contents larger than this are compressed straight into the spool, a
// piece at a time, on the calling thread: memory stays bounded whatever
// their size.
constexpr uint64_t largest_in_memory = uint64_t(16) << 20;

class PrepareJob : public Job {
public:
    PrepareJob(Prepared& prepared, Spool& spool, uint64_t& in_memory)
        : prepared_(prepared), spool_(spool), in_memory_(in_memory)
    {
    }
    bool has_work() const override { return !large(); }
    void work() override { compress_content(prepared_); }
    void finish() override
    {
        Prepared& p = prepared_;
        if (large()) {
            spool_large();
            return;
        }
        // Streams beyond the memory budget go to the spool, in order.
        if (p.failed || !p.has_stream || in_memory_ + p.stream.size() <= memory_budget) {
            in_memory_ += p.stream.size();
            return;
        }
        const uint64_t at = spool_.size;
        if (!spool_.append(p.stream.data(), p.stream.size())) {
            p.failed = true;
            p.error = platform::last_error();
            return;
        }
        p.spooled = true;
        p.spool_at = at;
        std::vector<uint8_t>().swap(p.stream);
    }
    size_t cost() const override { return large() ? 0 : size_t(prepared_.size_hint); }

private:
    bool large() const { return !prepared_.store_only && prepared_.size_hint > largest_in_memory; }

    void spool_large()
    {
        Prepared& p = prepared_;
        p.spool_at = spool_.size;
        bool spool_failed = false;
        compress_content(p, [&](const uint8_t* data, size_t size) {
            spool_failed = !spool_.append(data, size);
            return !spool_failed;
        });
        if (spool_failed && p.error == 0)
            p.error = platform::last_error();
        p.spooled = p.has_stream;
    }

    Prepared& prepared_;
    Spool& spool_;
    uint64_t& in_memory_;
};

// A file whose data this commit writes: its node, and what it gets.
struct Target {
    uint32_t node = DirectoryTree::none;
    Prepared* prepared = nullptr;
    Storage storage = Storage::chosen;
    bool replaced = false;    // the record was there (it keeps its method)
    bool was_stored = false;  // its method before
    bool stored = false;      // decided at the commit
    // A rename onto a file of the other method: the index in
    // Applier::recode_sources of FROM's old data, decoded and made this
    // target's content at the commit (`prepared` is set then).
    size_t recode = no_place;
};

// The changes applied to a tree, in order.
class Applier {
public:
    Applier(DirectoryTree& tree, std::vector<Prepared>& prepared, ChangeResult& result)
        : tree_(tree), prepared_(prepared), result_(result)
    {
    }

    ChangeStatus apply(const std::vector<Change>& changes)
    {
        size_t put_index = 0;
        for (size_t i = 0; i < changes.size(); ++i) {
            Change resolved;  // the change with its place in this directory, where it came from another
            ChangeStatus status = resolve_place(changes[i], resolved);
            const Change& c = resolved.place != no_place ? resolved : changes[i];
            if (status == ChangeStatus::committed) {
                switch (c.kind) {
                case ChangeKind::put:
                    status = put(c, prepared_[put_index++]);
                    break;
                case ChangeKind::remove:
                    status = remove(c);
                    break;
                case ChangeKind::rename:
                    status = rename(c);
                    break;
                case ChangeKind::mkdir:
                    status = mkdir(c.path);
                    break;
                }
            }
            if (status != ChangeStatus::committed) {
                result_.failed_change = i;
                return status;
            }
        }
        return ChangeStatus::committed;
    }

    // The targets in the order the changes made them, and which stand.
    std::vector<Target> live_targets() const
    {
        std::vector<Target> out;
        for (const Target& t : targets)
            if (t.node != DirectoryTree::none)
                out.push_back(t);
        return out;
    }

    std::vector<Target> targets;
    // FROM's old data (as a node copy) for each rename onto a file of
    // another storage method: a target of its own (Target::recode), so
    // that later changes replace, drop or carry it like any other.
    std::vector<DirectoryTree::Node> recode_sources;

    // The identity of the directory the tree was read from
    // (directory_identity; 0 for a new archive).
    uint64_t directory = 0;

private:
    // A place taken from another directory than this one reaches the entry
    // at the change's path, where that is the same record: `resolved` is
    // then the change with that entry's place here.
    ChangeStatus resolve_place(const Change& c, Change& resolved) const
    {
        if (c.place == no_place || c.directory == 0 || c.directory == directory)
            return ChangeStatus::committed;
        const uint32_t same = same_record_at(c.path, c.entry);
        if (same == DirectoryTree::none)
            return ChangeStatus::stale_place;
        resolved = c;
        resolved.place = tree_.node(same).place;
        resolved.directory = directory;
        return ChangeStatus::committed;
    }

    // The entry read from this directory, still in the tree, at `path` and
    // with the fields of `entry`; none when there is none.
    uint32_t same_record_at(const std::string& path, const PlacedEntry& entry) const
    {
        for (uint32_t i = 0; i < tree_.size(); ++i) {
            const DirectoryTree::Node& n = tree_.node(i);
            if (n.taken_out || n.place == SIZE_MAX || !n.has_path() || n.folder != entry.folder)
                continue;
            if (!n.folder && (n.data_offset == 0 || n.data_offset != entry.data_offset ||
                              n.stored_size != entry.stored_size || n.expanded_size != entry.expanded_size ||
                              n.checksum != entry.checksum))
                continue;
            if (tree_.path(i) == path)
                return i;
        }
        return DirectoryTree::none;
    }

private:
    void report(ChangeOutcome outcome, const std::string& path, bool folder, const std::string& to = std::string())
    {
        result_.reports.push_back(ChangeReport{outcome, path, to, folder});
    }

    Target* target_of(uint32_t node)
    {
        const auto found = target_at_.find(node);
        return found == target_at_.end() ? nullptr : &targets[found->second];
    }

    // A dropped target stays in the list with no node (see live_targets).
    void drop_target(uint32_t node)
    {
        const auto found = target_at_.find(node);
        if (found == target_at_.end())
            return;
        targets[found->second].node = DirectoryTree::none;
        target_at_.erase(found);
        tree_.set_pending(node, false);
    }

    void add_target(const Target& t)
    {
        target_at_[t.node] = targets.size();
        targets.push_back(t);
        tree_.set_pending(t.node, true);
    }

    // A node's path for reports: as "/E" writes it, or its name.
    std::string shown(uint32_t node) const
    {
        return tree_.path(node);
    }

    // The folder at `path`, made with the folders above it where missing.
    ChangeStatus make_folders(const std::string& path, uint32_t& folder)
    {
        folder = DirectoryTree::none;
        if (path.empty())
            return ChangeStatus::committed;  // the top level
        // What stands at each level is looked up once: a folder made at one
        // level changes nothing at the levels below it.
        const std::vector<std::string> names = split_levels(path);
        const std::vector<DirectoryTree::PathLevel> levels = tree_.along(path);
        std::string at;
        for (size_t i = 0; i < names.size(); ++i) {
            at += (i == 0 ? "" : "/") + names[i];
            if (levels[i].folder != DirectoryTree::none) {
                folder = levels[i].folder;
                continue;
            }
            if (levels[i].file != DirectoryTree::none)
                return ChangeStatus::conflict;
            folder = tree_.make_folder(folder, names[i]);
            report(ChangeOutcome::made, at, true);
        }
        return ChangeStatus::committed;
    }

    // True when a live file stands on the way to `path` (at a level above it).
    bool file_on_the_way(const std::string& path) const
    {
        const std::vector<DirectoryTree::PathLevel> levels = tree_.along(path);
        for (size_t i = 0; i + 1 < levels.size(); ++i)
            if (levels[i].file != DirectoryTree::none)
                return true;
        return false;
    }

    // Checks a path where a new entry is to be made.
    ChangeStatus check_new(const std::string& path, bool file) const
    {
        if (!writable_new_name(path, file))
            return ChangeStatus::refused_name;
        return file_on_the_way(path) ? ChangeStatus::conflict : ChangeStatus::committed;
    }

    void set_target(uint32_t node, Prepared& p, Storage storage, bool replaced)
    {
        drop_target(node);
        const DirectoryTree::Node& n = tree_.node(node);
        Target t;
        t.node = node;
        t.prepared = &p;
        t.storage = storage;
        t.replaced = replaced;
        t.was_stored = n.stored_size == n.expanded_size;
        add_target(t);
    }

    ChangeStatus put(const Change& c, Prepared& p)
    {
        uint32_t file = DirectoryTree::none;
        if (c.place != no_place) {
            file = tree_.at_place(c.place);
            if (file == DirectoryTree::none || tree_.node(file).folder)
                return ChangeStatus::not_found;
        } else {
            file = tree_.file_at(c.path);
        }
        if (file != DirectoryTree::none) {
            const bool live = tree_.node(file).live_file();
            set_target(file, p, c.storage, live);
            report(ChangeOutcome::replaced, shown(file), false);
            return ChangeStatus::committed;
        }
        ChangeStatus status = check_new(c.path, true);
        if (status != ChangeStatus::committed)
            return status;
        if (tree_.folder_stands_at(c.path))
            return ChangeStatus::conflict;
        uint32_t folder = DirectoryTree::none;
        status = make_folders(parent_of(c.path), folder);
        if (status != ChangeStatus::committed)
            return status;
        file = tree_.make_file(folder, last_level(c.path));
        set_target(file, p, c.storage, false);
        report(ChangeOutcome::added, c.path, false);
        return ChangeStatus::committed;
    }

    void remove_file(uint32_t file, bool drop)
    {
        // A deleted entry taken out is removed from the directory too.
        if (tree_.node(file).live_file() || drop)
            report(ChangeOutcome::removed, shown(file), false);
        drop_target(file);
        // A file this change set made leaves no trace.
        if (drop || tree_.node(file).made)
            tree_.take_out(file);
        else
            tree_.mark_deleted(file);
    }

    ChangeStatus remove(const Change& c)
    {
        std::vector<uint32_t> folders;
        uint32_t file = DirectoryTree::none;
        if (c.place != no_place) {
            const uint32_t at = tree_.at_place(c.place);
            if (at == DirectoryTree::none)
                return ChangeStatus::not_found;
            (tree_.node(at).folder ? folders.push_back(at) : void(file = at));
        } else {
            file = tree_.file_at(c.path);
            if (file == DirectoryTree::none)
                folders = tree_.folders_at(c.path);
        }
        if (file != DirectoryTree::none) {
            remove_file(file, c.drop);
            // A path names every live file at it: one behind the first
            // would otherwise be what "/E" writes there next.
            if (c.place == no_place)
                while ((file = tree_.file_at(c.path)) != DirectoryTree::none)
                    remove_file(file, c.drop);
            return ChangeStatus::committed;
        }
        if (folders.empty())
            return ChangeStatus::not_found;
        for (const uint32_t folder : folders) {
            // A folder has no deleted mark: an empty one is taken out.
            if (c.drop || tree_.empty_folder(folder)) {
                for (const uint32_t i : tree_.below(folder))
                    if (tree_.node(i).live_file()) {
                        report(ChangeOutcome::removed, shown(i), false);
                        drop_target(i);
                    }
                report(ChangeOutcome::removed, shown(folder), true);
                tree_.take_out(folder);
                continue;
            }
            for (const uint32_t i : tree_.below(folder))
                if (!tree_.node(i).folder)
                    remove_file(i, false);
        }
        return ChangeStatus::committed;
    }

    ChangeStatus rename(const Change& c)
    {
        uint32_t from = DirectoryTree::none;
        if (c.place != no_place) {
            from = tree_.at_place(c.place);
        } else {
            from = tree_.file_at(c.path);
            if (from == DirectoryTree::none)
                from = tree_.folder_at(c.path);
        }
        if (from == DirectoryTree::none)
            return ChangeStatus::not_found;
        if (!writable_path(c.to))
            return ChangeStatus::refused_name;
        const DirectoryTree::Node& source = tree_.node(from);
        const bool folder = source.folder;
        const std::string from_path = shown(from);
        const bool has_path = source.has_path();
        if (has_path && from_path == c.to)
            return ChangeStatus::committed;  // already there
        if (folder && has_path && c.to.compare(0, from_path.size() + 1, from_path + "/") == 0)
            return ChangeStatus::conflict;  // into itself
        if (!folder && c.to.find('/') == std::string::npos)
            return ChangeStatus::refused_name;
        if (file_on_the_way(c.to))
            return ChangeStatus::conflict;
        const uint32_t onto = tree_.file_at(c.to);
        if (onto != DirectoryTree::none) {
            if (folder)
                return ChangeStatus::conflict;
            take_content(onto, from);
            report(ChangeOutcome::renamed, from_path, false, c.to);
            return ChangeStatus::committed;
        }
        if (tree_.folder_stands_at(c.to)) {
            const std::vector<uint32_t> there = tree_.folders_at(c.to);
            if (!folder || there.empty())
                return ChangeStatus::conflict;
            for (const uint32_t f : there)
                if (!tree_.empty_folder(f))
                    return ChangeStatus::conflict;
            for (const uint32_t f : there)
                tree_.take_out(f);
        }
        uint32_t parent = DirectoryTree::none;
        const ChangeStatus status = make_folders(parent_of(c.to), parent);
        if (status != ChangeStatus::committed)
            return status;
        tree_.move(from, parent, last_level(c.to));
        report(ChangeOutcome::renamed, from_path, folder, c.to);
        return ChangeStatus::committed;
    }

    // `onto` keeps its entry and takes FROM's content; FROM is taken out.
    void take_content(uint32_t onto, uint32_t from)
    {
        Target* pending = target_of(from);
        if (pending) {
            Target t = *pending;
            drop_target(from);
            drop_target(onto);
            const DirectoryTree::Node& o = tree_.node(onto);
            t.node = onto;
            t.replaced = true;
            t.was_stored = o.stored_size == o.expanded_size;
            add_target(t);
        } else {
            drop_target(onto);
            const DirectoryTree::Node src = tree_.node(from);
            DirectoryTree::Node& o = tree_.node(onto);
            const bool same_method = (src.stored_size == src.expanded_size) == (o.stored_size == o.expanded_size);
            if (same_method) {
                o.stored_size = src.stored_size;
                o.expanded_size = src.expanded_size;
                o.checksum = src.checksum;
                o.data_offset = src.data_offset;
            } else {
                Target t;
                t.node = onto;
                t.replaced = true;
                t.was_stored = o.stored_size == o.expanded_size;
                t.recode = recode_sources.size();
                recode_sources.push_back(src);
                add_target(t);
            }
        }
        tree_.take_out(from);
    }

    ChangeStatus mkdir(const std::string& path)
    {
        if (tree_.folder_at(path) != DirectoryTree::none)
            return ChangeStatus::committed;
        ChangeStatus status = check_new(path, false);
        if (status != ChangeStatus::committed)
            return status;
        if (tree_.file_at(path) != DirectoryTree::none)
            return ChangeStatus::conflict;
        uint32_t folder = DirectoryTree::none;
        return make_folders(path, folder);
    }

    DirectoryTree& tree_;
    std::vector<Prepared>& prepared_;
    ChangeResult& result_;
    std::unordered_map<uint32_t, size_t> target_at_;  // node to its target's index
};

// Compresses every put's content, on worker threads where there are
// several; every stream is exactly what one thread makes of it.
bool prepare(const ChangeSet& changes, const CommitOptions& options, const std::string& spool_folder,
             std::vector<Prepared>& prepared, Spool& spool, ChangeResult& result)
{
    for (size_t i = 0; i < changes.changes().size(); ++i)
        if (const Change& c = changes.changes()[i]; c.kind == ChangeKind::put) {
            Prepared p;
            p.content = &c.content;
            p.change = i;
            p.store_only = c.storage == Storage::store;
            prepared.push_back(std::move(p));
        }
    spool.folder = spool_folder;
    uint64_t in_memory = 0;
    {
        OrderedWork work(prepared.size() > 1 ? options.workers : 0, WorkLimits::fixed_budget(size_t(128) << 20));
        for (Prepared& p : prepared) {
            if (options.dry_run)
                continue;  // a dry run reads no content
            if (!p.content->file_path.empty()) {
                platform::FileStamp stamp;
                if (platform::stamp_of(p.content->file_path, stamp))
                    p.size_hint = stamp.size;
            } else {
                p.size_hint = p.content->bytes ? p.content->bytes->size() : p.content->size;
                // A record's expanded size is 32 bits: a larger content
                // would be stored as a damaged record.
                if (p.size_hint >= archive_size_limit) {
                    p.failed = true;
                    continue;
                }
            }
            work.submit(std::make_unique<PrepareJob>(p, spool, in_memory));
        }
        work.finish_all();
    }
    for (size_t i = 0, put = 0; i < changes.changes().size(); ++i) {
        if (changes.changes()[i].kind != ChangeKind::put)
            continue;
        const Prepared& p = prepared[put++];
        if (p.failed && p.content->file_path.empty() && p.size_hint >= archive_size_limit) {
            result.status = ChangeStatus::too_large;
            result.failed_change = i;
            return false;
        }
        if (p.failed) {
            result.status = ChangeStatus::read_failed;
            result.error = p.error;
            result.failed_change = i;
            return false;
        }
    }
    return true;
}

// Decides each target's method: stored, or its prepared stream.
void decide_methods(std::vector<Target>& targets)
{
    for (Target& t : targets) {
        const Prepared& p = *t.prepared;
        bool stored = false;
        switch (t.storage) {
        case Storage::store:
            stored = true;
            break;
        case Storage::compress:
            stored = false;
            break;
        case Storage::chosen:
            stored = t.replaced ? t.was_stored : !(p.has_stream && p.stream_size < p.raw_size);
            break;
        }
        // A stream as long as its source would read back as stored data.
        if (!stored && (!p.has_stream || stream_reads_as_stored(p.stream_size, p.raw_size)))
            stored = true;
        t.stored = stored;
    }
}

uint64_t target_size(const Target& t)
{
    return t.stored ? t.prepared->raw_size : t.prepared->stream_size;
}

// Writes a target's bytes through `write`, a piece at a time: its stream
// from memory or the spool, or, stored, its content read again, whose sum
// must still be the one it had when it was prepared.
bool write_target(const Target& t, Spool& spool, const std::function<bool(const uint8_t*, size_t)>& write,
                  ChangeResult& result)
{
    const Prepared& p = *t.prepared;
    if (!t.stored && !p.spooled)
        return write(p.stream.data(), p.stream.size()) || (result.status = ChangeStatus::write_failed, false);
    ContentReader reader(*p.content);
    uint64_t size = p.stream_size;
    const auto read_failed = [&] {
        result.status = ChangeStatus::read_failed;
        result.error = reader.error;
        result.failed_change = p.change;
        return false;
    };
    if (t.stored && !reader.open(size))
        return read_failed();
    if (t.stored && size != p.raw_size) {
        reader.error = platform::changed_while_read;
        return read_failed();
    }
    std::vector<uint8_t> piece(size_t(std::min<uint64_t>(size, stream_piece)));
    AdditiveChecksum sum;
    for (uint64_t done = 0; done < size;) {
        const size_t n = size_t(std::min<uint64_t>(piece.size(), size - done));
        const bool read = t.stored ? reader.read(done, piece.data(), n)
                                   : spool.file.read_at(p.spool_at + done, piece.data(), n);
        if (!read)
            return read_failed();
        if (!write(piece.data(), n)) {
            result.status = ChangeStatus::write_failed;
            return false;
        }
        sum.add(piece.data(), n);
        done += n;
    }
    if (t.stored && sum.value() != p.raw_sum) {
        reader.error = platform::changed_while_read;  // since it was first read
        return read_failed();
    }
    return !t.stored || reader.ended_at(size) || read_failed();
}

uint32_t target_checksum(const Target& t)
{
    return t.stored ? t.prepared->raw_sum : t.prepared->stream_sum;
}

// FROM's data decoded for a rename onto a file of the other method: the
// content to store again. False when it cannot be read or decoded.
bool decoded_record(const platform::UpdateFile& archive, const DirectoryTree::Node& src, std::vector<uint8_t>& out)
{
    std::vector<uint8_t> stored(src.stored_size);
    if (!archive.read_at(src.data_offset, stored.data(), stored.size()))
        return false;
    if (src.stored_size == src.expanded_size) {
        out = std::move(stored);
        return true;
    }
    out.resize(inflate_room(src.stored_size, src.expanded_size));
    size_t length = 0;
    return inflate_stream(stored.data(), stored.size(), out.data(), out.size(), length) == Z_OK &&
           length == src.expanded_size;
}

// Everything a commit works on.
struct Commit {
    const CommitOptions& options;
    ChangeResult& result;
    DirectoryTree tree;
    std::vector<Prepared> prepared;
    Spool spool;
    std::vector<std::unique_ptr<Content>> recoded_contents;
    std::vector<std::unique_ptr<Prepared>> recoded_prepared;
    uint64_t bytes_done = 0;
    uint64_t records_done = 0;

    Commit(const CommitOptions& o, ChangeResult& r) : options(o), result(r) {}

    bool progress(uint64_t bytes)
    {
        bytes_done += bytes;
        ++records_done;
        if (options.progress && !options.progress(bytes_done, records_done)) {
            result.status = ChangeStatus::cancelled;
            return false;
        }
        return true;
    }

    bool fail(ChangeStatus status, int error = 0)
    {
        result.status = status;
        result.error = error;
        return false;
    }
};

// Targets of renames onto a file of the other method get FROM's decoded
// content.
bool prepare_recoded_targets(Commit& commit, const Applier& applier, const platform::UpdateFile& archive,
                             std::vector<Target>& targets)
{
    for (Target& t : targets) {
        if (t.recode == no_place)
            continue;
        std::vector<uint8_t> data;
        if (!decoded_record(archive, applier.recode_sources[t.recode], data))
            return commit.fail(ChangeStatus::damaged);
        auto content = std::make_unique<Content>(Content::of_bytes(std::move(data)));
        auto p = std::make_unique<Prepared>();
        p->content = content.get();
        compress_content(*p);
        t.prepared = p.get();
        commit.recoded_contents.push_back(std::move(content));
        commit.recoded_prepared.push_back(std::move(p));
    }
    return true;
}

// The image followed by the marker of room that ends at `room_end`.
std::vector<uint8_t> with_room(std::vector<uint8_t> image, uint64_t room_end)
{
    const size_t at = image.size();
    image.resize(at + room_marker_size);
    make_room_marker(directory_size(image.data()), room_end, image.data() + at);
    return image;
}

void give_data(DirectoryTree::Node& n, const Target& t, uint64_t at)
{
    n.stored_size = uint32_t(target_size(t));
    n.expanded_size = uint32_t(t.prepared->raw_size);
    n.checksum = target_checksum(t);
    n.data_offset = uint32_t(at);
}

// True when the bytes that follow `image` in the archive (data_end long)
// hold a room marker for its directory.
bool marker_stands_after(const platform::UpdateFile& archive, const std::vector<uint8_t>& image, uint64_t data_end)
{
    uint8_t bytes[room_marker_size];
    return image.size() + room_marker_size <= data_end && archive.read_at(image.size(), bytes, room_marker_size) &&
           read_room_marker(bytes, directory_size(image.data())) != 0;
}

// The first byte that a record of `reader`'s directory or of `tree` points
// at (UINT64_MAX where none does). A directory written in place, and the
// room after it, end there: the data may lie right after the directory,
// or even inside its block, past the last folder.
uint64_t first_data_byte(const ArchiveReader& reader, const DirectoryTree& tree)
{
    uint64_t first = UINT64_MAX;
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next()) {
        const FileEntry& e = records.entry();
        if (e.live() && e.stored_size > 0)
            first = std::min<uint64_t>(first, e.data_offset);
    }
    for (size_t i = 0; i < tree.size(); ++i) {
        const DirectoryTree::Node& n = tree.node(uint32_t(i));
        if (!n.folder && !n.taken_out && n.data_offset != 0 && n.stored_size > 0)
            first = std::min<uint64_t>(first, n.data_offset);
    }
    return first;
}

// The new data appended after `data_end` and the new directory written in
// place, into the room it has (`room_end`: the room's end, or the old
// directory's own end where there is no room, and never past the first
// byte a record of the old or the new directory points at). False with
// `no_room` set when it does not fit.
bool commit_in_place(Commit& commit, platform::UpdateFile& archive, const std::vector<Target>& targets,
                     uint64_t data_end, uint64_t room_end, bool& no_room)
{
    no_room = false;
    DirectoryTree& tree = commit.tree;
    std::vector<uint8_t> image_now = tree.image();
    uint64_t new_data = 0;
    for (const Target& t : targets)
        new_data += target_size(t);
    if (data_end + new_data + redo_record_size(image_now.size() + room_marker_size) > archive_size_limit)
        return commit.fail(ChangeStatus::too_large);
    // Bytes left after a directory with no room of its own must not read
    // as a marker: a later commit would take the data there for room.
    if (image_now.size() > room_end ||
        (image_now.size() + room_marker_size > room_end && marker_stands_after(archive, image_now, data_end))) {
        no_room = true;
        return false;
    }
    uint64_t at = data_end;
    for (const Target& t : targets) {
        const uint64_t start = at;
        const bool written = write_target(
            t, commit.spool,
            [&](const uint8_t* d, size_t s) {
                if (!archive.write_at(at, d, s))
                    return false;
                at += s;
                return true;
            },
            commit.result);
        if (!written || !commit.progress(at - start)) {
            if (commit.result.status == ChangeStatus::write_failed)
                commit.result.error = platform::last_error();
            archive.truncate(data_end);  // nothing of it stays
            archive.sync();
            return false;
        }
        give_data(tree.node(t.node), t, start);
    }
    std::vector<uint8_t> image = tree.image();
    if (image.size() + room_marker_size <= room_end)
        image = with_room(std::move(image), room_end);
    if (!commit_directory(archive, image, data_end))
        return commit.fail(ChangeStatus::write_failed, platform::last_error());
    commit.result.image = std::move(image);
    return true;
}

// The whole archive written anew at `path`: image, reserved room, then
// every live file's data in directory order, old data copied from
// `old_file` and the targets' data from their contents.
bool commit_rewrite(Commit& commit, const std::vector<Target>& targets, const std::string& path, Placing placing,
                    const platform::FileView* old_file, const std::function<void()>& release)
{
    DirectoryTree& tree = commit.tree;
    std::vector<const Target*> target_of(tree.size(), nullptr);
    for (const Target& t : targets)
        target_of[t.node] = &t;
    const std::vector<uint32_t> order = tree.in_order();
    // Offsets are fixed-size fields: the image's size does not depend on them.
    const uint64_t image_size = tree.image().size();
    const uint64_t room = std::max<uint64_t>(image_size - header_size, least_reserved_room);
    const uint64_t data_start = image_size + room_marker_size + room;
    std::vector<uint32_t> old_offset(tree.size(), 0);
    uint64_t at = data_start;
    for (const uint32_t i : order) {
        DirectoryTree::Node& n = tree.node(i);
        if (n.folder || (!n.live_file() && !target_of[i]))
            continue;
        old_offset[i] = n.data_offset;
        const uint64_t size = target_of[i] ? target_size(*target_of[i]) : n.stored_size;
        if (target_of[i])
            give_data(n, *target_of[i], at);
        else
            n.data_offset = uint32_t(at);
        at += size;
        if (at > archive_size_limit - redo_record_size(image_size + room_marker_size))
            return commit.fail(ChangeStatus::too_large);
    }
    std::vector<uint8_t> image = with_room(tree.image(), data_start);
    const auto write = [&](platform::OutputFile& out, RunEnd& end) {
        if (!platform::write_file(out, image.data(), image.size()) || !write_zeros(out, data_start - image.size()))
            return false;
        for (const uint32_t i : order) {
            const DirectoryTree::Node& n = tree.node(i);
            if (n.folder || n.data_offset == 0)
                continue;
            const bool written =
                target_of[i]
                    ? write_target(*target_of[i], commit.spool,
                                   [&](const uint8_t* d, size_t s) { return platform::write_file(out, d, s); },
                                   commit.result)
                    : platform::write_file_from(out, *old_file, old_offset[i], n.stored_size);
            if (!written || !commit.progress(n.stored_size)) {
                if (commit.result.status != ChangeStatus::committed &&
                    commit.result.status != ChangeStatus::write_failed)
                    end = RunEnd::damaged;  // not a failed write: the status says what
                return false;
            }
        }
        return true;
    };
    const RunResult run = write_archive_file(path, placing, write, release);
    if (!run.completed()) {
        if (run.end == RunEnd::write_failed)
            commit.fail(ChangeStatus::write_failed, run.error);
        return false;
    }
    commit.result.rewritten = true;
    commit.result.image = std::move(image);
    return true;
}

// The room marker's bytes after the directory in force: in the image
// where it ends in one (a redo record's), else from the file.
uint64_t room_in_force(const platform::UpdateFile& archive, const ArchiveReader& reader,
                       const std::vector<uint8_t>& image, uint64_t data_end)
{
    const uint8_t* marker = marker_after_directory(image.data(), image.size());
    uint8_t read[room_marker_size];
    const uint64_t at = header_size + uint64_t(reader.block_size());
    if (!marker && at + room_marker_size <= data_end && archive.read_at(at, read, room_marker_size))
        marker = read;
    return room_end(reader, marker);
}

bool data_outside(const ArchiveReader& reader)
{
    RecordCursor records = reader.records(std::string(), '/');
    while (records.next())
        if (records.entry().live() && !reader.data_inside(records.entry()))
            return true;
    return false;
}

}  // namespace

bool writable_new_name(const std::string& path, bool file)
{
    return writable_path(path) && (!file || path.find('/') != std::string::npos);  // files lie in a folder
}

bool writable_path(const std::string& path)
{
    for (const std::string& level : split_levels(path))
        if (!writable_name(level))
            return false;
    return true;
}

std::string normal_path(const std::string& relative)
{
    std::string levels = relative;
    for (char& c : levels)
        if (platform::is_separator(c))
            c = '/';
    std::string out;
    for (const std::string& level : split_levels(levels)) {
        if (level.empty() || level == ".")
            continue;
        if (!out.empty())
            out.push_back('/');
        out += level;
    }
    return out;
}

ChangeStatus read_tree_paths(const std::string& archive_path, std::vector<TreePath>& out, int& error)
{
    platform::UpdateFile archive;
    if (!archive.open(archive_path, platform::LockKind::shared, platform::Access::read_only)) {
        error = platform::last_error();
        return ChangeStatus::cannot_open;
    }
    std::vector<uint8_t> image;
    uint64_t data_end = 0;
    if (!read_committed_directory(archive, image, data_end)) {
        error = platform::last_error();
        return ChangeStatus::cannot_open;
    }
    DirectoryTree tree;
    if (!tree.read(image.data(), image.size()))
        return ChangeStatus::damaged;
    out.clear();
    for (const uint32_t i : tree.in_order()) {
        const DirectoryTree::Node& n = tree.node(i);
        if (n.has_path())
            out.push_back(TreePath{tree.path(i), n.folder, n.live_file(), n.parent == DirectoryTree::none, n.place});
    }
    return ChangeStatus::committed;
}

ChangeResult commit_changes(const std::string& archive_path, const ChangeSet& changes, const CommitOptions& options)
{
    ChangeResult result;
    Commit commit(options, result);
    // A link at the archive's path stays: the file it leads to is changed.
    std::string path = platform::resolved_path(archive_path);
    if (path.empty())
        path = archive_path;  // cannot be found: the open says so
    std::string folder, name;
    split_path(path, folder, name);
    if (!prepare(changes, options, folder, commit.prepared, commit.spool, result))
        return result;

    auto archive = std::make_unique<platform::UpdateFile>();
    const bool dry = options.dry_run;
    if (!archive->open(path, dry ? platform::LockKind::shared : platform::LockKind::exclusive,
                       dry ? platform::Access::read_only : platform::Access::read_write)) {
        commit.fail(ChangeStatus::cannot_open, platform::last_error());
        return result;
    }
    if (!dry && !finish_interrupted_commit(*archive)) {
        commit.fail(ChangeStatus::write_failed, platform::last_error());
        return result;
    }
    std::vector<uint8_t> old_image;
    uint64_t data_end = 0;
    if (!read_committed_directory(*archive, old_image, data_end)) {
        commit.fail(ChangeStatus::cannot_open, platform::last_error());
        return result;
    }
    ArchiveReader reader;
    if (!reader.open(old_image.data(), old_image.size(), data_end) || data_outside(reader) ||
        !commit.tree.read(old_image.data(), old_image.size())) {
        commit.fail(ChangeStatus::damaged);
        return result;
    }
    const uint64_t room = room_in_force(*archive, reader, old_image, data_end);
    Applier applier(commit.tree, commit.prepared, result);
    applier.directory = directory_identity(old_image.data(), old_image.size());
    result.status = applier.apply(changes.changes());
    result.data_end = data_end;
    std::vector<Target> targets = applier.live_targets();
    if (!result.ok() || dry || (result.reports.empty() && targets.empty())) {
        if (result.ok()) {
            result.image = std::move(old_image);
            archive->stamp(result.stamp);
        }
        return result;
    }
    if (!prepare_recoded_targets(commit, applier, *archive, targets))
        return result;
    decide_methods(targets);

    bool no_room = false;
    const uint64_t room_end =
        std::min(room > 0 ? room : header_size + uint64_t(reader.block_size()), first_data_byte(reader, commit.tree));
    if (commit_in_place(commit, *archive, targets, data_end, room_end, no_room)) {
        archive->size(result.data_end);
        archive->stamp(result.stamp);
        return result;
    }
    if (!no_room)
        return result;
    // The directory outgrows its room: the archive is written anew, with
    // room for later growth. Its old file stays locked until the new one
    // has its name on disk (on Windows, until just before the rename).
    platform::FileView old_file;
    if (platform::map_file(path, old_file) != platform::ViewStatus::ok) {
        commit.fail(ChangeStatus::cannot_open, platform::last_error());
        return result;
    }
    const bool rewritten = commit_rewrite(commit, targets, path, Placing::replace, &old_file, [&] {
        if (!platform::can_replace_open_file) {
            old_file = platform::FileView();
            archive.reset();
        }
    });
    if (rewritten) {
        platform::FileStamp stamp;
        if (platform::stamp_of(path, stamp)) {
            result.stamp = stamp;
            result.data_end = stamp.size;
        }
    }
    return result;
}

ChangeResult create_archive(const std::string& new_path, const ChangeSet& changes,
                            const std::vector<uint8_t>& header, const CommitOptions& options)
{
    ChangeResult result;
    Commit commit(options, result);
    platform::FileStamp there;
    if (platform::stamp_of(new_path, there)) {
        commit.fail(ChangeStatus::exists);
        return result;
    }
    std::string folder, name;
    if (!split_path(new_path, folder, name)) {
        commit.fail(ChangeStatus::write_failed);
        return result;
    }
    if (!prepare(changes, options, folder, commit.prepared, commit.spool, result))
        return result;
    std::vector<uint8_t> empty(header_size, 0);
    if (header.size() == header_size)
        std::copy(header.begin(), header.end(), empty.begin());
    write_be32(empty.data() + root_folder_count_at, 0);
    write_be32(empty.data() + directory_size_at, 0);
    seal_directory(empty.data());
    commit.tree.read(empty.data(), empty.size());
    Applier applier(commit.tree, commit.prepared, result);
    result.status = applier.apply(changes.changes());
    if (!result.ok() || options.dry_run)
        return result;
    std::vector<Target> targets = applier.live_targets();
    decide_methods(targets);
    if (commit_rewrite(commit, targets, new_path, Placing::new_file, nullptr, nullptr)) {
        platform::FileStamp stamp;
        if (platform::stamp_of(new_path, stamp)) {
            result.stamp = stamp;
            result.data_end = stamp.size;
        }
    } else if (result.ok()) {
        commit.fail(ChangeStatus::write_failed, platform::last_error());
    }
    return result;
}

}  // namespace tavmerk
