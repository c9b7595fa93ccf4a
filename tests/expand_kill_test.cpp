// Expansion killed at random moments: a file may be left cut short only if
// the tool never printed its line. Standard output is a file here, so lines
// still in the tool's buffer are lost with it; what did reach the log must
// always stand for a complete file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>

#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Archive {
    std::map<std::string, std::string> files;  // path below the root -> contents
    test::Bytes bytes;
};

// Long paths, so that the tool's output buffer fills and reaches the log
// every few files during a run.
Archive large_archive()
{
    Archive a;
    test::ArchiveBuilder b;
    const std::string level(200, 'l');
    b.folder("d").folder(level).folder(level);
    for (int i = 0; i < 36; ++i) {
        const std::string name = "file_" + std::to_string(i) + std::string(200, 'n');
        const bool compress = i % 2 == 1;
        const std::string contents = test::sample_data(compress ? 200000 : 100000, uint32_t(i), compress);
        a.files["d/" + level + "/" + level + "/" + name] = contents;
        if (compress)
            b.compressed(name, contents);
        else
            b.stored(name, contents);
    }
    b.end().end().end();
    a.bytes = b.build().bytes;
    return a;
}

// The paths the log reports as expanded; only complete lines count, as the
// kill may cut the last one.
std::vector<std::string> printed_paths(const std::string& log, const std::string& root)
{
    std::vector<std::string> paths;
    size_t start = 0;
    for (size_t end = log.find('\n'); end != std::string::npos; start = end + 1, end = log.find('\n', start)) {
        std::string line = log.substr(start, end - start);
        const std::string stored_prefix = "Unpacked file ";
        if (line.compare(0, stored_prefix.size(), stored_prefix) == 0)
            line.erase(0, stored_prefix.size());
        EXPECT_EQ(line.compare(0, root.size(), root), 0) << "unexpected line: " << line;
        paths.push_back(line.substr(root.size()));
    }
    return paths;
}

TEST(ExpandKill, APrintedLineAlwaysMeansACompleteFile)
{
    test::ScratchDir dir;
    const Archive archive = large_archive();
    const std::string pak = dir / "a.pak";
    test::write_file(pak, archive.bytes);
    // Under the sanitizers a kill may land in the exit-time leak check,
    // whose words are not the tool's: they go to files of their own.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    const std::string sanitizer_before = sanitizer ? sanitizer : "";
    ::setenv("ASAN_OPTIONS", (sanitizer_before + ":log_path=" + (dir / "sanitizer")).c_str(), 1);
    struct Restore {
        bool had;
        std::string value;
        ~Restore() { had ? ::setenv("ASAN_OPTIONS", value.c_str(), 1) : ::unsetenv("ASAN_OPTIONS"); }
    } restore{sanitizer != nullptr, sanitizer_before};

    // One whole run sets the span the kills are drawn from.
    const Clock::time_point start = Clock::now();
    const test::RunResult whole = test::run_tool({"/E", pak, dir / "whole"});
    const auto span_us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    ASSERT_EQ(whole.status, 0) << whole.out;
    ASSERT_EQ(test::list_tree(dir / "whole").size(), archive.files.size() + 3);

    std::mt19937 rng(4242);
    int interrupted = 0;
    size_t printed_by_killed_runs = 0;
    for (int pass = 0; pass < 30; ++pass) {
        SCOPED_TRACE("pass " + std::to_string(pass));
        const std::string out = dir / ("p" + std::to_string(pass));
        // A log of its own: a kill before the tool opens it leaves it empty.
        const std::string log = dir / ("log" + std::to_string(pass));
        test::write_file(log, "");
        const pid_t pid = test::start_tool({"/E", pak, out}, log);
        ASSERT_GT(pid, 0);
        int raw = 0;
        bool reaped = false;
        if (pass % 2 == 1) {
            // Every other pass kills as soon as the first lines reach the
            // log, so that some kills land after output whatever the
            // machine's speed (a loaded machine or a slow test process
            // stretches the span).
            struct stat st {};
            while (!reaped && (stat(log.c_str(), &st) != 0 || st.st_size == 0)) {
                reaped = waitpid(pid, &raw, WNOHANG) == pid;
                usleep(50);
            }
        } else {
            usleep(useconds_t(rng() % uint32_t(span_us + 1)));
        }
        if (!reaped) {
            kill(pid, SIGKILL);
            waitpid(pid, &raw, 0);
        }
        const bool finished = WIFEXITED(raw);
        if (finished) {
            EXPECT_EQ(WEXITSTATUS(raw), 0);
        }

        const std::vector<std::string> printed = printed_paths(test::read_file(log), out + "/");
        for (const std::string& path : printed) {
            ASSERT_EQ(archive.files.count(path), 1u) << path;
            EXPECT_TRUE(test::read_file(out + "/" + path) == archive.files.at(path))
                << path << " was printed but is not complete";
        }
        // Whatever else is there holds the start of its own file, no more.
        size_t complete = 0;
        for (const auto& [path, contents] : test::list_tree(out)) {
            if (path.back() == '/')
                continue;
            ASSERT_EQ(archive.files.count(path), 1u) << path;
            const std::string& expected = archive.files.at(path);
            EXPECT_TRUE(contents.size() <= expected.size() && expected.compare(0, contents.size(), contents) == 0)
                << path << " holds bytes that are not its own";
            complete += contents == expected;
        }
        if (finished) {
            EXPECT_EQ(printed.size(), archive.files.size());
            EXPECT_EQ(complete, archive.files.size());
        }
        if (!finished) {
            ++interrupted;
            printed_by_killed_runs += printed.size();
        }
    }
    // The kills must really have landed in the middle of runs, after lines
    // had reached the log.
    EXPECT_GT(interrupted, 0);
    EXPECT_GT(printed_by_killed_runs, 0u);
}

}  // namespace
