#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/platform.h"
#include "platform/test_hooks.h"

namespace fuzz {

namespace {

const char sentinel_text[] = "Nothing the tool does may change this file.\n";

std::vector<std::string>& bases_to_remove()
{
    static std::vector<std::string> bases;
    return bases;
}

void remove_bases()
{
    for (const std::string& base : bases_to_remove())
        test::remove_tree(base);
}

std::vector<std::string> entries(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        fail(path + " is gone or no longer a folder");
    while (dirent* e = ::readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void check_sentinel(const std::string& path)
{
    struct stat st;
    Bytes contents;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !read_whole(path, contents) ||
        std::string(contents.begin(), contents.end()) != sentinel_text)
        fail("sentinel changed: " + path);
}

bool is_real_folder(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

void fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::abort();
}

void quiet_tool()
{
    if (!std::freopen("/dev/null", "w", stdout))
        fail("cannot silence standard output");
    tavmerk::platform::set_key_wait_enabled(false);
}

Scratch::Scratch(const std::string& target)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavmerk-fuzz-" + target + "-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        fail("cannot make a scratch folder from " + pattern);
    base_ = pattern;
    if (bases_to_remove().empty())
        std::atexit(remove_bases);
    bases_to_remove().push_back(base_);
    guard_ = base_ + "/guard";
    if (::mkdir(guard_.c_str(), 0700) != 0)
        fail("cannot make " + guard_);
    for (const std::string& folder : {base_, guard_}) {
        const std::string sentinel = folder + "/sentinel";
        write_whole(sentinel, reinterpret_cast<const uint8_t*>(sentinel_text), sizeof sentinel_text - 1);
    }
    archive_ = guard_ + "/archive.pak";
    root_ = guard_ + "/root/";
}

void Scratch::write_archive(const uint8_t* data, size_t size) const
{
    write_whole(archive_, data, size);
}

Bytes Scratch::read_archive() const
{
    Bytes bytes;
    if (!read_whole(archive_, bytes))
        fail("cannot read the archive back");
    return bytes;
}

void Scratch::check_outside_root() const
{
    check_sentinel(base_ + "/sentinel");
    check_sentinel(guard_ + "/sentinel");
    if (entries(base_) != std::vector<std::string>{"guard", "sentinel"})
        fail("something appeared next to " + guard_);
    std::vector<std::string> expected{"archive.pak", "sentinel"};
    if (is_real_folder(root_))
        expected.insert(expected.begin() + 1, "root");
    if (entries(guard_) != expected)
        fail("something appeared next to the root " + root_);
}

void Scratch::remove_root() const
{
    if (!test::remove_tree(root_.substr(0, root_.size() - 1)))
        fail("cannot empty the root " + root_);
}

bool read_whole(const std::string& path, Bytes& out)
{
    // In one read: byte by byte through a stream iterator, an archive of a
    // few dozen KiB costs the fuzzers more than the run they check.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return false;
    const std::streamoff size = in.tellg();
    if (size < 0 || !in.seekg(0))
        return false;
    out.resize(size_t(size));
    return out.empty() || in.read(reinterpret_cast<char*>(out.data()), size).gcount() == size;
}

void write_whole(const std::string& path, const uint8_t* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    if (!out)
        fail("cannot write " + path);
}

}  // namespace fuzz
