// Windows side of the test support: child processes, scratch folders,
// listings.
#include <windows.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "test_support.h"

#if !defined(TAVMERK_BINARY_NAME) || !defined(TAVMERK_SINGLE_THREADED_BINARY_NAME) || \
    !defined(TAVMERK_UTIL_BINARY_NAME)
#error "TAVMERK_BINARY_NAME and TAVMERK_SINGLE_THREADED_BINARY_NAME must name the tools under test"
#endif

namespace test {

namespace {

// The folder of the running test executable, ending in "\"; the build puts
// the tools beside it.
std::string own_folder()
{
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length = GetModuleFileNameA(nullptr, &path[0], DWORD(path.size()));
        if (length == 0)
            throw std::runtime_error("GetModuleFileNameA");
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of("\\/") + 1);
}

std::wstring wide(const std::string& text)
{
    std::wstring out(text.size(), L'\0');
    out.resize(size_t(MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), &out[0], int(out.size()))));
    return out;
}

std::string narrow(const std::wstring& text)
{
    std::string out(text.size() * 4, '\0');
    out.resize(size_t(WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), &out[0], int(out.size()),
                                          nullptr, nullptr)));
    return out;
}

// The "\\?\" form of `path` for the "W" functions, so that names such as
// "CON" or ".. " that the tool may make, and paths past 260 bytes, are
// reached as they are.
std::wstring literal(const std::string& path)
{
    const std::wstring input = wide(path);
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFullPathNameW(input.c_str(), DWORD(full.size()), &full[0], nullptr);
        if (length == 0)
            throw std::runtime_error("GetFullPathNameW " + path);
        if (length < full.size()) {
            full.resize(length);
            break;
        }
        full.resize(length);
    }
    if (full.compare(0, 2, L"\\\\") == 0)
        return full.compare(0, 4, L"\\\\?\\") == 0 ? full : L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// One argument as the C runtime splits a command line: quoted when needed,
// backslashes doubled only before a quote.
std::string quote_argument(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(2 * backslashes, '\\');
    out.push_back('"');
    return out;
}

int decode_status(DWORD code)
{
    if (code == 0xFFFFFFFFu)
        return 255;
    return int(code);
}

std::string read_literal(const std::wstring& path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot read " + narrow(path));
    std::string out;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        out.append(buffer, got);
    CloseHandle(file);
    return out;
}

void remove_literal_tree(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    // A link to a folder is removed, not what it leads to.
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW entry;
        const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..")
                    remove_literal_tree(path + L"\\" + name);
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

std::string tool_path()
{
    return own_folder() + TAVMERK_BINARY_NAME;
}

std::string single_threaded_tool_path()
{
    return own_folder() + TAVMERK_SINGLE_THREADED_BINARY_NAME;
}

std::string util_path()
{
    return own_folder() + TAVMERK_UTIL_BINARY_NAME;
}

RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options)
{
    if (options.file_size_limit >= 0)
        throw std::runtime_error("file-size limits need POSIX resource limits");
    if (options.timeout_seconds > 0 || options.unprivileged)
        throw std::runtime_error("timeouts and unprivileged runs are POSIX only");
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherited, 0))
        throw std::runtime_error("CreatePipe");
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    const HANDLE no_input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                        OPEN_EXISTING, 0, nullptr);
    // Standard error apart goes to a temporary file, read once the tool has
    // ended: two pipes would need reading both at once.
    HANDLE err_file = write_end;
    if (options.split_stderr) {
        char folder[MAX_PATH + 1];
        char name[MAX_PATH + 1];
        if (!GetTempPathA(sizeof folder, folder) || !GetTempFileNameA(folder, "tmk", 0, name))
            throw std::runtime_error("GetTempFileNameA");
        err_file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (err_file == INVALID_HANDLE_VALUE)
            throw std::runtime_error("CreateFileA " + std::string(name));
    }

    const std::string program = options.binary.empty() ? tool_path() : options.binary;
    std::string command = quote_argument(program);
    for (const std::string& a : args)
        command += " " + quote_argument(a);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = no_input;
    startup.hStdOutput = write_end;
    startup.hStdError = err_file;
    PROCESS_INFORMATION process = {};
    // No console, as the POSIX side starts the tool without a terminal: the
    // key wait must return at once.
    const BOOL started = CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, TRUE, DETACHED_PROCESS,
                                        nullptr, options.cwd.empty() ? nullptr : options.cwd.c_str(), &startup,
                                        &process);
    // Only the child may hold the write end, or the reads never end.
    CloseHandle(write_end);
    CloseHandle(no_input);
    if (!started) {
        CloseHandle(read_end);
        if (err_file != write_end)
            CloseHandle(err_file);
        throw std::runtime_error("CreateProcessA " + program + ": error " + std::to_string(GetLastError()));
    }
    RunResult result;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0)
        result.out.append(buffer, got);
    CloseHandle(read_end);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    result.status = decode_status(code);
    if (err_file != write_end) {
        SetFilePointer(err_file, 0, nullptr, FILE_BEGIN);
        while (ReadFile(err_file, buffer, sizeof buffer, &got, nullptr) && got > 0)
            result.err.append(buffer, got);
        CloseHandle(err_file);
    }
    return result;
}

ScratchDir::ScratchDir()
{
    char temp[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof temp, temp);
    if (length == 0 || length > MAX_PATH)
        throw std::runtime_error("GetTempPathA");
    std::string base(temp, length);
    if (base.back() != '\\')
        base += '\\';
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string candidate = base + "tavmerk-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                      std::to_string(++counter) + "-" + std::to_string(GetTickCount());
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    throw std::runtime_error("cannot make a scratch folder in " + base);
}

ScratchDir::~ScratchDir()
{
    remove_tree(path_);
}

bool remove_tree(const std::string& path)
{
    remove_literal_tree(literal(path));
    return !exists(path);
}

bool exists(const std::string& path)
{
    return GetFileAttributesW(literal(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void make_dirs(const std::string& path)
{
    for (size_t at = path.find_first_of("\\/", 1); at != std::string::npos; at = path.find_first_of("\\/", at + 1))
        CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
    CreateDirectoryA(path.c_str(), nullptr);
}

std::vector<std::pair<std::string, std::string>> list_tree(const std::string& root)
{
    std::vector<std::pair<std::string, std::string>> out;
    std::function<void(const std::wstring&, const std::string&)> walk = [&](const std::wstring& folder,
                                                                           const std::string& rel) {
        WIN32_FIND_DATAW entry;
        const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE)
            return;
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::string child = rel + narrow(name);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                out.emplace_back(child, "<link>");
            } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                out.emplace_back(child + "/", "");
                walk(folder + L"\\" + name, child + "/");
            } else {
                out.emplace_back(child, read_literal(folder + L"\\" + name));
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    };
    walk(literal(root), "");
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace test
