#include "tree_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace test {

bool exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void make_dirs(const std::string& path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        ::mkdir(path.substr(0, at).c_str(), 0777);
    ::mkdir(path.c_str(), 0777);
}

std::vector<std::pair<std::string, std::string>> list_tree(const std::string& root)
{
    std::vector<std::pair<std::string, std::string>> out;
    // Folders still to list, below `root`; no recursion, so any depth.
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        const std::string rel = pending.back();
        pending.pop_back();
        DIR* dir = ::opendir((root + "/" + rel).c_str());
        if (!dir)
            continue;
        while (dirent* e = ::readdir(dir)) {
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
                continue;
            const std::string child = rel.empty() ? e->d_name : rel + "/" + e->d_name;
            const std::string path = root + "/" + child;
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0)
                throw std::runtime_error("cannot look at " + path);
            if (S_ISDIR(st.st_mode)) {
                out.emplace_back(child + "/", "");
                pending.push_back(child);
            } else if (S_ISLNK(st.st_mode)) {
                out.emplace_back(child, "<link>");
            } else if (!S_ISREG(st.st_mode)) {
                out.emplace_back(child, "<special>");
            } else {
                std::ifstream in(path, std::ios::binary);
                if (!in)
                    throw std::runtime_error("cannot read " + path);
                out.emplace_back(child, std::string(std::istreambuf_iterator<char>(in), {}));
            }
        }
        ::closedir(dir);
    }
    std::sort(out.begin(), out.end());
    return out;
}

namespace {

constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Some entry of the open folder `fd` other than "." and ".."; false when
// the folder is empty.
bool first_entry(int fd, std::string& name, bool& is_folder)
{
    DIR* dir = ::fdopendir(::dup(fd));
    if (!dir)
        return false;
    ::rewinddir(dir);  // the duplicate shares the position of earlier reads
    bool found = false;
    while (dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            name = e->d_name;
            found = true;
            break;
        }
    }
    ::closedir(dir);
    struct stat st;
    is_folder = found && ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    return found;
}

}  // namespace

bool remove_tree(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlink(path.c_str()) == 0;
    ::chmod(path.c_str(), 0700);
    int fd = ::open(path.c_str(), folder_flags);
    if (fd < 0)
        return false;
    std::vector<std::string> below;  // folder names from `path` down to `fd`
    for (;;) {
        std::string name;
        bool is_folder = false;
        if (first_entry(fd, name, is_folder)) {
            if (!is_folder) {
                if (::unlinkat(fd, name.c_str(), 0) != 0)
                    break;
                continue;
            }
            ::fchmodat(fd, name.c_str(), 0700, 0);
            const int child = ::openat(fd, name.c_str(), folder_flags);
            if (child < 0)
                break;
            ::close(fd);
            fd = child;
            below.push_back(name);
            continue;
        }
        if (below.empty())
            break;
        const int parent = ::openat(fd, "..", folder_flags);
        if (parent < 0)
            break;
        ::close(fd);
        fd = parent;
        if (::unlinkat(fd, below.back().c_str(), AT_REMOVEDIR) != 0)
            break;
        below.pop_back();
    }
    ::close(fd);
    return below.empty() && ::rmdir(path.c_str()) == 0;
}

}  // namespace test
