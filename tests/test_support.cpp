// The part of the test support that is the same on every system.
#include "test_support.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test {

std::string native(const std::string& path)
{
    std::string out = path;
    for (char& c : out)
        if (c == '/')
            c = sep;
    return out;
}

void write_file(const std::string& path, const std::string& contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), std::streamsize(contents.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void write_file(const std::string& path, const Bytes& contents)
{
    write_file(path, std::string(contents.begin(), contents.end()));
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Bytes read_bytes(const std::string& path)
{
    const std::string s = read_file(path);
    return Bytes(s.begin(), s.end());
}

Bytes read_head(const std::string& path, size_t size)
{
    std::ifstream in(path, std::ios::binary);
    Bytes out(size);
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(size));
    out.resize(size_t(in.gcount()));
    return out;
}

}  // namespace test
