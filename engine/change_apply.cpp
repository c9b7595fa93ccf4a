#include "engine/change_apply.h"

#include <string>
#include <unordered_map>

#include "archive/layout.h"
#include "archive/path_rules.h"
#include "engine/zstream.h"

namespace tavmerk {

namespace {

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
            return c.leave_entry ? leave_deleted_entry(c.path) : ChangeStatus::not_found;
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

    // A deleted file's entry made at `path`, where nothing stands.
    ChangeStatus leave_deleted_entry(const std::string& path)
    {
        ChangeStatus status = check_new(path, true);
        if (status != ChangeStatus::committed)
            return status;
        if (tree_.folder_stands_at(path))
            return ChangeStatus::conflict;
        uint32_t folder = DirectoryTree::none;
        status = make_folders(parent_of(path), folder);
        if (status != ChangeStatus::committed)
            return status;
        tree_.make_file(folder, last_level(path));  // no data: deleted
        report(ChangeOutcome::removed, path, false);
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

}  // namespace

Applied apply_changes(DirectoryTree& tree, std::vector<Prepared>& prepared, uint64_t directory,
                      const std::vector<Change>& changes, ChangeResult& result)
{
    Applier applier(tree, prepared, result);
    applier.directory = directory;
    Applied out;
    out.status = applier.apply(changes);
    out.targets = applier.live_targets();
    out.recode_sources = std::move(applier.recode_sources);
    return out;
}

void decide_methods(std::vector<Target>& targets)
{
    for (Target& t : targets) {
        const Prepared& p = *t.prepared;
        if (p.record) {
            t.stored = !p.has_stream;  // as the record was
            continue;
        }
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

uint32_t target_checksum(const Target& t)
{
    return t.stored ? t.prepared->raw_sum : t.prepared->stream_sum;
}

}  // namespace tavmerk
