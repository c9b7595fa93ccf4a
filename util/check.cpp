// test: every check on the calling thread's walk turned into a job, the
// reading, summing and inflating done on the workers, the lines printed in
// directory order (engine/ordered_work.h). Files in a tree to compare with are
// found and opened by the walk, as a repack finds its sources.
#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "archive/layout.h"
#include "archive/reader.h"
#include "checksum/checksum.h"
#include "engine/inflate.h"
#include "engine/ordered_work.h"
#include "engine/output_tree.h"
#include "engine/zstream.h"
#include "util/commands.h"
#include "util/name_encoding.h"

namespace tavmerk {

namespace {

constexpr WorkLimits test_limits = WorkLimits::fixed_budget(size_t(64) << 20);

using Buffer = std::unique_ptr<uint8_t[]>;

Buffer allocate(size_t size)
{
    return Buffer(new (std::nothrow) uint8_t[size ? size : 1]);
}

// A record's file in the tree, open, or why it cannot be compared.
struct TreeFile {
    platform::InputFile in;
    uint64_t size = 0;
    std::string problem;
};

// The problem of a file, or of a folder on its way, that cannot be opened.
std::string unopened(int error)
{
    const bool nothing = error == 0 || platform::names_nothing(error);
    return nothing ? "missing from the tree" : with_reason("cannot be read in the tree", error);
}

// Opens the file at `entry`'s path under `tree`, found as expansion makes
// it (empty and "." levels name the folder they stand in), for contents of
// `content_size` bytes.
TreeFile find_in_tree(OutputTree& tree, const FileEntry& entry, uint64_t content_size)
{
    TreeFile file;
    std::string name;
    const platform::Folder* folder = tree.open_parent(entry.path, name);
    if (!folder) {
        file.problem = unopened(tree.error());
        return file;
    }
    switch (platform::open_regular_file(*folder, name, content_size, file.in, file.size)) {
    case platform::ReadStatus::ok:
        break;
    case platform::ReadStatus::too_large:
        file.problem = "differs from the tree";
        break;
    case platform::ReadStatus::missing:
    case platform::ReadStatus::unreadable:
        file.problem = unopened(platform::last_error());
        break;
    case platform::ReadStatus::not_regular:
        file.problem = "not a regular file in the tree";
        break;
    }
    return file;
}

// A record's content against its file in the tree, a piece at a time as
// the content comes: whether the file holds exactly that content.
class TreeComparison {
public:
    // `file` as the walk found it, which should hold `size` bytes.
    TreeComparison(TreeFile file, uint64_t size) : in_(std::move(file.in)), problem_(std::move(file.problem))
    {
        if (problem_.empty() && file.size != size)
            problem_ = "differs from the tree";
        if (problem_.empty())
            piece_ = allocate(stream_piece);
    }

    bool out_of_memory() const { return problem_.empty() && !piece_; }

    void compare(const uint8_t* content, size_t size)
    {
        if (!problem_.empty() || !piece_)
            return;
        size_t got = 0;
        if (!platform::read_file(in_, piece_.get(), size, got, compared_))
            problem_ = with_reason("cannot be read in the tree", platform::last_error());
        else if (got != size || !std::equal(content, content + size, piece_.get()))
            problem_ = "differs from the tree";
        compared_ += size;
    }

    // The problem once the whole content, `size` bytes, has come.
    const std::string& result(uint64_t size)
    {
        if (problem_.empty() && compared_ != size)
            problem_ = "differs from the tree";
        return problem_;
    }

private:
    platform::InputFile in_;
    std::string problem_;
    Buffer piece_;
    uint64_t compared_ = 0;
};

// What every job of one run shares.
struct TestRun {
    const ArchiveBytes& archive;
    const ArchiveReader& reader;
    bool with_tree;
    size_t root_length;  // of the paths the walk composes
    UtilConsole& console;
    uint64_t tested = 0;
    uint64_t problems = 0;
    bool out_of_memory = false;
};

// One record's check, a piece at a time: its stored bytes are read once,
// summed and inflated (zlib alone, strictly) as they come, and what they
// give compared with the tree alongside, so that a record of any size
// takes a few pieces of memory.
class CheckJob : public Job {
public:
    CheckJob(TestRun& run, FileEntry entry) : run_(run), entry_(std::move(entry)) {}

    TreeFile tree_file;  // set by the walk when there is a tree

    bool compressed() const { return entry_.kind == RecordKind::compressed; }
    // The bytes a sound record expands to.
    uint64_t content_size() const { return compressed() ? entry_.expanded_size : entry_.stored_size; }
    size_t capacity() const { return inflate_room(entry_.stored_size, entry_.expanded_size); }
    size_t cost() const override { return (compressed() ? 3 : 2) * std::min<size_t>(stream_piece, entry_.stored_size); }
    size_t held_after_work() const override { return 0; }

