// test: every check on the calling thread's walk turned into a job, the
// reading, summing and inflating done on the workers, the lines printed in
// directory order (engine/ordered_work.h).
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
#include "util/name_encoding.h"
#include "engine/ordered_work.h"
#include "util/commands.h"

namespace tavmerk {

namespace {

constexpr WorkLimits test_limits{128, size_t(64) << 20, 0};

using Buffer = std::unique_ptr<uint8_t[]>;

Buffer allocate(size_t size)
{
    return Buffer(new (std::nothrow) uint8_t[size ? size : 1]);
}


// Whether the file at `path` (levels joined by "/") under `tree` holds
// exactly `content`; the problem otherwise.
std::string compare_with_tree(const platform::Folder& tree, const std::string& path, const uint8_t* content,
                              size_t size)
{
    platform::Folder folder;
    const platform::Folder* parent = &tree;
    size_t start = 0;
    for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
        platform::Folder child;
        if (!platform::open_child_folder(*parent, path.substr(start, slash - start), false, child))
            return "missing from the tree";
        folder = std::move(child);
        parent = &folder;
    }
    const std::string name = path.substr(start);
    platform::InputFile in;
    uint64_t file_size = 0;
    switch (platform::open_regular_file(*parent, name, size, in, file_size)) {
    case platform::ReadStatus::ok:
        break;
    case platform::ReadStatus::too_large:
        return "differs from the tree";
    case platform::ReadStatus::missing:
        return "missing from the tree";
    case platform::ReadStatus::not_regular:
        return "not a regular file in the tree";
    }
    if (file_size != size)
        return "differs from the tree";
    Buffer bytes = allocate(size);
    size_t got = 0;
    if (!bytes || !platform::read_file(in, bytes.get(), size, got))
        return "cannot be read in the tree";
    return got == size && std::equal(content, content + size, bytes.get()) ? "" : "differs from the tree";
}

// What every job of one run shares.
struct TestRun {
    const ArchiveBytes& archive;
    const ArchiveReader& reader;
    const platform::Folder* tree;
    UtilConsole& console;
    uint64_t tested = 0;
    uint64_t problems = 0;
    bool out_of_memory = false;
};

class CheckJob : public Job {
public:
    CheckJob(TestRun& run, FileEntry entry) : run_(run), entry_(std::move(entry)) {}

    bool compressed() const { return entry_.kind == RecordKind::compressed; }
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
        const std::string path = shown_path(entry_.path);
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
        if (!run_.tree)
            return;
        // A ".." level would lead out of the tree: never followed.
        if (entry_.unsafe)
            return warnings_.push_back("a \"..\" level in its path: not compared with the tree");
        const std::string difference = compare_with_tree(*run_.tree, entry_.path, content, size);
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
    TestRun run{archive, reader, options.tree, console};
    if (Crc32().compute(reader.block(), reader.block_size()) != directory_crc(reader.header())) {
        console.result("<directory>: bad directory_crc");
        ++run.problems;
    }
    RecordCursor records = reader.records("", '/');
    {
        OrderedWork work(options.workers, test_limits);
        while (records.next())
            if (records.entry().live())
                work.submit(std::make_unique<CheckJob>(run, records.entry()));
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
    if (!tree_root.empty() && !platform::open_root_folder(tree_root, false, tree)) {
        console.error(escape_name(tree_root) + ": cannot open the folder");
        return util_failed;
    }
    TestOptions options;
    options.workers = workers;
    options.tree = tree_root.empty() ? nullptr : &tree;
    return with_mapped_archive(archive_path, console,
                               [&](const ArchiveBytes& archive) { return test_records(archive, options, console); });
}

}  // namespace tavmerk
