#include "mount/ending.h"

#include <algorithm>

#include "engine/compact.h"
#include "engine/output_tree.h"

namespace tavmerk {

namespace {

constexpr size_t copy_chunk = size_t(1) << 20;
constexpr size_t page = 4096;

}  // namespace

Ending::Ending(const MountOptions& options, Generations& generations, OpenFiles& open_files, Saving& saving,
               Messages& messages)
    : options_(options), generations_(generations), open_files_(open_files), saving_(saving), messages_(messages)
{
}

void Ending::keep_spares()
{
    for (int i = 0; i < 4; ++i) {
        spares_.push_back(std::make_unique<platform::UpdateFile>());
        spares_.back()->open(options_.archive_path, platform::LockKind::none, platform::Access::read_only);
    }
}

bool Ending::finish()
{
    generations_.stop_teller();
    bool all_saved = true;
    for (const auto& draft : open_files_.take_all()) {
        MutexLock lock(draft->mutex);
        if (!draft->materialized || draft->unlinked || !draft->dirty || saving_.save_locked(*draft) == 0)
            continue;
        spares_.clear();
        rescue(*draft);
        all_saved = false;
    }
    // Reclaimed space, once nothing more is to be saved.
    if (options_.compact_ratio >= 0) {
        CompactOptions compact;
        compact.keep = options_.compact_keep;
        CompactSizes sizes;
        if (compaction_sizes(options_.archive_path, compact, sizes) && sizes.old_size > 0 &&
            double(sizes.old_size - std::min(sizes.old_size, sizes.new_size)) >
                options_.compact_ratio * double(sizes.old_size)) {
            if (compact_archive(options_.archive_path, std::string(), sizes, nullptr, compact).completed())
                messages_.say(shown(options_.archive_path) + ": compacted from " + std::to_string(sizes.old_size) +
                              " to " + std::to_string(sizes.new_size) + " bytes");
            else
                messages_.say(shown(options_.archive_path) + ": cannot be compacted; left as it is");
        }
    }
    return all_saved;
}

// Only the draft's data is copied, so that a sparse file's holes stay
// holes. A piece that cannot be read back is left a hole (zeros), and
// said; a write that fails (the disk is full) ends the copy there, and
// what was written before it stays.
Ending::Copied Ending::copy_data(Draft& draft, platform::OutputFile& out)
{
    Copied copied;
    std::vector<uint8_t> chunk(copy_chunk);
    uint64_t start = 0, end = 0;
    for (uint64_t at = 0; draft.scratch.next_data(at, draft.size, start, end); at = end)
        for (uint64_t done = start; done < end;) {
            const size_t n = size_t(std::min<uint64_t>(chunk.size(), end - done));
            if (!draft.scratch.read_at(done, chunk.data(), n)) {
                copied.unread_at = copied.unread == 0 ? done : copied.unread_at;
                copied.unread += n;
                copied.read_error = platform::last_error();
            } else if (!platform::write_file_at(out, done, chunk.data(), n)) {
                // As much as fits, a page at a time: then the end of it.
                size_t kept = 0;
                while (kept < n && platform::write_file_at(out, done + kept, chunk.data() + kept,
                                                           std::min(page, n - kept)))
                    kept += std::min(page, n - kept);
                copied.write_error = platform::last_error();
                copied.size = done + kept;
                return copied;
            }
            done += n;
        }
    copied.size = draft.size;
    return copied;
}

bool Ending::rescue(Draft& draft)
{
    const std::string path = draft.path;
    const std::string root = options_.archive_path + ".unsaved/";
    const auto reason = [] { return ": " + platform::error_message(platform::last_error()); };
    OutputTree tree(root, MissingFolders::make);
    std::string name;
    const platform::Folder* folder = tree.open_parent(root + path, name);
    platform::OutputFile out;
    if (!folder) {
        messages_.say(shown(path) + ": LOST: cannot make its folder under " + shown(root) + reason());
        return false;
    }
    std::string temp_name;
    switch (platform::create_file(*folder, name, out)) {
    case platform::CreateStatus::created:
        break;
    case platform::CreateStatus::exists:
        // Never over what an earlier mount left there: beside it.
        if (platform::create_temp_file(*folder, name, out, temp_name))
            break;
        [[fallthrough]];
    case platform::CreateStatus::failed:
        messages_.say(shown(path) + ": LOST: cannot create it under " + shown(root) + reason());
        return false;
    }
    Copied copied = copy_data(draft, out);
    // The size set last: a hole at the end, or the end of what was written.
    if (!platform::set_file_size(out, copied.size) && copied.write_error == 0)
        copied.write_error = platform::last_error();
    if (!platform::sync_file(out) && copied.write_error == 0)
        copied.write_error = platform::last_error();
    if (!platform::close_file(out) && copied.write_error == 0)
        copied.write_error = platform::last_error();
    if (!platform::sync_folder(*folder) && copied.write_error == 0)
        copied.write_error = platform::last_error();
    const std::string where = root + parent_of(path) + (parent_of(path).empty() ? "" : "/") +
                              (temp_name.empty() ? name : temp_name);
    if (copied.write_error == 0)
        messages_.say(shown(path) + ": not saved in the archive; written to " + shown(where));
    else if (copied.size < draft.size)
        messages_.say(shown(path) + ": not saved in the archive; only its first " + std::to_string(copied.size) +
                      " of " + std::to_string(draft.size) + " bytes written to " + shown(where) + ": " +
                      platform::error_message(copied.write_error));
    else
        messages_.say(shown(path) + ": not saved in the archive; written to " + shown(where) +
                      ", but perhaps not on disk: " + platform::error_message(copied.write_error));
    if (copied.unread > 0)
        messages_.say(shown(path) + ": " + std::to_string(copied.unread) + " bytes from offset " +
                      std::to_string(copied.unread_at) + " could not be read back (" +
                      platform::error_message(copied.read_error) + "); left as zeros in " + shown(where));
    return copied.write_error == 0 && copied.unread == 0;
}

}  // namespace tavmerk