    void work() override
    {
        if (!run_.reader.data_inside(entry_))
            return problem("data outside the file");
        // A ".." level would lead out of the tree: never followed.
        std::unique_ptr<TreeComparison> tree;
        if (run_.with_tree && !entry_.unsafe)
            tree = std::make_unique<TreeComparison>(std::move(tree_file), content_size());
        AdditiveChecksum sum;
        uint64_t read = 0;
        bool unreadable = false;
        const auto from_archive = [&](uint8_t* dest, size_t size, size_t& got) {
            got = size;
            unreadable = !run_.archive.read_at(entry_.data_offset + read, dest, size);
            sum.add(dest, size);
            read += size;
            return !unreadable;
        };
        const auto with_tree = [&](const uint8_t* data, size_t size) {
            if (tree)
                tree->compare(data, size);
            return true;
        };
        const StreamResult r = compressed() ? inflate_in_pieces(entry_.stored_size, capacity(), from_archive, with_tree)
                                            : copy_in_pieces(entry_.stored_size, from_archive, with_tree);
        // The bytes after the stream's end count in the checksum too.
        StreamResult rest;
        if (!unreadable && read < entry_.stored_size)
            rest = copy_in_pieces(entry_.stored_size - read, from_archive, [](const uint8_t*, size_t) { return true; });
        if (r.result == Z_MEM_ERROR || rest.result == Z_MEM_ERROR || (tree && tree->out_of_memory())) {
            out_of_memory_ = true;
            return;
        }
        if (unreadable)
            return problem("cannot read its data");
        if (sum.value() != entry_.checksum)
            problem("bad record checksum");
        if (!compressed())
            return compare(tree.get(), r.out);
        const uint64_t length = r.out;
        if (r.result == Z_OK && length == entry_.expanded_size) {
            if (r.in < entry_.stored_size)
                warnings_.push_back(std::to_string(entry_.stored_size - r.in) +
                                    " bytes after the end of its zlib stream");
            return compare(tree.get(), length);
        }
        if (r.result == Z_OK)
            return problem("zlib stream inflates to " + std::to_string(length) + " bytes, not " +
                           std::to_string(entry_.expanded_size));
        if (r.result == Z_BUF_ERROR && length == capacity())
            return problem("zlib stream inflates to more than " + std::to_string(entry_.expanded_size) + " bytes");
        problem("bad zlib stream (zlib result " + std::to_string(r.result) + ")");
    }

    void finish() override
    {
        const std::string path = shown_path(entry_.path, run_.root_length);
        for (const std::string& line : problems_)
            run_.console.result(path + ": " + line);
        for (const std::string& line : warnings_)
            run_.console.warning(path + ": " + line);
        run_.problems += problems_.size();
        run_.out_of_memory = run_.out_of_memory || out_of_memory_;
        run_.console.progress("testing", ++run_.tested);
    }

private:
    void problem(std::string line) { problems_.push_back(std::move(line)); }

    void compare(TreeComparison* tree, uint64_t size)
    {
        if (!run_.with_tree)
            return;
        if (entry_.unsafe)
            return warnings_.push_back("a \"..\" level in its path: not compared with the tree");
        const std::string& difference = tree->result(size);
        if (!difference.empty())
            problem(difference);
    }

    TestRun& run_;
    FileEntry entry_;
    std::vector<std::string> problems_;
    std::vector<std::string> warnings_;
    bool out_of_memory_ = false;
};

}  // namespace

int test_records(const ArchiveBytes& archive, const TestOptions& options, UtilConsole& console)
{
    ArchiveReader reader;
    if (!archive.open(reader))
        return report_run_end(console, archive.name, {RunEnd::damaged});
    const std::string& root = options.tree_root;
    const bool with_tree = !root.empty();
    TestRun run{archive, reader, with_tree, root.size(), console};
    if (Crc32().compute(reader.block(), reader.block_size()) != directory_crc(reader.header())) {
        console.result("<directory>: bad directory_crc");
        ++run.problems;
    }
    // With a tree, paths are composed under its root, as an expansion into
    // it composes them; the tree is walked on this thread only.
    RecordCursor records = with_tree ? reader.records(root) : reader.records("", '/');
    OutputTree tree(root, MissingFolders::refuse);
    {
        OrderedWork work(options.workers, test_limits);
        while (records.next()) {
            const FileEntry& entry = records.entry();
            if (!entry.live())
                continue;
            auto job = std::make_unique<CheckJob>(run, entry);
            if (with_tree && !entry.unsafe)
                job->tree_file = find_in_tree(tree, entry, job->content_size());
            work.submit(std::move(job));
        }
        work.finish_all();
    }
    console.end_progress();
    int status = run.problems > 0 ? util_problems : util_ok;
    if (run.out_of_memory) {
        console.error(archive.name + ": not enough memory to test every record");
        status = util_failed;
    }
    if (records.end() == WalkEnd::bad_folder_id)
        status = report_run_end(console, archive.name, {RunEnd::bad_folder_id});
    console.summary(std::to_string(run.tested) + " records tested, " + std::to_string(run.problems) + " problems");
    return status;
}

int test_command(const std::string& archive_path, const std::string& tree_root, unsigned workers,
                 UtilConsole& console)
{
    platform::Folder tree;
    if (!tree_root.empty() && !platform::open_root_folder(tree_root, platform::MissingFolders::refuse, tree))
        return cannot_open_folder(console, tree_root, platform::last_error());
    TestOptions options;
    options.workers = workers;
    options.tree_root = tree_root;
    return with_mapped_archive(archive_path, console,
                               [&](const ArchiveBytes& archive) { return test_records(archive, options, console); });
}

}  // namespace tavmerk
