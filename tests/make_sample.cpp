// Writes the sample archive to the path given: make_sample examples/sample.pak
#include <cstdio>

#include "sample_archive.h"
#include "test_support.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: make_sample OUTPUT\n", stderr);
        return 2;
    }
    test::write_file(argv[1], test::sample_archive_bytes());
    return 0;
}
