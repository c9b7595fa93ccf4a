#include "crash_replay.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include "test_support.h"

namespace test {

namespace {

using tavmerk::platform::FileOp;
using tavmerk::platform::FileOpKind;
namespace fs = std::filesystem;

constexpr uint64_t sector = 512;
constexpr size_t sampled_subsets = 8;
constexpr size_t every_subset_up_to = 4;  // operations not yet sure of

std::string folder_of(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

bool is_sync(const FileOp& op)
{
    return op.kind == FileOpKind::sync || op.kind == FileOpKind::sync_folder;
}

// True when `sync` makes sure of `op`: a sync of the file it wrote or cut,
// or of the folder it made a name in.
bool makes_sure(const FileOp& sync, const FileOp& op)
{
    switch (op.kind) {
    case FileOpKind::write:
    case FileOpKind::truncate:
        return sync.kind == FileOpKind::sync && sync.file == op.file;
    case FileOpKind::create:
        return sync.kind == FileOpKind::sync_folder && sync.path == folder_of(op.path);
    case FileOpKind::rename:
        return sync.kind == FileOpKind::sync_folder && sync.path == folder_of(op.to);
    default:
        return true;
    }
}

std::string list(const std::vector<size_t>& indices)
{
    std::string out;
    for (size_t i : indices)
        out += (out.empty() ? "" : ",") + std::to_string(i);
    return "{" + out + "}";
}

}  // namespace

CrashReplay::CrashReplay(const std::vector<std::string>& folders)
{
    // As the platform layer names them: links resolved.
    for (const std::string& folder : folders)
        folders_.push_back(fs::canonical(folder).string());
    for (const std::string& folder : folders_) {
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            struct stat st;
            if (!entry.is_regular_file() || ::stat(entry.path().c_str(), &st) != 0)
                continue;
            names_[entry.path().string()] = uint64_t(st.st_ino);
            contents_[uint64_t(st.st_ino)] = read_bytes(entry.path().string());
        }
    }
    tavmerk::platform::start_recording();
}

void CrashReplay::stop()
{
    ops_ = tavmerk::platform::stop_recording();
    // Which file each rename moves, as the names stood when it was made.
    std::map<std::string, uint64_t> names = names_;
    renamed_.assign(ops_.size(), 0);
    for (size_t i = 0; i < ops_.size(); ++i) {
        const FileOp& op = ops_[i];
        if (op.kind == FileOpKind::create)
            names[op.path] = op.file;
        if (op.kind == FileOpKind::rename) {
            renamed_[i] = names[op.path];
            names.erase(op.path);
            names[op.to] = renamed_[i];
        }
    }
    for (size_t prefix = 0; prefix <= ops_.size(); ++prefix)
        states_.push_back({prefix, {}});
    for (size_t i = 0; i < ops_.size(); ++i) {
        if (ops_[i].kind == FileOpKind::write)
            add_torn_writes(i);
        if (is_sync(ops_[i]))
            add_subsets_before_sync(i);
    }
    add_subsets_before_sync(ops_.size());  // the run's end: what it left unsynced
}

// The write cut at the first, middle and last 512-byte boundary inside it.
void CrashReplay::add_torn_writes(size_t i)
{
    const FileOp& op = ops_[i];
    std::vector<size_t> cuts;
    for (uint64_t at = (op.offset / sector + 1) * sector; at < op.offset + op.data.size(); at += sector)
        cuts.push_back(size_t(at - op.offset));
    if (cuts.empty())
        return;
    for (size_t keep : std::set<size_t>{cuts.front(), cuts[cuts.size() / 2], cuts.back()})
        states_.push_back({i + 1, {}, keep});
}

// The operations before `sync` that no sync between them and it made sure of.
std::vector<size_t> CrashReplay::not_yet_sure(size_t sync) const
{
    std::vector<size_t> open;
    for (size_t j = 0; j < sync; ++j) {
        bool sure = is_sync(ops_[j]);
        for (size_t k = j + 1; k < sync && !sure; ++k)
            sure = makes_sure(ops_[k], ops_[j]);
        if (!sure)
            open.push_back(j);
    }
    return open;
}

// Just before `sync` returns (or the run ends), any of the operations not
// yet made sure of may be missing. Having them all is the prefix state
// already.
void CrashReplay::add_subsets_before_sync(size_t sync)
{
    const std::vector<size_t> open = not_yet_sure(sync);
    if (open.empty())
        return;
    std::set<std::vector<size_t>> subsets;
    if (open.size() <= every_subset_up_to) {
        for (size_t mask = 1; mask < (size_t(1) << open.size()); ++mask) {
            std::vector<size_t> dropped;
            for (size_t b = 0; b < open.size(); ++b)
                if (mask & (size_t(1) << b))
                    dropped.push_back(open[b]);
            subsets.insert(dropped);
        }
    } else {
        subsets.insert(open);
        for (size_t j : open)
            subsets.insert({j});
        std::mt19937 random{uint32_t(sync)};
        for (size_t n = 0; n < sampled_subsets; ++n) {
            std::vector<size_t> dropped;
            for (size_t j : open)
                if (random() & 1)
                    dropped.push_back(j);
            subsets.insert(dropped);
        }
        subsets.erase(std::vector<size_t>());
    }
    for (const std::vector<size_t>& dropped : subsets)
        states_.push_back({sync, dropped});
}

std::vector<size_t> CrashReplay::checked() const
{
    const size_t stride = under_valgrind() ? 7 : 1;
    std::vector<size_t> out;
    for (size_t i = 0; i < states_.size(); i += stride)
        out.push_back(i);
    if (!states_.empty() && out.back() != states_.size() - 1)
        out.push_back(states_.size() - 1);
    return out;
}

std::string CrashReplay::restore(size_t i) const
{
    const State& state = states_[i];
    std::map<std::string, uint64_t> names = names_;
    std::map<uint64_t, Bytes> contents = contents_;
    const std::set<size_t> dropped(state.dropped.begin(), state.dropped.end());
    for (size_t j = 0; j < state.prefix; ++j) {
        if (dropped.count(j))
            continue;
        const FileOp& op = ops_[j];
        Bytes& file = contents[op.file];
        switch (op.kind) {
        case FileOpKind::write: {
            const bool torn = j + 1 == state.prefix && state.torn_keep != SIZE_MAX;
            const size_t size = torn ? state.torn_keep : op.data.size();
            file.resize(std::max<size_t>(file.size(), size_t(op.offset) + size));
            std::copy(op.data.begin(), op.data.begin() + long(size), file.begin() + long(op.offset));
            break;
        }
        case FileOpKind::truncate:
            file.resize(size_t(op.offset));
            break;
        case FileOpKind::create:
            names[op.path] = op.file;
            break;
        case FileOpKind::rename:
            if (names.count(op.path) && names[op.path] == renamed_[j])
                names.erase(op.path);
            names[op.to] = renamed_[j];
            break;
        default:
            break;
        }
    }
    for (const std::string& folder : folders_)
        for (const fs::directory_entry& entry : fs::directory_iterator(folder))
            if (entry.is_regular_file())
                fs::remove(entry.path());
    for (const auto& [path, inode] : names)
        write_file(path, contents[inode]);
    std::string what = "after " + std::to_string(state.prefix) + " of " + std::to_string(ops_.size()) + " operations";
    if (state.torn_keep != SIZE_MAX)
        what += ", the last torn after " + std::to_string(state.torn_keep) + " bytes";
    if (!dropped.empty())
        what += ", without " + list(state.dropped);
    return what;
}

}  // namespace test
