// Every check on the calling thread's walk turned into a job, the reading,
// summing and inflating done on the workers, the findings reported in
// directory order (engine/ordered_work.h). Files in a tree to compare with
// are found and opened by the walk, as a repack finds its sources.
#define ZLIB_CONST
#include "engine/verify.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#include "archive/layout.h"
#include "checksum/checksum.h"
#include "engine/inflate.h"
#include "engine/ordered_work.h"
#include "engine/output_tree.h"
#include "engine/zstream.h"

namespace tavmerk {

namespace {

constexpr WorkLimits verify_limits = WorkLimits::fixed_budget(size_t(64) << 20);

using Buffer = std::unique_ptr<uint8_t[]>;

Buffer allocate(size_t size)
{
    return Buffer(new (std::nothrow) uint8_t[size ? size : 1]);
}

// A file, or a folder on its way, that cannot be opened.
VerifyNote unopened(int error)
{
    if (error == 0 || platform::names_nothing(error))
        return {VerifyFinding::tree_missing};
    return {VerifyFinding::tree_unreadable, 0, error};
}

// A record's file in the tree, open, or why it cannot be compared.
struct TreeFile {
    platform::InputFile in;
    uint64_t size = 0;
    bool found = false;
    VerifyNote problem{VerifyFinding::tree_missing};
};

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
        file.found = true;
        break;
    case platform::ReadStatus::too_large:
        file.problem = {VerifyFinding::tree_differs};
        break;
    case platform::ReadStatus::missing:
    case platform::ReadStatus::unreadable:
        file.problem = unopened(platform::last_error());
        break;
    case platform::ReadStatus::not_regular:
        file.problem = {VerifyFinding::tree_not_regular};
        break;
    }
    return file;
}

// A record's content against its file in the tree, a piece at a time as
// the content comes: whether the file holds exactly that content.
class TreeComparison {
public:
    // `file` as the walk found it, which should hold `size` bytes.
    TreeComparison(TreeFile file, uint64_t size)
        : in_(std::move(file.in)), ok_(file.found), problem_(file.problem)
    {
        if (ok_ && file.size != size)
            differs();
        if (ok_)
            piece_ = allocate(stream_piece);
    }

    bool out_of_memory() const { return ok_ && !piece_; }

    void compare(const uint8_t* content, size_t size)
    {
        if (!ok_ || !piece_)
            return;
        size_t got = 0;
        if (!platform::read_file(in_, piece_.get(), size, got, compared_)) {
            ok_ = false;
            problem_ = {VerifyFinding::tree_unreadable, 0, platform::last_error()};
        } else if (got != size || !std::equal(content, content + size, piece_.get())) {
            differs();
        }
        compared_ += size;
    }

    // The problem once the whole content, `size` bytes, has come; false
    // when there is none.
    bool problem(uint64_t size, VerifyNote& note)
    {
        if (ok_ && compared_ != size)
            differs();
        note = problem_;
        return !ok_;
    }

private:
    void differs()
    {
        ok_ = false;
        problem_ = {VerifyFinding::tree_differs};
    }

    platform::InputFile in_;
    bool ok_;
    VerifyNote problem_;
    Buffer piece_;
    uint64_t compared_ = 0;
};

// What every job of one run shares.
struct VerifyRun {
    VerifyRun(const ArchiveReader& r, const VerifyOptions& o, VerifyEvents& e) : reader(r), options(o), events(e) {}
    const ArchiveReader& reader;
    const VerifyOptions& options;
    VerifyEvents& events;
    OrderedWork* work = nullptr;
    VerifyResult result;
    bool stopped = false;
};

