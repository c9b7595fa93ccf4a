#include "engine/tree_diff.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "archive/layout.h"
#include "engine/directory_tree.h"
#include "engine/zstream.h"

namespace tavmerk {

const char* tree_change_word(TreeChangeKind change)
{
    switch (change) {
    case TreeChangeKind::added:
        return "added";
    case TreeChangeKind::removed:
        return "removed";
    case TreeChangeKind::changed:
        break;
    }
    return "changed";
}

namespace {

bool by_path(const TreeItem& a, const TreeItem& b)
{
    return a.path < b.path;
}

// The first of `sorted` at or after `path`, where it starts with `path`/.
bool has_below(const std::vector<std::string>& sorted, const std::string& path)
{
    const std::string prefix = path + "/";
    const auto at = std::lower_bound(sorted.begin(), sorted.end(), prefix);
    return at != sorted.end() && at->compare(0, prefix.size(), prefix) == 0;
}

bool sorted_contains(const std::vector<std::string>& sorted, const std::string& path)
{
    return std::binary_search(sorted.begin(), sorted.end(), path);
}

// Reads a file's stored bytes a piece at a time.
PieceReader stored_bytes(const ArchiveView& view, const TreeItem& file, uint64_t& done)
{
    return [&view, &file, &done](uint8_t* dest, size_t size, size_t& got) {
        got = size_t(std::min<uint64_t>(size, file.stored_size - done));
        if (got > 0 && !view.read_at(uint64_t(file.data_offset) + done, dest, got))
            return false;
        done += got;
        return true;
    };
}

enum class Compared { same, different, first_unreadable, second_unreadable };

// The expanded bytes of `a` against those of `b` (the same expanded size).
Compared compare_expanded(const ArchiveView& va, const TreeItem& a, const ArchiveView& vb, const TreeItem& b)
{
    const size_t piece_size = size_t(std::min<uint64_t>(stream_piece, std::max<uint32_t>(b.expanded_size, 1)));
    std::unique_ptr<uint8_t[]> theirs(new uint8_t[piece_size]);
    bool differs = false, b_failed = false;
    // `b` is read along as `a` comes, through its own piece reader where
    // it is a stream too; here one side is always stored.
    uint64_t b_done = 0;
    const bool written = read_expanded(va, a, [&](const uint8_t* data, size_t size) {
        while (size > 0) {
            const size_t n = std::min(size, piece_size);
            if (!vb.read_at(uint64_t(b.data_offset) + b_done, theirs.get(), n)) {
                b_failed = true;
                return false;
            }
            if (std::memcmp(theirs.get(), data, n) != 0) {
                differs = true;
                return false;
            }
            b_done += n;
            data += n;
            size -= n;
        }
        return true;
    });
    if (b_failed)
        return Compared::second_unreadable;
    if (differs)
        return Compared::different;
    return written ? Compared::same : Compared::first_unreadable;
}

}  // namespace

bool ArchiveTree::read(const ArchiveReader& directory)
{
    DirectoryTree tree;
    if (!tree.read(directory.header(), header_size + directory.block_size()))
        return false;
    files_.clear();
    folders_.clear();
    for (const uint32_t i : tree.in_order()) {
        const DirectoryTree::Node& n = tree.node(i);
        if (!n.has_path())
            continue;
        TreeItem item;
        item.path = tree.path(i);
        item.folder = n.folder;
        if (n.folder) {
            if (!item.path.empty())
                folders_.push_back(std::move(item.path));
            continue;
        }
        if (!n.live_file())
            continue;
        if (uint64_t(n.data_offset) + n.stored_size > directory.file_size())
            return false;
        item.stored_size = n.stored_size;
        item.expanded_size = n.expanded_size;
        item.checksum = n.checksum;
        item.data_offset = n.data_offset;
        files_.push_back(std::move(item));
    }
    // The first record at a path, in directory order, is the one "/E" writes.
    std::stable_sort(files_.begin(), files_.end(), by_path);
    files_.erase(std::unique(files_.begin(), files_.end(),
                             [](const TreeItem& a, const TreeItem& b) { return a.path == b.path; }),
                 files_.end());
    std::sort(folders_.begin(), folders_.end());
    folders_.erase(std::unique(folders_.begin(), folders_.end()), folders_.end());
    paths_ = folders_;
    for (const TreeItem& f : files_)
        paths_.push_back(f.path);
    std::sort(paths_.begin(), paths_.end());
    return true;
}

std::vector<std::string> ArchiveTree::empty_folders() const
{
    std::vector<std::string> out;
    for (const std::string& f : folders_)
        if (!anything_below(f))
            out.push_back(f);
    return out;
}

const TreeItem* ArchiveTree::file_at(const std::string& path) const
{
    TreeItem key;
    key.path = path;
    const auto at = std::lower_bound(files_.begin(), files_.end(), key, by_path);
    return at != files_.end() && at->path == path ? &*at : nullptr;
}

bool ArchiveTree::folder_at(const std::string& path) const
{
    return sorted_contains(folders_, path) || anything_below(path);
}

bool ArchiveTree::empty_folder_at(const std::string& path) const
{
    return sorted_contains(folders_, path) && !anything_below(path);
}

bool ArchiveTree::anything_below(const std::string& path) const
{
    return has_below(paths_, path);
}

std::vector<TreeItem> ArchiveTree::below(const std::string& path) const
{
    const std::string prefix = path + "/";
    std::vector<TreeItem> out;
    TreeItem key;
    key.path = prefix;
    for (auto at = std::lower_bound(files_.begin(), files_.end(), key, by_path);
         at != files_.end() && at->path.compare(0, prefix.size(), prefix) == 0; ++at)
        out.push_back(*at);
    for (auto at = std::lower_bound(folders_.begin(), folders_.end(), prefix);
         at != folders_.end() && at->compare(0, prefix.size(), prefix) == 0; ++at)
        if (!anything_below(*at)) {
            TreeItem folder;
            folder.path = *at;
            folder.folder = true;
            out.push_back(std::move(folder));
        }
    return out;
}

bool read_expanded(const ArchiveView& view, const TreeItem& file,
                   const std::function<bool(const uint8_t*, size_t)>& write)
{
    uint64_t done = 0;
    const PieceReader read = stored_bytes(view, file, done);
    if (file.stored()) {
        const StreamResult copied = copy_in_pieces(file.stored_size, read, write);
        return copied.result == Z_OK && !copied.read_failed && !copied.write_failed && copied.out == file.stored_size;
    }
    const StreamResult inflated = inflate_in_pieces(file.stored_size, file.expanded_size, read, write);
    return inflated.result == Z_OK && !inflated.read_failed && !inflated.write_failed &&
           inflated.out == file.expanded_size;
}

DiffResult diff_trees(const ArchiveView& old_view, const ArchiveView& new_view, std::vector<TreeChange>& out)
{
    ArchiveTree before, after;
    if (!before.read(old_view.directory))
        return {DiffEnd::old_damaged, std::string()};
    if (!after.read(new_view.directory))
        return {DiffEnd::new_damaged, std::string()};
    std::vector<TreeChange> changes;
    const auto add = [&](TreeChangeKind kind, const TreeItem* b, const TreeItem* a) {
        TreeChange c;
        c.change = kind;
        if (b)
            c.before = *b;
        if (a)
            c.after = *a;
        changes.push_back(std::move(c));
    };
    const std::vector<TreeItem>& old_files = before.files();
    const std::vector<TreeItem>& new_files = after.files();
    size_t i = 0, j = 0;
    while (i < old_files.size() || j < new_files.size()) {
        if (j == new_files.size() || (i < old_files.size() && old_files[i].path < new_files[j].path)) {
            add(TreeChangeKind::removed, &old_files[i++], nullptr);
            continue;
        }
        if (i == old_files.size() || new_files[j].path < old_files[i].path) {
            add(TreeChangeKind::added, nullptr, &new_files[j++]);
            continue;
        }
        const TreeItem& a = old_files[i++];
        const TreeItem& b = new_files[j++];
        bool same = a.expanded_size == b.expanded_size && a.stored() == b.stored() && a.same_record(b);
        if (a.expanded_size == b.expanded_size && a.stored() != b.stored()) {
            // The stream is inflated against the stored bytes.
            const bool a_first = !a.stored();
            const Compared c = a_first ? compare_expanded(old_view, a, new_view, b)
                                       : compare_expanded(new_view, b, old_view, a);
            if (c == Compared::first_unreadable || c == Compared::second_unreadable) {
                const bool old_failed = (c == Compared::first_unreadable) == a_first;
                return {old_failed ? DiffEnd::old_damaged : DiffEnd::new_damaged, a.path};
            }
            same = c == Compared::same;
        }
        if (!same)
            add(TreeChangeKind::changed, &a, &b);
    }
    // Empty folders: one that was no folder at all before is added, one
    // that is no folder at all now is removed.
    for (const std::string& f : after.empty_folders())
        if (!before.folder_at(f)) {
            TreeItem item;
            item.path = f;
            item.folder = true;
            add(TreeChangeKind::added, nullptr, &item);
        }
    for (const std::string& f : before.empty_folders())
        if (!after.folder_at(f)) {
            TreeItem item;
            item.path = f;
            item.folder = true;
            add(TreeChangeKind::removed, &item, nullptr);
        }
    std::stable_sort(changes.begin(), changes.end(), [](const TreeChange& x, const TreeChange& y) {
        const TreeItem& a = x.item();
        const TreeItem& b = y.item();
        return a.path != b.path ? a.path < b.path : (!a.folder && b.folder);
    });
    out = std::move(changes);
    return {};
}

}  // namespace tavmerk
