// Fuzz target: the directory walk alone, over the input taken as an archive
// (header, then as much of the directory block as the input holds). The
// block is copied to a buffer of its exact size, so that any read past it
// is caught. Every report must be consistent with the bytes, and the walk
// must end as the visitor-less check says it would. The directory tree
// that change sets edit must read exactly the directories the walk
// completes, write each back byte for byte (but its CRC), and still give
// a directory that walks whole after entries are made, moved and taken out.
#include <algorithm>
#include <memory>

#include "archive/layout.h"
#include "archive/reader.h"
#include "archive/walk.h"
#include "engine/directory_tree.h"
#include "fuzz_support.h"
#include "walk_visitor.h"

namespace {

const std::string root = "/fuzz/root/";

class Checker : public tavmerk::WalkVisitor {
public:
    Checker(const uint8_t* block, size_t size, unsigned stop_after)
        : block_(block), size_(size), stop_after_(stop_after)
    {
    }

    bool file(const std::string& path, size_t record_at) override
    {
        const std::string rel = below_root(path);
        if (tavmerk::name_has_parent_ref(rel.data(), rel.size()))
            fuzz::fail("a path with a parent reference reached the action: " + path);
        if (record_at < next_ || record_at > size_ || size_ - record_at < tavmerk::file_name_at)
            fuzz::fail("record out of order or outside the block");
        const uint8_t* record = block_ + record_at;
        const uint32_t name_length = tavmerk::file_name_length(record);
        if (name_length > size_ - record_at - tavmerk::file_name_at)
            fuzz::fail("name outside the block");
        if (tavmerk::is_deleted(record))
            fuzz::fail("a deleted record reached the action");
        // The path ends in the file's own name, cut at its first NUL.
        const char* name = reinterpret_cast<const char*>(tavmerk::file_name(record));
        const std::string own(name, std::find(name, name + name_length, '\0'));
        if (rel.size() < own.size() || rel.compare(rel.size() - own.size(), own.size(), own) != 0)
            fuzz::fail("path does not end in the file's name: " + path);
        next_ = record_at + tavmerk::file_name_at + name_length;
        stopped = ++files_ == stop_after_;
        return !stopped;
    }

    void deleted(const std::string& path) override { below_root(path); }

    void unsafe(const std::string& path) override
    {
        const std::string rel = below_root(path);
        if (!tavmerk::name_has_parent_ref(rel.data(), rel.size()))
            fuzz::fail("a safe path was reported unsafe: " + path);
    }

    bool stopped = false;

private:
    static std::string below_root(const std::string& path)
    {
        if (path.compare(0, root.size(), root) != 0)
            fuzz::fail("path outside the root: " + path);
        return path.substr(root.size());
    }

    const uint8_t* block_;
    size_t size_;
    unsigned stop_after_;  // 0: never stop
    unsigned files_ = 0;
    size_t next_ = 0;
};

void check_tree(const uint8_t* header, const uint8_t* block, size_t block_size, bool walks_whole)
{
    std::vector<uint8_t> image(header, header + tavmerk::header_size);
    image.insert(image.end(), block, block + block_size);
    tavmerk::write_be32(image.data() + tavmerk::directory_size_at, uint32_t(block_size));
    tavmerk::DirectoryTree tree;
    if (tree.read(image.data(), image.size()) != walks_whole)
        fuzz::fail("the directory tree and the walk disagree on what reads");
    if (!walks_whole)
        return;
    std::vector<uint8_t> again = tree.image();
    std::copy(image.begin() + tavmerk::directory_crc_at, image.begin() + tavmerk::directory_crc_at + 4,
              again.begin() + tavmerk::directory_crc_at);
    if (again != image)
        fuzz::fail("the directory tree does not write back what it read");
    // Edits chosen by the data itself: a folder made in the first folder,
    // a file in it, the last entry moved there, the second taken out.
    const std::vector<uint32_t> order = tree.in_order();
    if (order.empty())
        return;
    uint32_t first = order.front();
    const uint32_t folder = tree.make_folder(first, "made");
    tree.make_file(folder, "file");
    const uint32_t last = order.back();
    if (last != first)
        tree.move(last, folder, "moved");
    if (order.size() > 2 && order[1] != last)
        tree.take_out(order[1]);
    const std::vector<uint8_t> edited = tree.image();
    tavmerk::ArchiveReader reader;
    tavmerk::DirectoryTree reread;
    if (!reader.open(edited.data(), edited.size(), edited.size()) || !reread.read(edited.data(), edited.size()) ||
        reread.in_order().size() != tree.in_order().size())
        fuzz::fail("an edited directory does not read back whole");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < tavmerk::header_size)
        return 0;
    const size_t available = size - tavmerk::header_size;
    const size_t block_size = std::min<size_t>(tavmerk::directory_size(data), available);
    std::unique_ptr<uint8_t[]> block(new uint8_t[block_size]);
    std::copy(data + tavmerk::directory_block_at, data + tavmerk::directory_block_at + block_size, block.get());
    const uint32_t roots = tavmerk::root_folder_count(data);

    // The header's first byte (not interpreted) says after how many files
    // the visitor stops the walk.
    Checker checker(block.get(), block_size, data[0]);
    const tavmerk::WalkEnd end = tavmerk::walk_root(block.get(), block_size, roots, root, checker);
    const tavmerk::WalkEnd checked = tavmerk::check_directory(block.get(), block_size, roots);
    if (checker.stopped ? end != tavmerk::WalkEnd::stopped : end != checked)
        fuzz::fail("the walk and the check disagree");
    check_tree(data, block.get(), block_size, checked == tavmerk::WalkEnd::complete);
    return 0;
}
