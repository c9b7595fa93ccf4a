#include "mount/open_files.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "archive/layout.h"

namespace tavmerk {

namespace {

constexpr size_t copy_chunk = size_t(1) << 20;

}  // namespace

OpenFiles::OpenFiles(const MountOptions& options, Generations& generations, Messages& messages)
    : options_(options), generations_(generations), messages_(messages), cache_(options.cache_bytes)
{
    scratch_folder_ = parent_of(options_.archive_path);
    if (scratch_folder_.empty())
        scratch_folder_ = "/";
}

// The record data a reference reads (all zero: none).
OpenFiles::ServedData OpenFiles::data_of(const RecordRef& ref)
{
    if (!ref.node)
        return ServedData{};
    return ServedData{ref.generation->file_key, ref.node->data_offset, ref.node->stored_size,
                      ref.node->expanded_size};
}

bool OpenFiles::still_open(Ino ino)
{
    const auto found = older_.find(ino);
    if (found == older_.end())
        return false;
    auto& drafts = found->second;
    drafts.erase(std::remove_if(drafts.begin(), drafts.end(),
                                [](const std::weak_ptr<Draft>& older) {
                                    const std::shared_ptr<Draft> draft = older.lock();
                                    if (!draft)
                                        return true;
                                    MutexLock lock(draft->mutex);
                                    return draft->opens == 0;
                                }),
                 drafts.end());
    if (!drafts.empty())
        return true;
    older_.erase(found);
    return false;
}

bool OpenFiles::current(const Draft& draft) const
{
    if (draft.created || draft.dirty)
        return true;
    RecordRef now;
    return generations_.lookup(draft.path, now) && data_of(now) == data_of(draft.record);
}

int OpenFiles::open(const std::string& path, Ino ino, bool write, Handle*& handle, bool& keep_cache)
{
    std::shared_ptr<Draft> draft;
    bool direct = false, size_unsure = false;
    {
        RecordRef ref;
        const bool found = generations_.lookup(path, ref);
        MutexLock lock(mutex_);
        auto& slot = drafts_[path];
        if (slot) {
            // An open shares the draft there: the one content of the file.
            // One with nothing pending whose record another run replaced
            // is left to the opens that read it, each keeping the version
            // it opened.
            MutexLock draft_lock(slot->mutex);
            if (!slot->created && !slot->dirty && data_of(slot->record) != data_of(ref)) {
                if (slot->opens > 0)
                    older_[ino].push_back(slot);
                slot = nullptr;
            }
        }
        direct = still_open(ino);
        if (!slot) {
            if (!found || ref.node->folder) {
                drafts_.erase(path);
                return found ? -EISDIR : -ENOENT;
            }
            slot = std::make_shared<Draft>(path, std::move(ref));
        }
        draft = slot;
        MutexLock draft_lock(draft->mutex);
        ++draft->opens;
        // What the kernel cached of the file at its last open may stay
        // when the same record data is read again.
        const bool unchanged = !write && !draft->created && !draft->materialized;
        const ServedData now = unchanged ? data_of(draft->record) : ServedData{};
        ServedData& before = served_[ino];
        keep_cache = unchanged && before == now;
        // Read past the cache, this open leaves there what the older
        // version's reads put in it: the next open drops it.
        before = direct ? ServedData{} : now;
        size_unsure = direct || mixed_.count(ino) > 0;
        if (direct)
            mixed_.insert(ino);
        else
            mixed_.erase(ino);
        by_node_[ino] = draft;
    }
    handle = new Handle{draft, direct, size_unsure};
    return 0;
}

int OpenFiles::create(const std::string& path, Handle*& handle, Ino& ino)
{
    auto draft = std::make_shared<Draft>(path, RecordRef());
    {
        MutexLock draft_lock(draft->mutex);
        draft->created = true;
        draft->dirty = true;  // a record even with nothing written (touch)
        if (!materialize(*draft, true))
            return -EIO;
    }
    {
        MutexLock lock(mutex_);
        if (drafts_.count(path))
            return -EEXIST;
        MutexLock draft_lock(draft->mutex);
        draft->opens = 1;
        draft->ino = ino = generations_.new_created(path);
        drafts_[path] = draft;
        by_node_[ino] = draft;
    }
    handle = new Handle{draft, false, false};
    return 0;
}

void OpenFiles::release(Handle* handle)
{
    MutexLock lock(mutex_);
    {
        Draft& draft = *handle->draft;
        MutexLock draft_lock(draft.mutex);
        --draft.opens;
        // A draft goes with its last handle, unless it holds changes that
        // could not be saved (a created file not yet a record among them).
        const bool keep = draft.opens > 0 || draft.dirty;
        const auto found = drafts_.find(draft.path);
        const bool listed = found != drafts_.end() && found->second == handle->draft;
        if (!keep && listed)
            drafts_.erase(found);
        // Changes that could not be saved, of a draft another open took
        // the place of: kept for the end.
        if (draft.opens == 0 && draft.dirty && !draft.unlinked && !listed)
            stranded_.push_back(handle->draft);
        if (draft.opens == 0)
            for (auto it = by_node_.begin(); it != by_node_.end();)
                it = it->second.lock() == handle->draft || it->second.expired() ? by_node_.erase(it) : std::next(it);
    }
    delete handle;
}

// Reading and writing

bool OpenFiles::materialize(Draft& draft, bool empty)
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
    draft.unchanged = draft.size;
    draft.materialized = true;
    return true;
}

