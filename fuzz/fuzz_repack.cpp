// Fuzz target: a repack of the input, taken as an archive, from a small
// fixed tree. The tree and everything outside the root stay as they were,
// and the archive comes out exactly as a repack must leave it: the old
// bytes unchanged but for the CRC and the records of the files found in the
// tree, each of those pointing at its source's bytes, appended in directory
// order.
#include <zlib.h>

#include <algorithm>
#include <map>

#include "archive/layout.h"
#include "archive/reader.h"
#include "cli/command_line.h"
#include "engine/ordered_work.h"
#include "fixed_tree.h"
#include "fuzz_support.h"
#include "walk_visitor.h"

namespace {

using fuzz::Bytes;
using Listing = std::vector<std::pair<std::string, std::string>>;

const std::map<std::string, std::string>& tree_files()
{
    static const auto files = [] {
        const auto list = fuzz::fixed_tree();
        return std::map<std::string, std::string>(list.begin(), list.end());
    }();
    return files;
}

struct State {
    fuzz::Scratch scratch{"repack"};
    Listing tree;  // the tree as made, to check it after every input

    State()
    {
        for (const auto& [rel, contents] : tree_files()) {
            const std::string path = scratch.root_path(rel);
            test::make_dirs(path.substr(0, path.rfind('/')));
            fuzz::write_whole(path, reinterpret_cast<const uint8_t*>(contents.data()), contents.size());
        }
        tree = test::list_tree(scratch.root());
    }
};

const State& state()
{
    static const State s;
    return s;
}

// The tree file a composed path reaches, found the way the tool opens it:
// empty and "." levels stay where they are, and a path ending in a
// separator or "." names no file.
const std::string* source_for(const std::string& rel)
{
    std::string normal;
    size_t start = 0;
    for (size_t at = rel.find('/'); at != std::string::npos; start = at + 1, at = rel.find('/', start)) {
        const std::string level = rel.substr(start, at - start);
        if (!level.empty() && level != ".")
            normal += level + "/";
    }
    const std::string name = rel.substr(start);
    if (name.empty() || name == ".")
        return nullptr;
    const auto it = tree_files().find(normal + name);
    return it == tree_files().end() ? nullptr : &it->second;
}

// Every live record the walk hands to the repack, in order.
class Records : public tavmerk::WalkVisitor {
public:
    explicit Records(std::string root) : root_(std::move(root)) {}
    bool file(const std::string& path, size_t record_at) override
    {
        found.emplace_back(path.substr(root_.size()), record_at);
        return true;
    }
    void deleted(const std::string&) override {}
    void unsafe(const std::string&) override {}

    std::vector<std::pair<std::string, size_t>> found;

private:
    std::string root_;
};

// True when `data` reads back as `source` under the record's old storage
// method: stored records are stored again, compressed ones compressed
// (or stored raw when the stream would be exactly as long as the source).
bool holds(const uint8_t* data, uint32_t stored, uint32_t expanded, bool was_stored, const std::string& source)
{
    if (expanded != source.size())
        return false;
    if (was_stored || stored == expanded)
        return stored == source.size() && source.compare(0, stored, reinterpret_cast<const char*>(data), stored) == 0;
    std::string out(source.size() + 1, '\0');
    uLongf length = uLongf(out.size());
    return uncompress(reinterpret_cast<Bytef*>(out.data()), &length, data, stored) == Z_OK &&
           length == source.size() && out.compare(0, length, source) == 0;
}

// Checks the archive after a pass the tool called successful.
void check_success(const uint8_t* before, size_t size, const Bytes& after)
{
    const size_t block_size = tavmerk::directory_size(before);
    const Bytes block(before + tavmerk::directory_block_at, before + tavmerk::directory_block_at + block_size);
    Records records(state().scratch.root());
    if (tavmerk::walk_root(block.data(), block.size(), tavmerk::root_folder_count(before), state().scratch.root(),
                           records) != tavmerk::WalkEnd::complete)
        fuzz::fail("a pass over an incomplete directory succeeded");

    std::vector<bool> may_change(size, false);
    std::fill(may_change.begin() + tavmerk::directory_crc_at, may_change.begin() + tavmerk::header_size, true);
    uint64_t end = size;
    for (const auto& [rel, record_at] : records.found) {
        const std::string* source = source_for(rel);
        if (!source)
            continue;  // no such file in the tree: the record must not change
        const size_t at = tavmerk::directory_block_at + record_at;
        std::fill(may_change.begin() + long(at), may_change.begin() + long(at + 16), true);
        const uint8_t* record = after.data() + at;
        const uint32_t stored = tavmerk::stored_size(record);
        if (tavmerk::data_offset(record) != end || end + stored > after.size())
            fuzz::fail(rel + ": new data not appended in directory order");
        const uint8_t* data = after.data() + end;
        if (!holds(data, stored, tavmerk::expanded_size(record), tavmerk::is_stored(before + at), *source))
            fuzz::fail(rel + ": new data does not read back as its source");
        if (tavmerk::record_checksum(record) != test::reference_additive(data, stored))
            fuzz::fail(rel + ": wrong record checksum");
        end += stored;
    }
    if (end != after.size())
        fuzz::fail("bytes appended that no record points at");
    for (size_t i = 0; i < size; ++i)
        if (!may_change[i] && after[i] != before[i])
            fuzz::fail("byte " + std::to_string(i) + " changed");
    const uint32_t crc = test::reference_crc32(after.data() + tavmerk::directory_block_at, block_size);
    if (tavmerk::directory_crc(after.data()) != crc)
        fuzz::fail("wrong directory CRC");
}

// Whether the tool must accept the archive: a whole header, a directory
// inside the file, and a walk that completes.
bool acceptable(const uint8_t* data, size_t size)
{
    tavmerk::ArchiveReader reader;
    return reader.open(data, size, size) &&
           tavmerk::check_directory(reader.block(), reader.block_size(), reader.root_folder_count()) ==
               tavmerk::WalkEnd::complete;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_tool();
    state();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const State& s = state();
    s.scratch.write_archive(data, size);
    const bool ok = tavmerk::run_repack(s.scratch.archive(), s.scratch.root(), tavmerk::default_workers());
    const Bytes after = s.scratch.read_archive();

    if (ok != acceptable(data, size))
        fuzz::fail(ok ? "a damaged archive was repacked" : "a sound archive was refused");
    if (ok) {
        check_success(data, size, after);
    } else if (after.size() < size || !std::equal(data, data + size, after.begin())) {
        // A refused pass may have appended (a bad folder id stops it late),
        // but never changes what was there.
        fuzz::fail("a failed pass changed the archive");
    }
    if (test::list_tree(s.scratch.root()) != s.tree)
        fuzz::fail("the tree changed");
    s.scratch.check_outside_root();
    return 0;
}
