// Runs a fuzz target over files instead of under libFuzzer, so that its
// corpus is an ordinary test under any compiler:
//   fuzz_TARGET_corpus FILE_OR_FOLDER...
// Each input is passed in a buffer of its exact size. A failed check aborts,
// as under the fuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> inputs_in(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        fuzz::fail("no such corpus: " + path);
    if (!S_ISDIR(st.st_mode))
        return {path};
    std::vector<std::string> files;
    DIR* dir = ::opendir(path.c_str());
    while (dirent* e = dir ? ::readdir(dir) : nullptr)
        if (e->d_name[0] != '.')
            files.push_back(path + "/" + e->d_name);
    if (dir)
        ::closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::string& file : inputs_in(argv[i])) {
            fuzz::Bytes bytes;
            if (!fuzz::read_whole(file, bytes))
                fuzz::fail("cannot read " + file);
            std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
            std::copy(bytes.begin(), bytes.end(), exact.get());
            LLVMFuzzerTestOneInput(exact.get(), bytes.size());
            ++count;
        }
    }
    std::fprintf(stderr, "%zu inputs ran clean\n", count);
    return count > 0 ? 0 : 1;  // an empty corpus tests nothing
}