int OpenFiles::read_record(const RecordRef& ref, uint8_t* dest, size_t size, uint64_t offset, size_t& got)
{
    got = 0;
    const ExpandedTree::Node& node = *ref.node;
    if (offset >= node.expanded_size)
        return 0;
    const platform::UpdateFile& file = *ref.generation->file;
    if (node.kind == RecordKind::stored) {
        const size_t n = size_t(std::min<uint64_t>(size, node.expanded_size - offset));
        if (!file.read_at(node.data_offset + offset, dest, n)) {
            messages_.say(shown(ref.path) + ": cannot read its data from the archive");
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
        messages_.say(shown(ref.path) + ": its zlib stream cannot be inflated");
        return -EIO;
    }
    return 0;
}

int OpenFiles::read(Handle& handle, size_t size, uint64_t offset, ReadOut& out)
{
    Draft& draft = *handle.draft;
    MutexLock lock(draft.mutex);
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
            messages_.say(shown(ref.path) + ": its zlib stream cannot be inflated");
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

void OpenFiles::changed_at(Draft& draft, uint64_t offset)
{
    draft.unchanged = std::min(draft.unchanged, offset);
    draft.changed_from = std::min(draft.changed_from, offset);
}

int OpenFiles::write(Handle& handle, const uint8_t* data, size_t size, uint64_t offset)
{
    Draft& draft = *handle.draft;
    MutexLock lock(draft.mutex);
    if (!materialize(draft, false))
        return -EIO;
    ++draft.version;  // before the change: a save reading meanwhile reads again
    changed_at(draft, offset);
    if (!draft.scratch.write_at(offset, data, size))
        return -EIO;
    draft.size = std::max(draft.size, offset + size);
    draft.dirty = true;
    return 0;
}

int OpenFiles::truncate(Handle& handle, uint64_t size)
{
    Draft& draft = *handle.draft;
    MutexLock lock(draft.mutex);
    if (!materialize(draft, size == 0))
        return -EIO;
    ++draft.version;
    changed_at(draft, size);
    if (!draft.scratch.truncate(size))
        return -EIO;
    draft.size = size;
    draft.dirty = true;
    return 0;
}

// The table of drafts

std::shared_ptr<Draft> OpenFiles::draft_at(const std::string& path) const
{
    MutexLock lock(mutex_);
    const auto found = drafts_.find(path);
    return found == drafts_.end() ? nullptr : found->second;
}

bool OpenFiles::none() const
{
    MutexLock lock(mutex_);
    return drafts_.empty();
}

bool OpenFiles::draft_attr(const std::string& path, EntryAttr& attr) const
{
    const std::shared_ptr<Draft> draft = draft_at(path);
    if (!draft)
        return false;
    MutexLock lock(draft->mutex);
    // The shared content's size, saved or not: the kernel's own must not
    // go back to an older one, or O_APPEND writes land inside the file.
    if (!draft->materialized || !current(*draft))
        return false;
    if (draft->created)
        attr.ino = draft->ino;
    attr.folder = false;
    attr.size = draft->size;
    return true;
}

bool OpenFiles::handle_attr(const Handle& handle, EntryAttr& attr) const
{
    Draft& draft = *handle.draft;
    MutexLock lock(draft.mutex);
    if (!draft.materialized && !draft.record.node)
        return false;
    attr.folder = false;
    attr.size = draft.materialized ? draft.size : draft.record.node->expanded_size;
    return true;
}

bool OpenFiles::node_attr(Ino ino, EntryAttr& attr) const
{
    std::shared_ptr<Draft> draft;
    {
        MutexLock lock(mutex_);
        const auto found = by_node_.find(ino);
        if (found != by_node_.end())
            draft = found->second.lock();
    }
    return draft && handle_attr(Handle{draft}, attr);
}

void OpenFiles::in_folder(const std::string& folder, int64_t modified_ns,
                          std::vector<std::pair<std::string, EntryAttr>>& created,
                          std::map<std::string, uint64_t>& edited) const
{
    const std::string prefix = joined(folder, "");
    MutexLock lock(mutex_);
    for (const auto& [path, draft] : drafts_) {
        if (parent_of(path) != folder)
            continue;
        MutexLock draft_lock(draft->mutex);
        if (draft->created) {
            EntryAttr attr;
            attr.ino = draft->ino;
            attr.size = draft->size;
            attr.modified_ns = modified_ns;
            created.emplace_back(path.substr(prefix.size()), attr);
        } else if (draft->materialized && current(*draft)) {
            edited.emplace(path.substr(prefix.size()), draft->size);
        }
    }
}

bool OpenFiles::any_below(const std::string& folder) const
{
    MutexLock lock(mutex_);
    const std::string prefix = folder + "/";
    const auto next = drafts_.lower_bound(prefix);
    return next != drafts_.end() && starts_with(next->first, prefix);
}

std::vector<std::shared_ptr<Draft>> OpenFiles::drafts_below(const std::string& folder) const
{
    std::vector<std::shared_ptr<Draft>> below;
    MutexLock lock(mutex_);
    const std::string prefix = folder.empty() ? folder : folder + "/";
    for (auto it = drafts_.lower_bound(prefix); it != drafts_.end() && starts_with(it->first, prefix); ++it)
        below.push_back(it->second);
    return below;
}

bool OpenFiles::drop_unsaved(const std::string& path)
{
    // A save under way may be making it a record: once it is done.
    const std::shared_ptr<Draft> listed = draft_at(path);
    if (!listed)
        return false;
    MutexLock saving(listed->save_mutex);
    MutexLock lock(mutex_);
    const auto found = drafts_.find(path);
    if (found == drafts_.end() || found->second != listed)
        return false;
    {
        MutexLock draft_lock(found->second->mutex);
        if (!found->second->created)
            return false;
        found->second->unlinked = true;
    }
    drafts_.erase(found);
    generations_.drop_created(path, false);
    return true;
}

// Open files read and write on; nothing more of theirs is committed.
void OpenFiles::let_go(const std::string& path, bool below)
{
    MutexLock lock(mutex_);
    const std::string prefix = path + "/";
    const auto let_go_of = [](Draft& draft) {
        MutexLock draft_lock(draft.mutex);
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
    generations_.drop_created(path, below);
}

void OpenFiles::move(const std::string& from, const std::string& to)
{
    MutexLock lock(mutex_);
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
            MutexLock draft_lock(draft->mutex);
            draft->path = path;
        }
        drafts_[path] = std::move(draft);
    }
    generations_.move_created(from, to);
}

std::vector<std::shared_ptr<Draft>> OpenFiles::take_all()
{
    std::vector<std::shared_ptr<Draft>> drafts;
    MutexLock lock(mutex_);
    for (auto& listed : drafts_)
        drafts.push_back(std::move(listed.second));
    drafts_.clear();
    for (auto& draft : stranded_)
        drafts.push_back(std::move(draft));
    stranded_.clear();
    return drafts;
}

}  // namespace tavmerk
