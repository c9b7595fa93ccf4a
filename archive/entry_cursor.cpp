#include "archive/entry_cursor.h"

#include <cstring>

#include "archive/layout.h"

namespace tavmerk {

namespace {

// A count read as a signed 32-bit value: the top bit set means none.
uint32_t effective_count(uint32_t count)
{
    return int32_t(count) < 0 ? 0 : count;
}

}  // namespace

std::string_view DirectoryEntry::component() const
{
    const void* nul = std::memchr(name, 0, name_length);
    return {reinterpret_cast<const char*>(name), nul ? size_t(static_cast<const uint8_t*>(nul) - name) : name_length};
}

RecordKind DirectoryEntry::kind() const
{
    if (data_offset == 0)
        return RecordKind::deleted;
    return stored_size == expanded_size ? RecordKind::stored : RecordKind::compressed;
}

EntryCursor::EntryCursor(const uint8_t* block, size_t block_size, uint32_t root_folder_count)
    : block_(block), size_(block_size), roots_left_(effective_count(root_folder_count))
{
}

bool EntryCursor::stop(WalkEnd end)
{
    ended_ = true;
    end_ = end;
    return false;
}

bool EntryCursor::next()
{
    if (ended_)
        return false;
    for (;;) {
        if (stack_.empty()) {
            if (roots_left_ == 0)
                return stop(WalkEnd::complete);
            --roots_left_;
            return read_entry();
        }
        Frame& top = stack_.back();
        if (top.remaining > 0) {
            --top.remaining;
            return read_entry();
        }
        stack_.pop_back();
    }
}

// Reads the entry at the cursor into `entry_` and moves past it: its
// shared prefix, then its fixed fields, then its name, each only once
// fits() says it lies in the block.
bool EntryCursor::read_entry()
{
    DirectoryEntry& e = entry_;
    e.place = places_;
    e.depth = stack_.size();
    e.parent = stack_.empty() ? DirectoryEntry::none : stack_.back().place;
    e.entry_at = at_;
    if (!fits(file_record_at))
        return stop(WalkEnd::damaged);
    const uint8_t* entry = block_ + at_;
    e.entry_key = read_be32(entry);
    e.entry_kind = entry_kind(entry);
    e.tag = folder_id(entry);
    e.folder = e.depth == 0 || is_folder(entry);
    if (e.folder && e.depth > 0 && e.tag != 0)
        return stop(WalkEnd::bad_folder_id);  // "/E" stops there
    const size_t fixed = e.folder ? folder_name_at : file_entry_fixed_size;
    if (!fits(fixed))
        return stop(WalkEnd::damaged);
    const uint8_t* record = entry + file_record_at;
    e.name_length = e.folder ? folder_name_length(entry) : file_name_length(record);
    if (!fits(fixed + uint64_t(e.name_length)))
        return stop(WalkEnd::damaged);
    e.name = entry + fixed;
    if (e.folder) {
        e.record_at = at_;
        e.stored_child_count = tavmerk::child_count(entry);
        e.child_count = effective_count(e.stored_child_count);
        e.stored_size = e.expanded_size = e.checksum = e.data_offset = 0;
        stack_.push_back(Frame{e.place, e.child_count});
    } else {
        e.record_at = at_ + file_record_at;
        e.stored_child_count = e.child_count = 0;
        e.stored_size = tavmerk::stored_size(record);
        e.expanded_size = tavmerk::expanded_size(record);
        e.checksum = record_checksum(record);
        e.data_offset = tavmerk::data_offset(record);
    }
    at_ += fixed + size_t(e.name_length);
    ++places_;
    return true;
}

}  // namespace tavmerk
