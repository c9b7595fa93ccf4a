// The key wait, driven through a pseudo-terminal: the tool stops at the
// pause, one key press lets it go on, nothing is echoed, and the terminal
// comes back as it was, also when the tool is killed during the wait.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "test_support.h"

namespace {

class PtyTool {
public:
    explicit PtyTool(const std::vector<std::string>& args)
    {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            std::vector<std::string> copies = args;
            std::string program = test::tool_path();
            std::vector<char*> argv{program.data()};
            for (std::string& a : copies)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~PtyTool()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0)
            close(master_);
    }

    // Reads until `needle` has appeared in the output, or the time is up.
    bool read_until(const std::string& needle, int timeout_ms = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.find(needle) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !read_some(int(left.count())))
                return false;
        }
        return true;
    }

    // True when nothing more arrives and the tool is still running.
    bool still_waiting(int quiet_ms = 300)
    {
        const size_t before = out.size();
        read_some(quiet_ms);
        return out.size() == before && waitpid(pid_, nullptr, WNOHANG) == 0;
    }

    void send(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }

    // Reads the rest of the output and returns the exit status (or 128 +
    // signal).
    int finish()
    {
        while (read_some(5000)) {
        }
        int raw = 0;
        waitpid(pid_, &raw, 0);
        reaped_ = true;
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }

    struct termios mode() const
    {
        struct termios t {};
        tcgetattr(master_, &t);
        return t;
    }

    pid_t pid() const { return pid_; }
    std::string out;

private:
    bool read_some(int timeout_ms)
    {
        struct pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        out.append(buffer, size_t(n));
        return true;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// An archive whose files all exist already under `out`: one pause each.
struct TwoPauses {
    test::ScratchDir dir;
    std::string pak = dir / "p.pak";
    std::string out = dir / "o";
    TwoPauses()
    {
        test::ArchiveBuilder b;
        b.folder("d").stored("one", "1").stored("two", "2").end();
        test::write_file(pak, b.build().bytes);
        test::make_dirs(out + "/d");
        test::write_file(out + "/d/one", "mine");
        test::write_file(out + "/d/two", "mine");
    }
    std::string line(const char* name) const { return "File " + out + "/d/" + name + " alredy exists\r\n"; }
};

TEST(KeyWait, EachPauseWaitsForOneKeyWithoutEcho)
{
    TwoPauses t;
    PtyTool tool({"/E", t.pak, t.out});
    ASSERT_TRUE(tool.read_until(t.line("one")));
    EXPECT_TRUE(tool.still_waiting());
    tool.send("\x03");  // Ctrl+C is a key here, not an interrupt
    ASSERT_TRUE(tool.read_until(t.line("two")));
    EXPECT_TRUE(tool.still_waiting());
    tool.send("Z");
    EXPECT_EQ(tool.finish(), 0);
    EXPECT_EQ(tool.out, t.line("one") + t.line("two"));  // no "^C", no "Z"
    const struct termios mode = tool.mode();
    EXPECT_TRUE(mode.c_lflag & ECHO);
    EXPECT_TRUE(mode.c_lflag & ICANON);
    EXPECT_TRUE(mode.c_lflag & ISIG);
}

TEST(KeyWait, AnEscapeSequenceIsOneKeyPress)
{
    TwoPauses t;
    PtyTool tool({"/E", t.pak, t.out});
    ASSERT_TRUE(tool.read_until(t.line("one")));
    tool.send("\x1b[A");  // the up arrow
    ASSERT_TRUE(tool.read_until(t.line("two")));
    EXPECT_TRUE(tool.still_waiting());  // the rest of the arrow did not answer this one
    tool.send("\xc3\xa9");  // one two-byte character
    EXPECT_EQ(tool.finish(), 0);
}

TEST(KeyWait, TerminalIsRestoredWhenKilledDuringTheWait)
{
    TwoPauses t;
    PtyTool tool({"/E", t.pak, t.out});
    ASSERT_TRUE(tool.read_until(t.line("one")));
    ASSERT_TRUE(tool.still_waiting());
    EXPECT_FALSE(tool.mode().c_lflag & ECHO);  // raw during the wait
    kill(tool.pid(), SIGTERM);
    EXPECT_EQ(tool.finish(), 128 + SIGTERM);
    const struct termios mode = tool.mode();
    EXPECT_TRUE(mode.c_lflag & ECHO);
    EXPECT_TRUE(mode.c_lflag & ICANON);
}

TEST(KeyWait, NothingAfterThePauseIsWrittenBeforeTheKey)
{
    test::ScratchDir dir;
    test::ArchiveBuilder b;
    b.folder("d").stored("exists", "1");
    for (int i = 0; i < 8; ++i)
        b.compressed("later" + std::to_string(i), test::sample_data(20000, uint32_t(i), true));
    b.end();
    test::write_file(dir / "p.pak", b.build().bytes);
    test::make_dirs(dir / "o/d");
    test::write_file(dir / "o/d/exists", "mine");
    PtyTool tool({"/E", dir / "p.pak", dir / "o"});
    ASSERT_TRUE(tool.read_until("alredy exists\r\n"));
    ASSERT_TRUE(tool.still_waiting());
    EXPECT_EQ(test::list_tree(dir / "o"), (std::vector<std::pair<std::string, std::string>>{{"d/", ""}, {"d/exists", "mine"}}));
    tool.send(" ");
    EXPECT_EQ(tool.finish(), 0);
    EXPECT_EQ(test::list_tree(dir / "o").size(), 10u);
}

TEST(KeyWait, WithoutATerminalThePauseReturnsAtOnce)
{
    TwoPauses t;
    const auto start = std::chrono::steady_clock::now();
    const test::RunResult r = test::run_tool({"/E", t.pak, t.out});
    EXPECT_EQ(r.out, "File " + t.out + "/d/one alredy exists\nFile " + t.out + "/d/two alredy exists\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
