// test: every check on the calling thread's walk turned into a job, the
// reading, summing and inflating done on the workers, the lines printed in
// directory order (tool/ordered_work.h). Files in a tree to compare with are
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
#include "tool/inflate.h"
#include "tool/name_encoding.h"
#include "tool/ordered_work.h"
#include "tool/output_tree.h"
#include "tool/util_commands.h"

namespace tavmerk {

namespace {

constexpr WorkLimits test_limits{128, size_t(64) << 20, 0};

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

// Whether the open file `in` of `file_size` bytes holds exactly `content`;
// the problem otherwise.
std::string compare_with_file(const platform::InputFile& in, uint64_t file_size, const uint8_t* content, size_t size)
{
    if (file_size != size)
        return "differs from the tree";
    Buffer bytes = allocate(size);
    if (!bytes)
        return "cannot be read in the tree";
    size_t got = 0;
    if (!platform::read_file(in, bytes.get(), size, got))
        return with_reason("cannot be read in the tree", platform::last_error());
    return got == size && std::equal(content, content + size, bytes.get()) ? "" : "differs from the tree";
}

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

class CheckJob : public Job {
public:
    CheckJob(TestRun& run, FileEntry entry) : run_(run), entry_(std::move(entry)) {}

    TreeFile tree_file;  // set by the walk when there is a tree

    bool compressed() const { return entry_.kind == RecordKind::compressed; }
    // The bytes a sound record expands to.
    uint64_t content_size() const { return compressed() ? entry_.expanded_size : entry_.stored_size; }
    size_t capacity() const { return inflate_room(entry_.stored_size, entry_.expanded_size); }
    size_t cost() const override { return entry_.stored_size + (compressed() ? capacity() : 0); }
    size_t held_after_work() const override { return 0; }

    void work() override
    {
        if (!run_.reader.data_inside(entry_))
            return problem("data outside the file");
        Buffer stored = allocate(entry_.stored_size);
        if (!stored) {
            out_of_memory_ = true;
            return;
        }
        if (!run_.archive.read_at(entry_.data_offset, stored.get(), entry_.stored_size))
            return problem("cannot read its data");
        if (additive_checksum(stored.get(), entry_.stored_size) != entry_.checksum)
            problem("bad record checksum");
        if (!compressed())
            return compare(stored.get(), entry_.stored_size);
        Buffer expanded = allocate(capacity());
        if (!expanded) {
            out_of_memory_ = true;
            return;
        }
        size_t length = 0, consumed = 0;
        const int result =
            inflate_stream_zlib(stored.get(), entry_.stored_size, expanded.get(), capacity(), length, consumed);
        if (result == Z_OK && length == entry_.expanded_size) {
            if (consumed < entry_.stored_size)
                warnings_.push_back(std::to_string(entry_.stored_size - consumed) +
                                    " bytes after the end of its zlib stream");
            return compare(expanded.get(), length);
        }
        if (result == Z_OK)
            return problem("zlib stream inflates to " + std::to_string(length) + " bytes, not " +
                           std::to_string(entry_.expanded_size));
        if (result == Z_BUF_ERROR && length == capacity())
            return problem("zlib stream inflates to more than " + std::to_string(entry_.expanded_size) + " bytes");
        problem("bad zlib stream (zlib result " + std::to_string(result) + ")");
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

    void compare(const uint8_t* content, size_t size)
    {
        if (!run_.with_tree)
            return;
        // A ".." level would lead out of the tree: never followed.
        if (entry_.unsafe)
            return warnings_.push_back("a \"..\" level in its path: not compared with the tree");
        if (!tree_file.problem.empty())
            return problem(tree_file.problem);
        const std::string difference = compare_with_file(tree_file.in, tree_file.size, content, size);
        tree_file.in = platform::InputFile();
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
        return damaged(console, archive.name);
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
    OutputTree tree(root, false);
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
        status = bad_folder_id(console, archive.name);
    console.summary(std::to_string(run.tested) + " records tested, " + std::to_string(run.problems) + " problems");
    return status;
}

int test_command(const std::string& archive_path, const std::string& tree_root, unsigned workers,
                 UtilConsole& console)
{
    platform::Folder tree;
    if (!tree_root.empty() && !platform::open_root_folder(tree_root, false, tree))
        return cannot_open_folder(console, tree_root, platform::last_error());
    TestOptions options;
    options.workers = workers;
    options.tree_root = tree_root;
    return with_mapped_archive(archive_path, console,
                               [&](const ArchiveBytes& archive) { return test_records(archive, options, console); });
}

}  // namespace tavmerk
