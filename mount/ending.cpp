#include "mount/ending.h"

#include <algorithm>

#include "engine/compact.h"
#include "engine/output_tree.h"

namespace tavmerk {

namespace {

constexpr size_t copy_chunk = size_t(1) << 20;

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
        generations_.refresh();
        uint64_t size = 0, unreferenced = 0, files = 0;
        generations_.space(size, unreferenced, files);
        if (size > 0 && double(unreferenced) > options_.compact_ratio * double(size)) {
            CompactSizes sizes;
            if (compact_archive(options_.archive_path, std::string(), sizes).completed())
                messages_.say(shown(options_.archive_path) + ": compacted from " + std::to_string(sizes.old_size) +
                              " to " + std::to_string(sizes.new_size) + " bytes");
            else
                messages_.say(shown(options_.archive_path) + ": cannot be compacted; left as it is");
        }
    }
    return all_saved;
}

bool Ending::rescue(Draft& draft)
{
    const std::string path = draft.path;
    const std::string root = options_.archive_path + ".unsaved/";
    OutputTree tree(root, MissingFolders::make);
    std::string name;
    const platform::Folder* folder = tree.open_parent(root + path, name);
    platform::OutputFile out;
    if (!folder) {
        messages_.say(shown(path) + ": LOST: cannot make its folder under " + shown(root));
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
        messages_.say(shown(path) + ": LOST: cannot create it under " + shown(root));
        return false;
    }
    std::vector<uint8_t> chunk(copy_chunk);
    bool written = true;
    for (uint64_t done = 0; written && done < draft.size;) {
        const size_t n = size_t(std::min<uint64_t>(chunk.size(), draft.size - done));
        written = draft.scratch.read_at(done, chunk.data(), n) && platform::write_file(out, chunk.data(), n);
        done += n;
    }
    written = platform::sync_file(out) && platform::close_file(out) && written && platform::sync_folder(*folder);
    const std::string where = root + parent_of(path) + (parent_of(path).empty() ? "" : "/") +
                              (temp_name.empty() ? name : temp_name);
    messages_.say(shown(path) + (written ? ": not saved in the archive; written to " : ": LOST: cannot write ") + shown(where));
    return written;
}

}  // namespace tavmerk
