#include "archive/entry_cursor.h"

#include "archive/layout.h"

namespace tavmerk {

namespace {

// A count read as a signed 32-bit value: the top bit set means none.
uint32_t effective_count(uint32_t count)
{
    return int32_t(count) < 0 ? 0 : count;
}

}  // namespace

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
    e.bytes = entry;
    e.folder = e.depth == 0 || is_folder(entry);
    if (e.folder && e.depth > 0 && folder_id(entry) != 0)
        return stop(WalkEnd::bad_folder_id);  // "/E" stops there
    const size_t fixed = e.folder ? folder_name_at : file_entry_fixed_size;
    if (!fits(fixed))
        return stop(WalkEnd::damaged);
    e.name_length = e.folder ? folder_name_length(entry) : file_name_length(entry + file_record_at);
    if (!fits(fixed + uint64_t(e.name_length)))
        return stop(WalkEnd::damaged);
    e.name = entry + fixed;
    if (e.folder) {
        e.record_at = at_;
        e.child_count = effective_count(child_count(entry));
        stack_.push_back(Frame{e.place, e.child_count});
    } else {
        e.record_at = at_ + file_record_at;
        e.child_count = 0;
    }
    at_ += fixed + size_t(e.name_length);
    ++places_;
    return true;
}

}  // namespace tavmerk
