// POSIX side of the test support: child processes and scratch folders.
#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#ifndef TAVMERK_BINARY
#error "TAVMERK_BINARY must name the tool under test"
#endif

namespace test {

std::string tool_path()
{
    return TAVMERK_BINARY;
}

bool under_valgrind()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "vgpreload") != nullptr;
}

std::string single_threaded_tool_path()
{
    return TAVMERK_SINGLE_THREADED_BINARY;
}

std::string util_path()
{
    return TAVMERK_UTIL_BINARY;
}

namespace {

[[noreturn]] void exec_tool(const std::vector<std::string>& args, const std::string& binary = "")
{
    std::vector<char*> argv;
    std::string program = binary.empty() ? tool_path() : binary;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

void child_setup(int out_fd, const RunOptions& options, int err_fd = -1)
{
    ::setsid();  // no controlling terminal: the key wait returns at once
    const int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd >= 0 ? err_fd : out_fd, 2);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0)
        ::_exit(126);
    if (options.file_size_limit >= 0) {
        struct rlimit limit = {rlim_t(options.file_size_limit), rlim_t(options.file_size_limit)};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.memory_limit >= 0) {
        struct rlimit limit = {rlim_t(options.memory_limit), rlim_t(options.memory_limit)};
        ::setrlimit(RLIMIT_DATA, &limit);
    }
    if (options.unprivileged && ::geteuid() == 0) {
        const id_t nobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)
            ::_exit(125);
    }
    ::alarm(options.timeout_seconds);  // kept across exec
}

int decode_status(int raw)
{
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

}  // namespace

RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options)
{
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0)
        throw std::runtime_error("pipe");
    // Standard error apart goes to an unnamed file, read once the tool has
    // ended: two pipes would need reading both at once.
    int err_fd = -1;
    if (options.split_stderr) {
        const char* base = std::getenv("TMPDIR");
        std::string name = std::string(base && *base ? base : "/tmp") + "/tavmerk-stderr-XXXXXX";
        err_fd = ::mkstemp(name.data());
        if (err_fd < 0)
            throw std::runtime_error("mkstemp");
        ::unlink(name.c_str());
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe_fds[0]);
        child_setup(pipe_fds[1], options, err_fd);
        exec_tool(args, options.binary);
    }
    ::close(pipe_fds[1]);
    RunResult result;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
        if (n > 0) {
            result.out.append(buffer, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    ::close(pipe_fds[0]);
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    result.status = decode_status(raw);
    if (err_fd >= 0) {
        ::lseek(err_fd, 0, SEEK_SET);
        for (ssize_t n; (n = ::read(err_fd, buffer, sizeof buffer)) > 0;)
            result.err.append(buffer, size_t(n));
        ::close(err_fd);
    }
    return result;
}

pid_t start_tool(const std::vector<std::string>& args, const std::string& out_path)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        child_setup(fd, RunOptions{});
        exec_tool(args);
    }
    return pid;
}

ScratchDir::ScratchDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tavmerk-test-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    remove_tree(path_);
}

}  // namespace test