// One record's check, a piece at a time: its stored bytes are read once,
// summed and inflated (zlib alone, strictly) as they come, and what they
// give compared with the tree alongside.
class CheckJob : public Job {
public:
    CheckJob(VerifyRun& run, FileEntry entry) : run_(run), entry_(std::move(entry)) {}

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
            return problem(VerifyFinding::data_outside);
        const bool with_tree = !run_.options.tree_root.empty();
        // A ".." level would lead out of the tree: never followed.
        std::unique_ptr<TreeComparison> tree;
        if (with_tree && !entry_.unsafe)
            tree = std::make_unique<TreeComparison>(std::move(tree_file), content_size());
        AdditiveChecksum sum;
        uint64_t read = 0;
        bool unreadable = false;
        const auto from_archive = [&](uint8_t* dest, size_t size, size_t& got) {
            got = size;
            unreadable = !run_.options.read_at(entry_.data_offset + read, dest, size);
            sum.add(dest, size);
            read += size;
            return !unreadable;
        };
        const auto to_tree = [&](const uint8_t* data, size_t size) {
            if (tree)
                tree->compare(data, size);
            return true;
        };
        const StreamResult r = compressed() ? inflate_in_pieces(entry_.stored_size, capacity(), from_archive, to_tree)
                                            : copy_in_pieces(entry_.stored_size, from_archive, to_tree);
        // The bytes after the stream's end count in the checksum too.
        StreamResult rest;
        if (!unreadable && read < entry_.stored_size)
            rest = copy_in_pieces(entry_.stored_size - read, from_archive, [](const uint8_t*, size_t) { return true; });
        if (r.result == Z_MEM_ERROR || rest.result == Z_MEM_ERROR || (tree && tree->out_of_memory())) {
            out_of_memory_ = true;
            return;
        }
        if (unreadable)
            return problem(VerifyFinding::unreadable);
        if (sum.value() != entry_.checksum)
            problem(VerifyFinding::bad_checksum);
        if (!compressed())
            return compare(tree.get(), r.out);
        const uint64_t length = r.out;
        if (r.result == Z_OK && length == entry_.expanded_size) {
            if (r.in < entry_.stored_size)
                warnings_.push_back({VerifyFinding::trailing_bytes, int64_t(entry_.stored_size - r.in)});
            return compare(tree.get(), length);
        }
        if (r.result == Z_OK)
            return problems_.push_back({VerifyFinding::inflates_to, int64_t(length), entry_.expanded_size});
        if (r.result == Z_BUF_ERROR && length == capacity())
            return problem(VerifyFinding::inflates_past, entry_.expanded_size);
        problem(VerifyFinding::bad_stream, r.result);
    }

    void finish() override
    {
        run_.result.problems += problems_.size();
        run_.result.out_of_memory = run_.result.out_of_memory || out_of_memory_;
        ++run_.result.tested;
        if (!run_.events.record(VerifyReport{entry_, problems_, warnings_})) {
            run_.stopped = true;
            run_.work->stop();
        }
    }

private:
    void problem(VerifyFinding finding, int64_t value = 0) { problems_.push_back({finding, value}); }

    void compare(TreeComparison* tree, uint64_t size)
    {
        if (run_.options.tree_root.empty())
            return;
        if (entry_.unsafe)
            return warnings_.push_back({VerifyFinding::unsafe_not_compared});
        VerifyNote difference{VerifyFinding::tree_differs};
        if (tree->problem(size, difference))
            problems_.push_back(difference);
    }

    VerifyRun& run_;
    FileEntry entry_;
    std::vector<VerifyNote> problems_;
    std::vector<VerifyNote> warnings_;
    bool out_of_memory_ = false;
};

std::string with_reason(const std::string& what, int error)
{
    return error == 0 ? what : what + ": " + platform::error_message(error);
}

}  // namespace

VerifyResult verify_records(const ArchiveReader& reader, const VerifyOptions& options, VerifyEvents& events)
{
    VerifyRun run{reader, options, events};
    if (Crc32().compute(reader.block(), reader.block_size()) != directory_crc(reader.header())) {
        events.bad_directory_crc();
        ++run.result.problems;
    }
    const std::string& root = options.tree_root;
    const bool with_tree = !root.empty();
    // With a tree, paths are composed under its root, as an expansion into
    // it composes them; the tree is walked on this thread only.
    RecordCursor records = with_tree ? reader.records(root) : reader.records("", '/');
    OutputTree tree(root, MissingFolders::refuse);
    {
        OrderedWork work(options.workers, verify_limits);
        run.work = &work;
        while (!run.stopped && records.next()) {
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
    run.result.end = run.stopped ? WalkEnd::stopped : records.end();
    return run.result;
}

std::string describe(const VerifyNote& note)
{
    const std::string value = std::to_string(note.value);
    switch (note.finding) {
    case VerifyFinding::data_outside:
        return "data outside the file";
    case VerifyFinding::unreadable:
        return "cannot read its data";
    case VerifyFinding::bad_checksum:
        return "bad record checksum";
    case VerifyFinding::inflates_to:
        return "zlib stream inflates to " + value + " bytes, not " + std::to_string(note.expected);
    case VerifyFinding::inflates_past:
        return "zlib stream inflates to more than " + value + " bytes";
    case VerifyFinding::bad_stream:
        return "bad zlib stream (zlib result " + value + ")";
    case VerifyFinding::trailing_bytes:
        return value + " bytes after the end of its zlib stream";
    case VerifyFinding::tree_missing:
        return "missing from the tree";
    case VerifyFinding::tree_unreadable:
        return with_reason("cannot be read in the tree", note.error);
    case VerifyFinding::tree_not_regular:
        return "not a regular file in the tree";
    case VerifyFinding::tree_differs:
        return "differs from the tree";
    case VerifyFinding::unsafe_not_compared:
        return "a \"..\" level in its path: not compared with the tree";
    }
    return {};
}

}  // namespace tavmerk
