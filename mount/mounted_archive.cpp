#include "mount/mounted_archive.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <utility>

#include "engine/change_set.h"
#include "mount/ending.h"
#include "mount/generations.h"
#include "mount/messages.h"
#include "mount/open_files.h"
#include "mount/saving.h"
#include "platform/platform.h"

namespace tavmerk {

namespace {

// A name's listing cookie: a hash of it (FNV-1a), past 1 and 2 (left for
// "." and ".."). A listing goes in the order of cookies, so that a name
// keeps its place however many others are added or removed meanwhile.
uint64_t cookie_of(const std::string& name)
{
    uint64_t hash = 14695981039346656037ULL;
    for (const char c : name)
        hash = (hash ^ uint8_t(c)) * 1099511628211ULL;
    return 3 + (hash >> 2);
}

// A name of one level: ENAMETOOLONG past what the kernel's own file
// systems take, before anything else is asked of it.
int name_errno(const std::string& name)
{
    return name.size() > longest_name ? -ENAMETOOLONG : 0;
}

// A scratch file that could not be written: a full disk is ENOSPC, a
// file past what the disk's file system holds EFBIG, as they would be
// for a file there.
int scratch_errno(int result)
{
    if (result != -EIO)
        return result;
    const int error = platform::last_error();
    return error == ENOSPC || error == EDQUOT ? -ENOSPC : error == EFBIG ? -EFBIG : result;
}

}  // namespace

MountedArchive::MountedArchive(MountOptions options)
    : options_(std::move(options)),
      messages_(std::make_unique<Messages>()),
      generations_(std::make_unique<Generations>(options_, *messages_)),
      open_files_(std::make_unique<OpenFiles>(options_, *generations_, *messages_)),
      saving_(std::make_unique<Saving>(options_, *generations_, *messages_)),
      ending_(std::make_unique<Ending>(options_, *generations_, *open_files_, *saving_, *messages_))
{
}

MountedArchive::~MountedArchive() = default;

bool MountedArchive::load(std::string& reason)
{
    if (!generations_->load(reason))
        return false;
    ending_->keep_spares();
    return true;
}

int MountedArchive::refuse(const char* action, Ino parent, const std::string& name, const char* why)
{
    if (const int error = name_errno(name))
        return error;
    std::string path;
    return refuse_path(action, generations_->path_in(parent, name, path) ? path : name, why);
}

int MountedArchive::refuse_path(const char* action, const std::string& path, const char* why, int error)
{
    messages_->say("cannot " + std::string(action) + " " + shown(path) + ": " + why);
    return -error;
}

void MountedArchive::remember(Ino ino)
{
    generations_->remember(ino);
}

void MountedArchive::forget(Ino ino, uint64_t count)
{
    generations_->forget(ino, count);
}

void MountedArchive::space(uint64_t& size, uint64_t& unreferenced, uint64_t& files) const
{
    generations_->space(size, unreferenced, files);
}

bool MountedArchive::finish()
{
    return ending_->finish();
}

// Looking

int MountedArchive::lookup(Ino parent, const std::string& name, EntryAttr& attr)
{
    if (const int error = name_errno(name))
        return error;
    Place place;
    const bool drafts = !open_files_->none();
    if (!generations_->place_of(parent, place, drafts) || place.node == ExpandedTree::none)
        return -ENOENT;
    const Generation& generation = *place.generation;
    if (!generation.tree.node(place.node).folder)
        return -ENOTDIR;
    attr.modified_ns = generation.stamp.modified_ns;
    const uint32_t child = generation.tree.child(place.node, name);
    if (child != ExpandedTree::none)
        generations_->attr_of(generation, child, attr);
    const bool drafted = drafts && open_files_->draft_attr(joined(place.path, name), attr);
    generations_->shown_times(attr);
    return child != ExpandedTree::none || drafted ? 0 : -ENOENT;
}

int MountedArchive::getattr(Ino ino, const Handle* handle, EntryAttr& attr)
{
    Place place;
    const bool drafts = !open_files_->none();
    int result = 0;
    bool removed = false;
    if (!generations_->place_of(ino, place, drafts)) {
        // No path left: a file open when removed shows what it reads,
        // with no name.
        attr.modified_ns = place.generation->stamp.modified_ns;
        result = open_files_->node_attr(ino, attr) || generations_->kept_attr(ino, attr) ? 0 : -ENOENT;
        removed = true;
    } else {
        attr.modified_ns = place.generation->stamp.modified_ns;
        if (place.node != ExpandedTree::none)
            generations_->attr_of(*place.generation, place.node, attr);
        const bool drafted = (drafts || place.created) && open_files_->draft_attr(place.path, attr);
        result = place.node != ExpandedTree::none || drafted ? 0 : -ENOENT;
        removed = result != 0;
    }
    // Asked through an open file: the size of what it reads, even once
    // removed or replaced.
    if (handle)
        result = open_files_->handle_attr(*handle, attr) ? 0 : result;
    attr.ino = ino;
    if (removed && !attr.folder)
        attr.links = 0;
    generations_->shown_times(attr);
    return result;
}

int MountedArchive::list(Ino folder, uint64_t after, const ListEach& each)
{
    Place place;
    const bool drafts = !open_files_->none();
    if (!generations_->place_of(folder, place, drafts) || place.node == ExpandedTree::none)
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
        generations_->attr_of(generation, child, listed.attr);
        generations_->shown_times(listed.attr);
        names.push_back(listed);
    }
    // Files being edited show their draft's size; created files not yet
    // saved are their drafts.
    std::vector<std::pair<std::string, EntryAttr>> created;
    if (drafts) {
        std::map<std::string, uint64_t> edited;
        open_files_->in_folder(place.path, generation.stamp.modified_ns, created, edited);
        for (Listed& listed : names) {
            const auto found = edited.find(*listed.name);
            if (found != edited.end())
                listed.attr.size = found->second;
        }
        for (auto& [name, attr] : created) {
            generations_->shown_times(attr);
            names.push_back(Listed{cookie_of(name), &name, attr});
        }
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
    generations_->refresh();
    generations_->tell_changes();
    Place place;
    if (!generations_->place_of(folder, place, false) || place.node == ExpandedTree::none)
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
    if (!generations_->fresh_path(ino, path))
        return -ENOENT;
    return open_path(path, ino, write, truncate, handle, keep_cache);
}

int MountedArchive::open_path(const std::string& path, Ino ino, bool write, bool truncate, Handle*& handle,
                              bool& keep_cache)
{
    int result = open_files_->open(path, ino, write, handle, keep_cache);
    // An older version's reads may have left the kernel its size.
    if (result == 0 && handle->size_unsure && options_.attributes_changed)
        options_.attributes_changed(ino);
    if (result != 0 || !truncate)
        return result;
    result = open_files_->truncate(*handle, 0);
    // A reader's close asks for no flush: the truncation is saved now.
    if (result == 0 && !write)
        result = flush(*handle);
    if (result != 0)
        release(handle);
    return result;
}

// The path a call that changes the tree names: 0, or the errno that
// refuses it (a read-only mount, a folder that is gone).
int MountedArchive::changing_path(Ino parent, const std::string& name, std::string& path)
{
    if (options_.read_only)
        return -EROFS;
    return generations_->path_in(parent, name, path) ? 0 : -ENOENT;
}

int MountedArchive::create(Ino parent, const std::string& name, bool exclusive, Handle*& handle, EntryAttr& attr)
{
    if (const int error = name_errno(name))
        return error;
    std::string path;
    if (const int refused = changing_path(parent, name, path))
        return refused;
    // O_EXCL: what other runs have committed there counts too (a lock
    // file made by another mount of the archive, or by tavmerk-util).
    if (exclusive && saving_->stands_now(path)) {
        generations_->tell_changes_later();
        return -EEXIST;
    }
    RecordRef ref;
    if (generations_->lookup(path, ref))
        return -EEXIST;
    if (path.find('/') == std::string::npos)
        return refuse_path("create", path, "the archive's files lie in a folder");
    if (!writable_path(path))
        return refuse_path("create", path, "the archive cannot hold that name", EINVAL);
    Ino ino = 0;
    const int result = open_files_->create(path, handle, ino);
    if (result != 0)
        return result;
    attr.ino = ino;
    attr.folder = false;
    attr.size = 0;
    attr.modified_ns = ref.generation->stamp.modified_ns;
    return 0;
}

bool MountedArchive::past_cache(const Handle& handle)
{
    return handle.past_cache;
}

void MountedArchive::release(Handle* handle)
{
    open_files_->release(handle);
}

// Reading and writing

int MountedArchive::read(Handle& handle, size_t size, uint64_t offset, ReadOut& out)
{
    return open_files_->read(handle, size, offset, out);
}

// Past largest_file a record cannot hold the file: EFBIG, and a write
// across it is cut short there, as at a file system's own limit.
int MountedArchive::write(Ino ino, Handle& handle, const uint8_t* data, size_t size, uint64_t offset,
                          size_t& written)
{
    written = 0;
    if (offset > largest_file || (offset == largest_file && size > 0))
        return -EFBIG;
    const size_t fits = size_t(std::min<uint64_t>(size, largest_file - offset));
    const int result = scratch_errno(open_files_->write(handle, data, fits, offset));
    if (result == 0) {
        written = fits;
        generations_->drop_times(ino);  // written to: its time is the archive's again
    }
    return result;
}

int MountedArchive::truncate(Ino ino, Handle* handle, uint64_t size)
{
    if (options_.read_only)
        return -EROFS;
    if (size > largest_file)
        return -EFBIG;
    generations_->drop_times(ino);
    if (handle)
        return scratch_errno(open_files_->truncate(*handle, size));
    // Without an open file: opened, cut and saved at once.
    std::string path;
    if (!generations_->fresh_path(ino, path))
        return -ENOENT;
    Handle* own = nullptr;
    bool keep_cache = false;
    int result = open_path(path, ino, true, false, own, keep_cache);
    if (result != 0)
        return result;
    result = scratch_errno(open_files_->truncate(*own, size));
    if (result == 0)
        result = flush(*own);
    release(own);
    return result;
}

// Saving

int MountedArchive::flush(Handle& handle)
{
    // The shared content, whoever wrote it: every open of the file shares
    // one draft.
    const int result = saving_->save(*handle.draft);
    generations_->tell_changes();
    return result;
}

// What is pending at `path` saved first, for a change that moves it.
int MountedArchive::save_pending(const std::string& path)
{
    const std::shared_ptr<Draft> draft = open_files_->draft_at(path);
    return draft ? saving_->save(*draft) : 0;
}

// What is pending below a folder, saved: its files' names and contents
// are then durable, as fsync of a folder makes them on disk. The kernel
// holds the folder while it waits: it is told of changes after.
int MountedArchive::sync_folder(Ino folder)
{
    if (options_.read_only)
        return 0;
    Place place;
    if (!generations_->place_of(folder, place, true) || place.node == ExpandedTree::none)
        return -ENOENT;
    int result = 0;
    // A save passes over a draft with nothing pending, or removed.
    for (const std::shared_ptr<Draft>& draft : open_files_->drafts_below(place.path)) {
        const int saved = saving_->save(*draft);
        result = result != 0 ? result : saved;
    }
    generations_->tell_changes_later();
    return result;
}

int MountedArchive::set_times(Ino ino, const Handle* handle, int64_t accessed_ns, int64_t modified_ns)
{
    if (options_.read_only)
        return -EROFS;
    EntryAttr attr;
    if (const int result = getattr(ino, handle, attr))
        return result;
    generations_->set_times(ino, accessed_ns, modified_ns, attr.modified_ns);
    return 0;
}

// Changing the tree: each change committed before the call returns; the
// kernel is told what it must drop after it has the answer.

int MountedArchive::unlink(Ino parent, const std::string& name)
{
    std::string path;
    if (const int refused = changing_path(parent, name, path))
        return refused;
    if (open_files_->drop_unsaved(path))
        return 0;  // a created file never saved leaves nothing in the archive
    RecordRef ref;
    if (!generations_->lookup(path, ref))
        return -ENOENT;
    if (ref.node->folder)
        return -EISDIR;
    const int result = saving_->remove(path);
    if (result == 0)
        open_files_->let_go(path, false);
    generations_->tell_changes_later();
    return result;
}

int MountedArchive::mkdir(Ino parent, const std::string& name, EntryAttr& attr)
{
    if (const int error = name_errno(name))
        return error;
    std::string path;
    if (const int refused = changing_path(parent, name, path))
        return refused;
    RecordRef ref;
    if (generations_->lookup(path, ref) || open_files_->draft_at(path))
        return -EEXIST;
    if (!writable_path(path))
        return refuse_path("make folder", path, "the archive cannot hold that name", EINVAL);
    const int result = saving_->make_folder(path);
    generations_->tell_changes_later();
    if (result != 0)
        return result;
    if (!generations_->lookup(path, ref))
        return -EIO;
    generations_->attr_of(*ref.generation, uint32_t(ref.node - &ref.generation->tree.node(0)), attr);
    return 0;
}

int MountedArchive::rmdir(Ino parent, const std::string& name)
{
    std::string path;
    if (const int refused = changing_path(parent, name, path))
        return refused;
    RecordRef ref;
    if (!generations_->lookup(path, ref))
        return -ENOENT;
    if (!ref.node->folder)
        return -ENOTDIR;
    if (!ref.node->children.empty() || open_files_->any_below(path))
        return -ENOTEMPTY;
    const int result = saving_->remove_folder(path);
    generations_->tell_changes_later();
    return result;
}

int MountedArchive::rename(Ino from_parent, const std::string& from_name, Ino to_parent, const std::string& to_name,
                           bool no_replace, bool exchange)
{
    if (exchange)
        return -EINVAL;
    if (const int error = name_errno(from_name) ? name_errno(from_name) : name_errno(to_name))
        return error;
    if (options_.read_only)
        return -EROFS;
    std::string from, to;
    if (!generations_->path_in(from_parent, from_name, from) || !generations_->path_in(to_parent, to_name, to))
        return -ENOENT;
    // What is pending at either path is saved first: the rename moves records.
    for (const std::string& path : {from, to}) {
        const int result = save_pending(path);
        if (result != 0)
            return result;
    }
    RecordRef source, target;
    if (!generations_->lookup(from, source))
        return -ENOENT;
    const bool folder = source.node->folder;
    const bool there = generations_->lookup(to, target);
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
    if (there && folder && (!target.node->children.empty() || open_files_->any_below(to)))
        return -ENOTEMPTY;
    if (!folder && to.find('/') == std::string::npos)
        return refuse_path("rename", from, "the archive's files lie in a folder");
    if (!writable_path(to))
        return refuse_path("rename", from, ("the archive cannot hold the name " + shown(to)).c_str(), EINVAL);
    const bool onto_file = there && !folder;
    const int result = saving_->rename(from, to, onto_file);
    if (result == 0) {
        // Open files at TO, replaced, are let go; those at FROM go on at TO.
        if (onto_file)
            open_files_->let_go(to, false);
        open_files_->move(from, to);
    }
    generations_->tell_changes_later();
    return result;
}

}  // namespace tavmerk

