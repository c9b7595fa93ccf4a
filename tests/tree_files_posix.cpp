#include "tree_files.h"

#include <dirent.h>
#include <sys/stat.h>

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

}  // namespace test
