#include "archive/walk.h"

#include <cstring>
#include <utility>

#include "archive/layout.h"

namespace tavmerk {

namespace {

// Length of a name as a path component: up to its first NUL.
size_t component_length(const uint8_t* name, uint32_t name_length)
{
    const void* nul = std::memchr(name, 0, name_length);
    return nul ? size_t(static_cast<const uint8_t*>(nul) - name) : name_length;
}

// A count read as a signed 32-bit value: the top bit set means none.
uint32_t effective_count(uint32_t count)
{
    return int32_t(count) < 0 ? 0 : count;
}

}  // namespace

RecordCursor::RecordCursor(const uint8_t* block, size_t block_size, uint32_t root_folder_count, std::string root,
                           char separator, PathComposing paths)
    : block_(block),
      size_(block_size),
      roots_left_(effective_count(root_folder_count)),
      root_length_(root.size()),
      separator_(separator),
      compose_(paths == PathComposing::compose)
{
    entry_.path = std::move(root);
}

bool RecordCursor::stop(WalkEnd end)
{
    ended_ = true;
    end_ = end;
    return false;
}

// Reads the folder entry at the cursor, pushes its frame and moves the
// cursor to its first child.
bool RecordCursor::enter_folder(size_t prefix_length, bool prefix_unsafe)
{
    if (!fits(folder_name_at))
        return false;
    const uint8_t* entry = block_ + cursor_;
    const uint32_t name_length = folder_name_length(entry);
    if (!fits(folder_name_at + uint64_t(name_length)))
        return false;
    bool unsafe = prefix_unsafe;
    size_t path_length = 0;
    if (compose_) {
        const size_t n = component_length(folder_name(entry), name_length);
        const char* name = reinterpret_cast<const char*>(folder_name(entry));
        unsafe = unsafe || name_has_parent_ref(name, n);
        std::string& path = entry_.path;
        path.resize(prefix_length);
        path.append(name, n);
        path.push_back(separator_);
        path_length = path.size();
    }
    stack_.push_back(Frame{effective_count(child_count(entry)), path_length, unsafe});
    cursor_ += folder_name_at + size_t(name_length);
    ++folders_;
    return true;
}

// Reads the file entry at the cursor into `entry_` and moves past it.
bool RecordCursor::read_file(size_t prefix_length, bool prefix_unsafe)
{
    if (!fits(file_entry_fixed_size))
        return false;
    const uint8_t* record = block_ + cursor_ + file_record_at;
    const uint32_t name_length = file_name_length(record);
    if (!fits(file_entry_fixed_size + uint64_t(name_length)))
        return false;
    FileEntry& e = entry_;
    e.record_at = cursor_ + file_record_at;
    e.stored_size = stored_size(record);
    e.expanded_size = expanded_size(record);
    e.checksum = record_checksum(record);
    e.data_offset = data_offset(record);
    e.kind = is_deleted(record) ? RecordKind::deleted
             : is_stored(record) ? RecordKind::stored
                                 : RecordKind::compressed;
    e.unsafe = false;
    if (compose_) {
        const size_t n = component_length(file_name(record), name_length);
        const char* name = reinterpret_cast<const char*>(file_name(record));
        e.path.resize(prefix_length);
        e.path.append(name, n);
        e.unsafe = e.live() && (prefix_unsafe || name_has_parent_ref(name, n));
    }
    cursor_ += file_entry_fixed_size + size_t(name_length);
    return true;
}

bool RecordCursor::next()
{
    if (ended_)
        return false;
    for (;;) {
        if (stack_.empty()) {
            if (roots_left_ == 0)
                return stop(WalkEnd::complete);
            --roots_left_;
            // Top-level entries are folders whatever their kind and id say.
            if (!enter_folder(root_length_, false))
                return stop(WalkEnd::damaged);
            continue;
        }
        Frame& top = stack_.back();
        if (top.remaining == 0) {
            stack_.pop_back();
            continue;
        }
        --top.remaining;
        const size_t prefix_length = top.path_length;
        const bool prefix_unsafe = top.unsafe;
        if (!fits(file_record_at))
            return stop(WalkEnd::damaged);
        const uint8_t* entry = block_ + cursor_;
        if (!is_folder(entry))
            return read_file(prefix_length, prefix_unsafe) || stop(WalkEnd::damaged);
        if (folder_id(entry) != 0)
            return stop(WalkEnd::bad_folder_id);
        if (!enter_folder(prefix_length, prefix_unsafe))
            return stop(WalkEnd::damaged);
    }
}

bool name_has_parent_ref(const char* name, size_t length)
{
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || platform::is_separator(name[i])) {
            if (i - start == 2 && name[start] == '.' && name[start + 1] == '.')
                return true;
            start = i + 1;
        }
    }
    return false;
}

WalkEnd check_directory(const uint8_t* block, size_t block_size, uint32_t root_folder_count)
{
    RecordCursor records(block, block_size, root_folder_count, std::string(), platform::separator,
                         PathComposing::skip);
    while (records.next()) {
    }
    return records.end();
}

}  // namespace tavmerk
