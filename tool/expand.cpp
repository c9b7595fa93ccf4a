#include "tool/expand.h"

#include <zlib.h>

#include <memory>
#include <new>

#include "archive/layout.h"
#include "archive/walk.h"
#include "platform/platform.h"
#include "tool/console.h"
#include "tool/output_tree.h"
#include "tool/walk_messages.h"

namespace tavmerk {

namespace {

// Deflate yields at most 258 bytes for two bits (a longest match with the
// shortest codes), so a stream of n bytes cannot inflate past ~1032 n. A
// record claiming more is sized by what its stream can really give.
uint64_t inflate_limit(uint32_t stored)
{
    return uint64_t(stored) * 1032 + 1024;
}

class Expander : public ReportingVisitor {
public:
    Expander(const platform::FileView& view, const std::string& extract_root)
        : view_(view), tree_(extract_root, true)
    {
    }

    bool file(const std::string& path, size_t record_at) override
    {
        expand_file(path, view_.data() + directory_block_at + record_at);
        return true;
    }

private:
    void expand_file(const std::string& path, const uint8_t* record)
    {
        const uint32_t offset = data_offset(record);
        const uint32_t stored = stored_size(record);
        if (uint64_t(offset) + stored > view_.size()) {
            say("Error in file data %s\n", path);
            return;
        }
        std::string name;
        const platform::Folder* folder = tree_.open_parent(path, name);
        if (!folder) {
            say("Can't create file %s\n", path);
            return;
        }
        platform::OutputFile out;
        switch (platform::create_file(*folder, name, out)) {
        case platform::CreateStatus::created:
            break;
        case platform::CreateStatus::exists:
            say("File %s alredy exists\n", path);
            pause_for_key();
            return;
        case platform::CreateStatus::failed:
            say("Can't create file %s\n", path);
            return;
        }

        const uint8_t* data = view_.data() + offset;
        bool written;
        if (is_stored(record)) {
            written = platform::write_file(out, data, stored);
        } else {
            written = inflate_and_write(out, data, stored, expanded_size(record));
        }
        written = platform::close_file(out) && written;
        if (!written) {
            platform::remove_file(*folder, name);
            say("Can't write file %s\n", path);
            return;
        }
        say(is_stored(record) ? "Unpacked file %s\n" : "%s\n", path);
    }

    // Inflates with zlib's one-shot `uncompress` and writes what it gave,
    // also after a failure, as the format's own tool does.
    static bool inflate_and_write(platform::OutputFile& out, const uint8_t* data, uint32_t stored,
                                  uint32_t expanded)
    {
        const uint64_t capacity = std::min<uint64_t>(expanded, inflate_limit(stored));
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[capacity ? capacity : 1]);
        uLongf length = uLongf(capacity);
        int result;
        if (buffer) {
            result = uncompress(buffer.get(), &length, data, stored);
        } else {
            result = Z_MEM_ERROR;
            length = 0;
        }
        if (result != Z_OK)
            say("Error unpacking %d\n", result);
        return platform::write_file(out, buffer.get(), length);
    }

    const platform::FileView& view_;
    OutputTree tree_;
};

}  // namespace

bool expand_archive(const std::string& archive_path, const std::string& extract_root)
{
    platform::FileView view;
    switch (platform::map_file(archive_path, view)) {
    case platform::ViewStatus::ok:
        break;
    case platform::ViewStatus::cannot_open:
        say("Can't open dir file %s\n", archive_path);
        return false;
    case platform::ViewStatus::cannot_map:
        report_damaged(archive_path);
        return false;
    }
    // The whole directory is checked before the first file is written.
    const uint8_t* header = view.data();
    if (view.size() < header_size || directory_size(header) > view.size() - header_size ||
        check_directory(header + directory_block_at, directory_size(header), root_folder_count(header)) ==
            WalkEnd::damaged) {
        report_damaged(archive_path);
        return false;
    }
    Expander expander(view, extract_root);
    const WalkEnd end = walk_root(header + directory_block_at, directory_size(header),
                                  root_folder_count(header), extract_root, expander);
    return report_walk_end(end, archive_path);
}

}  // namespace tavmerk
