#include "archive/walk.h"

#include <cstring>
#include <vector>

#include "archive/layout.h"
#include "platform/platform.h"

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

struct Frame {
    uint32_t remaining;  // children of this folder still to visit
    size_t path_length;  // length of the composed prefix for its children
    bool unsafe;         // a ".." component somewhere in that prefix
};

class Walker {
public:
    Walker(const uint8_t* block, size_t size, const std::string* root, WalkVisitor* visitor)
        : block_(block), size_(size), visitor_(visitor)
    {
        if (root)
            path_ = *root;
    }

    WalkEnd run(uint32_t root_folder_count)
    {
        const size_t root_length = path_.size();
        const uint32_t roots = effective_count(root_folder_count);
        for (uint32_t i = 0; i < roots; ++i) {
            // Top-level entries are folders whatever their kind and id say.
            if (!enter_folder(root_length, false))
                return WalkEnd::damaged;
            const WalkEnd end = walk_children();
            if (end != WalkEnd::complete)
                return end;
        }
        return WalkEnd::complete;
    }

private:
    bool fits(size_t length) const { return cursor_ <= size_ && length <= size_ - cursor_; }

    // Reads the folder entry at the cursor, pushes its frame and moves the
    // cursor to its first child.
    bool enter_folder(size_t prefix_length, bool prefix_unsafe)
    {
        if (!fits(folder_name_at))
            return false;
        const uint8_t* entry = block_ + cursor_;
        const uint32_t name_length = folder_name_length(entry);
        if (!fits(folder_name_at + uint64_t(name_length)))
            return false;
        bool unsafe = prefix_unsafe;
        size_t path_length = 0;
        if (visitor_) {
            const size_t n = component_length(folder_name(entry), name_length);
            const char* name = reinterpret_cast<const char*>(folder_name(entry));
            unsafe = unsafe || name_has_parent_ref(name, n);
            path_.resize(prefix_length);
            path_.append(name, n);
            path_.push_back(platform::separator);
            path_length = path_.size();
        }
        stack_.push_back(Frame{effective_count(child_count(entry)), path_length, unsafe});
        cursor_ += folder_name_at + size_t(name_length);
        return true;
    }

    WalkEnd walk_children()
    {
        while (!stack_.empty()) {
            Frame& top = stack_.back();
            if (top.remaining == 0) {
                stack_.pop_back();
                continue;
            }
            --top.remaining;
            const size_t prefix_length = top.path_length;
            const bool prefix_unsafe = top.unsafe;
            if (!fits(file_record_at))
                return WalkEnd::damaged;
            const uint8_t* entry = block_ + cursor_;
            if (is_folder(entry)) {
                if (folder_id(entry) != 0)
                    return WalkEnd::bad_folder_id;
                if (!enter_folder(prefix_length, prefix_unsafe))
                    return WalkEnd::damaged;
                continue;
            }
            if (!fits(file_entry_fixed_size))
                return WalkEnd::damaged;
            const uint8_t* record = entry + file_record_at;
            const uint32_t name_length = file_name_length(record);
            if (!fits(file_entry_fixed_size + uint64_t(name_length)))
                return WalkEnd::damaged;
            const size_t record_at = cursor_ + file_record_at;
            cursor_ += file_entry_fixed_size + size_t(name_length);
            if (visitor_ && !visit_file(record, record_at, name_length, prefix_length, prefix_unsafe))
                return WalkEnd::stopped;
        }
        return WalkEnd::complete;
    }

    bool visit_file(const uint8_t* record, size_t record_at, uint32_t name_length,
                    size_t prefix_length, bool prefix_unsafe)
    {
        const size_t n = component_length(file_name(record), name_length);
        const char* name = reinterpret_cast<const char*>(file_name(record));
        path_.resize(prefix_length);
        path_.append(name, n);
        if (is_deleted(record)) {
            visitor_->deleted(path_);
            return true;
        }
        if (prefix_unsafe || name_has_parent_ref(name, n)) {
            visitor_->unsafe(path_);
            return true;
        }
        return visitor_->file(path_, record_at);
    }

    const uint8_t* block_;
    size_t size_;
    WalkVisitor* visitor_;
    size_t cursor_ = 0;
    std::string path_;
    std::vector<Frame> stack_;
};

}  // namespace

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

WalkEnd walk_root(const uint8_t* block, size_t block_size, uint32_t root_folder_count,
                  const std::string& root, WalkVisitor& visitor)
{
    return Walker(block, block_size, &root, &visitor).run(root_folder_count);
}

WalkEnd check_directory(const uint8_t* block, size_t block_size, uint32_t root_folder_count)
{
    return Walker(block, block_size, nullptr, nullptr).run(root_folder_count);
}

WalkEnd check_archive(const uint8_t* archive, uint64_t size)
{
    if (size < header_size || directory_size(archive) > size - header_size)
        return WalkEnd::damaged;
    return check_directory(archive + directory_block_at, directory_size(archive), root_folder_count(archive));
}

}  // namespace tavmerk
