// Absolute paths on POSIX systems: only "/" separates levels; a backslash
// is an ordinary byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/command_line.h"
#include "test_support.h"

namespace {

std::string cwd()
{
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? buffer : "";
}

TEST(CommandLine, PathsAreMadeAbsoluteLexically)
{
    const std::string here = cwd();
    EXPECT_EQ(tavmerk::make_extract_root(""), here + "/");
    EXPECT_EQ(tavmerk::make_extract_root("."), here + "/");
    EXPECT_EQ(tavmerk::make_extract_root("/"), "/");
    EXPECT_EQ(tavmerk::make_extract_root("/a/b/"), "/a/b/");
    EXPECT_EQ(tavmerk::make_extract_root("/a/./b/../c//d"), "/a/c/d/");
    EXPECT_EQ(tavmerk::make_extract_root("/../.."), "/");
    EXPECT_EQ(tavmerk::make_extract_root("out"), here + "/out/");
    EXPECT_EQ(tavmerk::make_archive_path("/no/such/dir/../x.pak"), "/no/such/x.pak");
    EXPECT_EQ(tavmerk::make_archive_path("a\\b.pak"), here + "/a\\b.pak");  // "\" is an ordinary byte here
    EXPECT_EQ(tavmerk::make_archive_path("/a/./b.pak//"), "/a/b.pak/");
    EXPECT_EQ(tavmerk::make_archive_path("b.pak/"), here + "/b.pak/");
    // No length limit: a long path comes back whole.
    const std::string long_path = "/" + std::string(300, 'x') + "/" + std::string(300, 'y');
    EXPECT_EQ(tavmerk::make_archive_path(long_path), long_path);
}

}  // namespace

namespace {

// The tool run from a working directory removed just before it starts.
test::RunResult run_in_removed_directory(const test::ScratchDir& dir, const std::vector<std::string>& args)
{
    const std::string gone = dir / "gone";
    const std::string log = dir / "log";
    EXPECT_EQ(mkdir(gone.c_str(), 0700), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || dup2(out, 1) < 0 || chdir(gone.c_str()) != 0 || rmdir(gone.c_str()) != 0)
            _exit(99);
        const std::string tool = test::tool_path();
        std::vector<char*> argv = {const_cast<char*>(tool.c_str())};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(tool.c_str(), argv.data());
        _exit(98);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    return {test::read_file(log), "", WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw)};
}

// Relative paths are never taken from "/" when the working directory is
// gone: the run stops at its open message, the archive untouched.
TEST(CommandLine, RemovedWorkingDirectoryStopsTheRun)
{
    test::ScratchDir dir;
    test::ArchiveBuilder b;
    b.folder("f").stored("x.txt", "x").end();
    const test::Bytes archive = b.build().bytes;
    const std::string pak = dir / "a.pak";
    test::write_file(pak, archive);
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
        {{"/E", "a.pak", dir / "out"}, "Can't open dir file a.pak\n"},
        {{"/P", "a.pak", dir / "out"}, "Can't create data file a.pak\n"},
        {{"/E", pak, "out"}, "Can't open dir file " + pak + "\n"},
        {{"/P", pak, "tree"}, "Can't create data file " + pak + "\n"},
    };
    for (const auto& [args, message] : rows) {
        const test::RunResult r = run_in_removed_directory(dir, args);
        EXPECT_EQ(r.out, message);
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(test::read_bytes(pak), archive);
    EXPECT_EQ(test::list_tree(dir.path()), (std::vector<std::pair<std::string, std::string>>{
                                               {"a.pak", std::string(archive.begin(), archive.end())}, {"log", rows.back().second}}));
}

}  // namespace
