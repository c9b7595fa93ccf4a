// Scratch set-ups shared by the end-to-end tests of expansion and
// repacking, whichever system they run on.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace test {

// An archive "in.pak" expanded into "out".
struct ExpandFixture {
    ScratchDir dir;
    std::string pak = dir / "in.pak";
    std::string out = dir / "out";
    std::string root = out + sep;

    RunResult expand(const Bytes& bytes)
    {
        write_file(pak, bytes);
        return run_tool({"/E", pak, out});
    }
};

// The same, with a file beside the root that nothing may change.
struct HostileExpand : ExpandFixture {
    std::string sentinel = dir / "sentinel.txt";
    HostileExpand() { write_file(sentinel, "unmodified"); }
    ~HostileExpand() { EXPECT_EQ(read_file(sentinel), "unmodified"); }
};

// An archive "a.pak" repacked from the tree "tree".
struct RepackFixture {
    ScratchDir dir;
    std::string pak = dir / "a.pak";
    std::string src = dir / "tree";
    std::string root = src + sep;

    RunResult repack(const RunOptions& options = {}) { return run_tool({"/P", pak, src}, options); }
    RunResult expand_to(const std::string& out) { return run_tool({"/E", pak, out}); }
    // Writes `contents` at `rel` ("a/b") below the tree, making its folders.
    void source(const std::string& rel, const std::string& contents)
    {
        const std::string path = src + sep + native(rel);
        make_dirs(path.substr(0, path.rfind(sep)));
        write_file(path, contents);
    }
};

}  // namespace test
