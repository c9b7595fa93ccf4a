#include "engine/archive_rewrite.h"

namespace tavmerk {

bool split_path(const std::string& path, std::string& folder, std::string& name)
{
    size_t at = path.size();
    while (at > 0 && !platform::is_separator(path[at - 1]))
        --at;
    if (at == 0 || at == path.size())
        return false;
    folder = path.substr(0, at);
    name = path.substr(at);
    return true;
}

RunResult write_archive_file(const std::string& path, Placing placing,
                             const std::function<bool(platform::OutputFile& out, RunEnd& end)>& write,
                             const std::function<void()>& release)
{
    std::string folder_path, name, temp_name;
    platform::Folder folder;
    platform::OutputFile out;
    if (!split_path(path, folder_path, name) ||
        !platform::open_root_folder(folder_path, platform::MissingFolders::refuse, folder) ||
        !platform::create_temp_file(folder, name, out, temp_name))
        return {RunEnd::write_failed, platform::last_error()};
    // The new file is locked before it takes the name, and the caller keeps
    // the old one locked until the name is on disk: a run waiting for the
    // lock or opening the path meanwhile never writes into a file about to
    // be replaced (UpdateFile::open goes on to the file at the path).
    RunEnd end = RunEnd::write_failed;
    bool written = (placing == Placing::new_file || platform::copy_permissions(path, out)) && write(out, end);
    if (!written && end != RunEnd::write_failed) {
        platform::close_file(out);
        platform::remove_file(folder, temp_name);
        return {end};
    }
    written = written && platform::sync_file(out) && platform::lock_file(out, platform::LockKind::exclusive);
    if (written && release)
        release();
    if (written)
        written = placing == Placing::replace ? platform::replace_file(folder, temp_name, name)
                                              : platform::rename_new_file(folder, temp_name, name);
    if (!written) {
        const int error = platform::last_error();  // before the clean-up's calls
        platform::close_file(out);
        platform::remove_file(folder, temp_name);
        return {RunEnd::write_failed, error};
    }
    if (!platform::sync_folder(folder))
        return {RunEnd::write_failed, platform::last_error()};  // in place, but perhaps not yet on the disk
    return {};
}

}  // namespace tavmerk
