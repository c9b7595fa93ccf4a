// Crash states of a run: what the disk could hold had the power gone at any
// point of it. Between two syncs of a file any subset of its writes may
// reach the disk, the last one torn at a 512-byte boundary; a created or
// renamed name is only sure to be there once its folder is synced. The run
// is recorded by the platform layer's hooks (platform/test_hooks.h) and its
// states are rebuilt from the files as they were before it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "platform/test_hooks.h"

namespace test {

class CrashReplay {
public:
    // Takes the regular files of `folders` as they stand (the run's files
    // must all lie there) and starts recording.
    explicit CrashReplay(const std::vector<std::string>& folders);
    // Stops recording and works out the states: every prefix of the
    // operations, each write torn, and at each sync and at the end a sample
    // of subsets of the operations not yet made sure of (none, all and all
    // but one among them, or every subset of up to four). A name may count
    // before its folder is synced, and may be missing until then.
    void stop();

    size_t states() const { return states_.size(); }
    // The states a test looks at: every one, or under valgrind (which
    // slows each state's checks many times over, and would find the same
    // memory errors in each) every seventh, the last one too.
    std::vector<size_t> checked() const;
    // Puts the folders' files as state `i` has them; what the state is.
    std::string restore(size_t i) const;

private:
    struct State {
        size_t prefix;                // operations issued
        std::vector<size_t> dropped;  // among them, those that did not reach the disk
        size_t torn_keep = SIZE_MAX;  // bytes kept of the last one, a write
    };
    void add_torn_writes(size_t i);
    void add_subsets_before_sync(size_t sync);
    std::vector<size_t> not_yet_sure(size_t sync) const;

    std::vector<std::string> folders_;
    std::map<std::string, uint64_t> names_;  // path to inode, before the run
    std::map<uint64_t, Bytes> contents_;     // inode to contents, before the run
    std::vector<tavmerk::platform::FileOp> ops_;
    std::vector<uint64_t> renamed_;  // for each rename, the inode it moves
    std::vector<State> states_;
};

}  // namespace test
