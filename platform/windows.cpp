// Windows implementation of the platform layer.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

#include <cstdlib>
#include <ctime>
#include "platform/test_hooks.h"
#include "platform/windows_keys.h"

namespace tavmerk::platform {

namespace {

// Largest single read or write: the system counts bytes in a DWORD.
constexpr size_t max_io_chunk = size_t(1) << 30;

thread_local int thread_error = 0;

// Makes `error` the calling thread's last error; false, for the caller to
// return.
bool failed(int error = int(::GetLastError()))
{
    thread_error = error;
    return false;
}

// A write through the seam of injected faults (test_hooks.h); a fault,
// which calls nothing, fails as an I/O error would.
template <class Write>
bool checked_write(size_t size, Write write)
{
    ::SetLastError(ERROR_WRITE_FAULT);
    return write_as_faults_allow(size, write) || failed();
}

bool checked_sync(HANDLE handle)
{
    if (sync_fault_due())
        return failed(ERROR_WRITE_FAULT);
    return !syncs_enabled() || ::FlushFileBuffers(handle) || failed();
}

bool starts_with(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool drive_at(const std::string& path, size_t at)
{
    const char c = at < path.size() ? path[at] : '\0';
    return path.size() >= at + 3 && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && path[at + 1] == ':' &&
           is_separator(path[at + 2]);
}

// Offset just past `count` more components starting at `at`.
size_t skip_components(const std::string& path, size_t at, int count)
{
    while (count-- > 0) {
        const size_t end = path.find_first_of("\\/", at);
        if (end == std::string::npos)
            return path.size();
        at = end + 1;
    }
    return at;
}

// Length of the drive or share an absolute path starts with ("C:\",
// "\\server\share\", and their "\\?\" forms); 0 when there is none.
size_t root_length(const std::string& path)
{
    if (drive_at(path, 0))
        return 3;
    if (starts_with(path, "\\\\?\\UNC\\"))
        return skip_components(path, 8, 2);
    if (starts_with(path, "\\\\?\\") || starts_with(path, "\\\\.\\"))
        return drive_at(path, 4) ? 7 : skip_components(path, 4, 1);
    if (starts_with(path, "\\\\"))
        return skip_components(path, 2, 2);
    return 0;
}

// The tool's paths are bytes in the ANSI code page. They reach the system
// converted as its "A" functions would convert them, but through the "W"
// functions, which have no 260-byte limit.
std::wstring wide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), &out[0], length);
    return out;
}

std::string narrow(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int length = ::WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(length), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), &out[0], length, nullptr, nullptr);
    return out;
}

// The form in which an absolute path reaches the system: "\\?\" takes every
// name literally and lifts the length limit. Without it a level named "CON"
// or "NUL" would be a device, and trailing dots and spaces would be dropped,
// turning a name ".. " into "..".
std::wstring literal_path(std::string path)
{
    for (char& c : path)
        if (c == '/')
            c = '\\';
    if (drive_at(path, 0))
        return wide("\\\\?\\" + path);
    if (starts_with(path, "\\\\") && !starts_with(path, "\\\\?\\") && !starts_with(path, "\\\\.\\"))
        return wide("\\\\?\\UNC\\" + path.substr(2));
    return wide(path);
}

HANDLE to_handle(NativeHandle handle)
{
    return static_cast<HANDLE>(handle);
}

// Locks one byte at 4 GiB, where no archive data can lie (offsets are
// 32-bit): byte-range locks are mandatory on Windows, so a lock on the data
// itself would block programs that read the archive without locking.
bool lock_handle(HANDLE handle, LockKind kind)
{
    if (kind == LockKind::none)
        return true;
    OVERLAPPED at = {};
    at.Offset = 0;
    at.OffsetHigh = 1;
    return ::LockFileEx(handle, kind == LockKind::exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0, &at) || failed();
}

// Opens the file at `path` with `access`, shared for reading and writing,
// and keeps it only when it is a file on a disk: a pipe, console or other
// device is refused before anything reads it. Shared for writing, so that
// another run opens the archive and then waits for its lock, which is what
// keeps one writer at a time.
HANDLE open_regular(const std::string& path, DWORD access)
{
    const HANDLE handle = ::CreateFileW(literal_path(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        failed();
        return nullptr;  // missing, or a folder
    }
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        failed(not_regular_file);
        ::CloseHandle(handle);
        return nullptr;
    }
    return handle;
}

void close_handle(NativeHandle& handle)
{
    if (handle != no_handle)
        ::CloseHandle(to_handle(handle));
    handle = no_handle;
}

enum class Links { follow, refuse };

// Opens the folder at `path` (literal form), or returns nullptr. The handle
// is shared for reading and writing but not for deleting: while it is held,
// nobody can rename, remove or replace the folder, so the paths built on it
// keep leading into it. With Links::refuse, a link or other reparse point
// standing there is refused rather than followed.
HANDLE open_folder(const std::wstring& path, Links links)
{
    const bool follow_link = links == Links::follow;
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE handle = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        failed();
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool is_folder = ::GetFileInformationByHandle(handle, &info) &&
                           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                           (follow_link || !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT));
    if (!is_folder) {
        failed(ERROR_DIRECTORY);
        ::CloseHandle(handle);
        return nullptr;
    }
    return handle;
}

// Moves all `size` bytes through ReadFile or WriteFile, at `offset` when one
// is given (else at the file's position), in chunks the system accepts;
// false on any failure, or when the file ends first.
template <typename Byte, typename Transfer>
bool transfer_all(HANDLE handle, const uint64_t* offset, Byte* data, size_t size, Transfer transfer)
{
    uint64_t at = offset ? *offset : 0;
    while (size > 0) {
        OVERLAPPED position = {};
        position.Offset = DWORD(at);
        position.OffsetHigh = DWORD(at >> 32);
        DWORD done = 0;
        const DWORD want = DWORD(size < max_io_chunk ? size : max_io_chunk);
        if (!transfer(handle, data, want, &done, offset ? &position : nullptr))
            return failed();
        if (done == 0)
            return failed(ERROR_HANDLE_EOF);
        data += done;
        size -= done;
        at += done;
    }
    return true;
}

bool write_all(HANDLE handle, const uint64_t* offset, const uint8_t* data, size_t size)
{
    return transfer_all(handle, offset, data, size, ::WriteFile);
}

bool read_all(HANDLE handle, const uint64_t* offset, uint8_t* data, size_t size)
{
    return transfer_all(handle, offset, data, size, ::ReadFile);
}

}  // namespace

int last_error()
{
    return thread_error;
}

std::string error_message(int error)
{
    if (error == not_regular_file)
        return "not a regular file";
    if (error == changed_while_read)
        return "changed while it was read";
    char text[512];
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                    DWORD(error), 0, text, sizeof text, nullptr);
    // Without the period and line end the system's texts close with.
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.' ||
                          text[length - 1] == ' '))
        --length;
    return length > 0 ? std::string(text, length) : "error " + std::to_string(error);
}

bool names_nothing(int error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
           error == ERROR_DIRECTORY;
}

void init_process()
{
    // The messages go out byte for byte: no "\r" before each "\n".
    _setmode(_fileno(stdout), _O_BINARY);
}

void return_freed_memory()
{
    // The Windows heap returns large blocks to the system by itself.
}

void raise_open_file_limit()
{
    // Handles have no per-process limit to raise.
}

std::string absolute_path(const std::string& path)
{
    // GetFullPathNameW joins a relative path to the current directory (of
    // its drive) and folds "." and ".." without looking at the disk. It
    // gives the size it needs when the buffer is too small; the current
    // directory may change in between, hence the loop.
    const std::wstring input = wide(path.empty() ? "." : path);
    std::wstring result(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFullPathNameW(input.c_str(), DWORD(result.size()), &result[0], nullptr);
        if (length == 0)
            return "";
        if (length < result.size()) {
            result.resize(length);
            return narrow(result);
        }
        result.resize(length);
    }
}

// FileView

// Runs that change the archive wait for the view's lock, so the map serves
// the reads and copies.
bool FileView::read_at(uint64_t offset, uint8_t* dest, size_t size) const
{
    if (offset > size_ || size > size_ - offset)
        return failed(ERROR_HANDLE_EOF);
    if (size > 0)
        std::memcpy(dest, data_ + offset, size);
    return true;
}

void FileView::release()
{
    if (data_)
        ::UnmapViewOfFile(data_);
    close_handle(handle_);  // and with it the lock, once the view is gone
    data_ = nullptr;
    size_ = 0;
    mapped_size_ = 0;
}

ViewStatus map_file(const std::string& path, FileView& view, LockKind lock)
{
    const HANDLE file = open_regular(path, GENERIC_READ);
    if (!file)
        return ViewStatus::cannot_open;
    LARGE_INTEGER size;
    if (!lock_handle(file, lock) || !::GetFileSizeEx(file, &size) || size.QuadPart <= 0) {
        ::CloseHandle(file);
        return ViewStatus::cannot_map;
    }
    const HANDLE mapping = ::CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!mapping) {
        failed();
        ::CloseHandle(file);
        return ViewStatus::cannot_map;
    }
    const void* base = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    ::CloseHandle(mapping);  // the view keeps the mapping
    if (!base) {
        failed();
        ::CloseHandle(file);
        return ViewStatus::cannot_map;
    }
    view.release();
    view.data_ = static_cast<const uint8_t*>(base);
    view.size_ = uint64_t(size.QuadPart);
    view.mapped_size_ = view.size_;
    view.handle_ = file;
    return ViewStatus::ok;
}

// Handles and folders

OwnedHandle::OwnedHandle(OwnedHandle&& other) noexcept : handle(other.handle) { other.handle = no_handle; }

OwnedHandle& OwnedHandle::operator=(OwnedHandle&& other) noexcept
{
    if (this != &other) {
        close_handle(handle);
        handle = other.handle;
        other.handle = no_handle;
    }
    return *this;
}

OwnedHandle::~OwnedHandle() { close_handle(handle); }

bool Folder::is_open() const { return handle != no_handle; }

bool open_root_folder(const std::string& path, MissingFolders missing, Folder& out)
{
    std::string folder_path = path;
    if (folder_path.empty() || !is_separator(folder_path.back()))
        folder_path.push_back(separator);
    const size_t top = root_length(folder_path);
    if (missing == MissingFolders::make) {
        // Every level below the drive or share, top down; failures (mostly
        // "exists") show up when the folder opens.
        for (size_t at = folder_path.find_first_of("\\/", top); at != std::string::npos;
             at = folder_path.find_first_of("\\/", at + 1))
            ::CreateDirectoryW(literal_path(folder_path.substr(0, at)).c_str(), nullptr);
    }
    // A drive's root is opened as "C:\"; any other folder without its last
    // separator.
    const size_t open_length = folder_path.size() > std::max<size_t>(top, 1) ? folder_path.size() - 1 : folder_path.size();
    const HANDLE handle = open_folder(literal_path(folder_path.substr(0, open_length)), Links::follow);
    if (!handle)
        return false;
    Folder folder;
    folder.path = folder_path;
    folder.handle = handle;
    out = std::move(folder);
    return true;
}

bool duplicate_folder(const Folder& folder, Folder& out)
{
    HANDLE copy = nullptr;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, to_handle(folder.handle), process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return failed();
    Folder second;
    second.path = folder.path;
    second.handle = copy;
    out = std::move(second);
    return true;
}

bool open_child_folder(const Folder& parent, const std::string& name, MissingFolders missing, Folder& out)
{
    const std::string child = parent.path + name;
    if (missing == MissingFolders::make)
        ::CreateDirectoryW(literal_path(child).c_str(), nullptr);
    const HANDLE handle = open_folder(literal_path(child), Links::refuse);
    if (!handle)
        return false;
    Folder folder;
    folder.path = child + separator;
    folder.handle = handle;
    out = std::move(folder);
    return true;
}

bool list_folder(const Folder& folder, std::vector<FolderItem>& items)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW(literal_path(folder.path + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return failed();
    items.clear();
    do {
        const std::string name = narrow(found.cFileName);
        if (name == "." || name == "..")
            continue;
        const DWORD a = found.dwFileAttributes;
        FolderItem item{name, ItemKind::file};
        if (a & FILE_ATTRIBUTE_REPARSE_POINT)
            item.kind = ItemKind::link;
        else if (a & FILE_ATTRIBUTE_DIRECTORY)
            item.kind = ItemKind::folder;
        else if (a & FILE_ATTRIBUTE_DEVICE)
            item.kind = ItemKind::other;
        items.push_back(std::move(item));
    } while (::FindNextFileW(search, &found));
    const DWORD error = ::GetLastError();
    ::FindClose(search);
    return error == ERROR_NO_MORE_FILES || failed(int(error));
}

// Output files

CreateStatus create_file(const Folder& folder, const std::string& name, OutputFile& out)
{
    close_handle(out.handle);
    const std::wstring path = literal_path(folder.path + name);
    // CREATE_NEW fails on whatever stands at the path, a link included, so
    // nothing is ever written through one.
    const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        out.handle = handle;
        return CreateStatus::created;
    }
    failed();
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return CreateStatus::failed;  // nothing there: it could not be made
    const bool folder_here =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    return folder_here ? CreateStatus::failed : CreateStatus::exists;
}

bool write_file(OutputFile& file, const uint8_t* data, size_t size)
{
    return checked_write(size, [&](size_t n) { return write_all(to_handle(file.handle), nullptr, data, n); });
}

bool write_file_at(OutputFile& file, uint64_t offset, const uint8_t* data, size_t size)
{
    return checked_write(size, [&](size_t n) { return write_all(to_handle(file.handle), &offset, data, n); });
}

bool set_file_size(OutputFile& file, uint64_t size)
{
    LARGE_INTEGER end;
    end.QuadPart = LONGLONG(size);
    return (::SetFilePointerEx(to_handle(file.handle), end, nullptr, FILE_BEGIN) &&
            ::SetEndOfFile(to_handle(file.handle))) ||
           failed();
}

bool write_file_from(OutputFile& file, const FileView& view, uint64_t offset, size_t size)
{
    if (offset > view.size_ || size > view.size_ - offset)
        return failed(ERROR_HANDLE_EOF);
    return write_file(file, view.data_ + offset, size);
}

bool close_file(OutputFile& file)
{
    const bool closed = ::CloseHandle(to_handle(file.handle)) || failed();
    file.handle = no_handle;
    return closed;
}

void remove_file(const Folder& folder, const std::string& name)
{
    ::DeleteFileW(literal_path(folder.path + name).c_str());
}

bool create_temp_file(const Folder& folder, const std::string& stem, OutputFile& out, std::string& temp_name)
{
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = stem + ".tmp" + std::to_string(::GetCurrentProcessId()) + "-" +
                                 std::to_string(++counter);
        // Shared for deleting: it is renamed into place while still open,
        // and locked, so that no other run writes to it before it is done.
        const HANDLE handle =
            ::CreateFileW(literal_path(folder.path + name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            close_handle(out.handle);
            out.handle = handle;
            temp_name = name;
            return true;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS)
            return failed();
    }
    return failed(ERROR_FILE_EXISTS);
}

bool sync_file(OutputFile& file)
{
    return checked_sync(to_handle(file.handle));
}

bool replace_file(const Folder& folder, const std::string& from, const std::string& to)
{
    // Write-through: the rename is on the disk when the call returns.
    before_rename();
    return ::MoveFileExW(literal_path(folder.path + from).c_str(), literal_path(folder.path + to).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
           failed();
}

bool rename_new_file(const Folder& folder, const std::string& from, const std::string& to)
{
    // Without MOVEFILE_REPLACE_EXISTING the move fails where a file stands.
    before_rename();
    return ::MoveFileExW(literal_path(folder.path + from).c_str(), literal_path(folder.path + to).c_str(),
                         MOVEFILE_WRITE_THROUGH);
}

bool lock_file(OutputFile& file, LockKind kind)
{
    return lock_handle(to_handle(file.handle), kind);
}

bool copy_permissions(const std::string&, OutputFile&)
{
    return true;  // the new file has what its folder gives, as the old one had
}

std::string resolved_path(const std::string& path)
{
    const HANDLE handle = ::CreateFileW(literal_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                        FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return "";
    std::wstring result(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, &result[0], DWORD(result.size()), 0);
        if (length == 0 || length < result.size()) {
            ::CloseHandle(handle);
            result.resize(length);
            std::string narrowed = narrow(result);
            // Back from the literal form the call gives.
            if (narrowed.rfind("\\\\?\\UNC\\", 0) == 0)
                return "\\\\" + narrowed.substr(8);
            if (narrowed.rfind("\\\\?\\", 0) == 0)
                return narrowed.substr(4);
            return narrowed;
        }
        result.resize(length);
    }
}

bool sync_folder(const Folder&)
{
    return true;  // replace_file writes through
}

ReadStatus open_regular_file(const Folder& folder, const std::string& name, uint64_t max_size, InputFile& in,
                             uint64_t& size)
{
    // Shared in every way, so that a file open in an editor is still read;
    // a link is opened as itself and then refused.
    const HANDLE handle =
        ::CreateFileW(literal_path(folder.path + name).c_str(), GENERIC_READ,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // A folder does not open this way; anything else standing there
        // that cannot be opened is unreadable.
        const int error = int(::GetLastError());
        const DWORD attributes = ::GetFileAttributesW(literal_path(folder.path + name).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            failed(not_regular_file);
            return ReadStatus::not_regular;
        }
        failed(error);
        return names_nothing(error) ? ReadStatus::missing : ReadStatus::unreadable;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle, &info)) {
        failed();
        ::CloseHandle(handle);
        return ReadStatus::unreadable;
    }
    if (::GetFileType(handle) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        failed(not_regular_file);
        ::CloseHandle(handle);
        return ReadStatus::not_regular;
    }
    const uint64_t length = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (length > max_size || length > SIZE_MAX / 2) {
        failed(ERROR_FILE_TOO_LARGE);
        ::CloseHandle(handle);
        return ReadStatus::too_large;
    }
    close_handle(in.handle);
    in.handle = handle;
    size = length;
    return ReadStatus::ok;
}

bool read_file(const InputFile& in, uint8_t* dest, size_t size, size_t& got, uint64_t offset)
{
    got = 0;
    while (got < size) {
        OVERLAPPED position = {};
        position.Offset = DWORD(offset + got);
        position.OffsetHigh = DWORD((offset + got) >> 32);
        const size_t left = size - got;
        DWORD done = 0;
        if (!::ReadFile(in.handle, dest + got, DWORD(left < max_io_chunk ? left : max_io_chunk), &done, &position)) {
            if (::GetLastError() == ERROR_HANDLE_EOF)
                break;
            return failed();
        }
        if (done == 0)
            break;  // the file shrank since it was opened
        got += done;
    }
    return true;
}

// UpdateFile

UpdateFile::~UpdateFile() { close_handle(handle_); }

bool UpdateFile::open(const std::string& path, LockKind kind, Access access)
{
    close_handle(handle_);
    const DWORD rights = access == Access::read_write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    const HANDLE handle = open_regular(path, rights);
    if (!handle)
        return false;
    handle_ = handle;
    // A file in use cannot be renamed over here, so the file locked is
    // always the one at `path`.
    return lock_handle(handle, kind);
}


bool UpdateFile::open_shared_now(const std::string& path, Access access, bool& busy)
{
    close_handle(handle_);
    busy = false;
    const DWORD rights = access == Access::read_write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    const HANDLE handle = open_regular(path, rights);
    if (!handle)
        return false;
    OVERLAPPED at = {};
    at.OffsetHigh = 1;  // the byte lock_handle locks
    if (!::LockFileEx(handle, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        busy = ::GetLastError() == ERROR_LOCK_VIOLATION;
        failed();
        ::CloseHandle(handle);
        return false;
    }
    handle_ = handle;
    return true;
}

bool UpdateFile::open_unnamed(const std::string& folder)
{
    close_handle(handle_);
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = folder + "\\.tavmerk-scratch-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                 std::to_string(++counter);
        const HANDLE handle = ::CreateFileW(literal_path(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            handle_ = handle;
            return true;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

void UpdateFile::unlock()
{
    OVERLAPPED at = {};
    at.OffsetHigh = 1;
    ::UnlockFileEx(to_handle(handle_), 0, 1, 0, &at);
}

namespace {

void stamp_from(const BY_HANDLE_FILE_INFORMATION& info, FileStamp& out)
{
    out.device = info.dwVolumeSerialNumber;
    out.file_id = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    out.size = uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    // 100 ns units since 1601.
    const uint64_t ticks = uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32 | info.ftLastWriteTime.dwLowDateTime;
    out.modified_ns = (int64_t(ticks) - 116444736000000000LL) * 100;
    out.changed_ns = 0;
}

}  // namespace

bool UpdateFile::stamp(FileStamp& out) const
{
    BY_HANDLE_FILE_INFORMATION info;
    return ::GetFileInformationByHandle(to_handle(handle_), &info) && (stamp_from(info, out), true);
}

bool stamp_of(const std::string& path, FileStamp& out)
{
    const HANDLE handle = ::CreateFileW(literal_path(path).c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = ::GetFileInformationByHandle(handle, &info);
    ::CloseHandle(handle);
    if (ok)
        stamp_from(info, out);
    return ok;
}

bool same_file(const UpdateFile& file, const InputFile& other)
{
    BY_HANDLE_FILE_INFORMATION a, b;
    return ::GetFileInformationByHandle(to_handle(file.handle_), &a) &&
           ::GetFileInformationByHandle(to_handle(other.handle), &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

bool UpdateFile::size(uint64_t& out) const
{
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(to_handle(handle_), &size))
        return failed();
    out = uint64_t(size.QuadPart);
    return true;
}

bool UpdateFile::read_at(uint64_t offset, uint8_t* data, size_t size) const
{
    return read_all(to_handle(handle_), &offset, data, size);
}

bool UpdateFile::write_at(uint64_t offset, const uint8_t* data, size_t size)
{
    return checked_write(size, [&](size_t n) { return write_all(to_handle(handle_), &offset, data, n); });
}

bool UpdateFile::truncate(uint64_t size)
{
    LARGE_INTEGER end;
    end.QuadPart = LONGLONG(size);
    return (::SetFilePointerEx(to_handle(handle_), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(to_handle(handle_))) ||
           failed();
}

bool UpdateFile::sync()
{
    return checked_sync(to_handle(handle_));
}

// The allocated ranges NTFS keeps for a sparse file; a file that is not
// sparse is one range, all data.
bool UpdateFile::next_data(uint64_t from, uint64_t limit, uint64_t& start, uint64_t& end) const
{
    if (from >= limit)
        return false;
    start = from;
    end = limit;
    FILE_ALLOCATED_RANGE_BUFFER query, range;
    query.FileOffset.QuadPart = LONGLONG(from);
    query.Length.QuadPart = LONGLONG(limit - from);
    DWORD got = 0;
    if (!::DeviceIoControl(to_handle(handle_), FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, &range,
                           sizeof range, &got, nullptr) &&
        ::GetLastError() != ERROR_MORE_DATA)
        return true;  // cannot tell: all data
    if (got < sizeof range)
        return false;  // no range allocated: a hole to the end
    start = std::max<uint64_t>(uint64_t(range.FileOffset.QuadPart), from);
    end = std::min<uint64_t>(uint64_t(range.FileOffset.QuadPart + range.Length.QuadPart), limit);
    return start < end;
}

// Key wait on the console.

bool is_extended_key(WORD virtual_key)
{
    return (virtual_key >= VK_PRIOR && virtual_key <= VK_DOWN) ||  // PgUp, PgDn, End, Home, arrows
           virtual_key == VK_INSERT || virtual_key == VK_DELETE ||
           (virtual_key >= VK_F1 && virtual_key <= VK_F24);
}

bool key_event_ends_wait(const KEY_EVENT_RECORD& key)
{
    return key.bKeyDown && (key.uChar.AsciiChar != 0 || is_extended_key(key.wVirtualKeyCode));
}

bool ConsoleKeys::take_held_code()
{
    const bool held = held_code_;
    held_code_ = false;
    return held;
}

bool ConsoleKeys::ends_wait(const INPUT_RECORD& event)
{
    if (event.EventType != KEY_EVENT || !key_event_ends_wait(event.Event.KeyEvent))
        return false;
    held_code_ = event.Event.KeyEvent.uChar.AsciiChar == 0;
    return true;
}

namespace {

HANDLE console_input = INVALID_HANDLE_VALUE;
DWORD wait_saved_mode = 0;
ConsoleKeys console_keys;

// Ctrl+Break or closing the console ends the process even during the wait;
// the console gets its mode back first.
BOOL WINAPI restore_console_mode(DWORD)
{
    ::SetConsoleMode(console_input, wait_saved_mode);
    return FALSE;
}

}  // namespace

void wait_for_key()
{
    if (!key_wait_enabled())
        return;
    if (console_keys.take_held_code())
        return;
    // The console's own input, not standard input, which may be a file.
    if (console_input == INVALID_HANDLE_VALUE)
        console_input = ::CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD saved;
    if (console_input == INVALID_HANDLE_VALUE || !::GetConsoleMode(console_input, &saved))
        return;
    wait_saved_mode = saved;
    ::SetConsoleCtrlHandler(restore_console_mode, TRUE);
    // Mode 0: no line input, no echo, and Ctrl+C arrives as a key. Input
    // already queued is kept: a key typed ahead answers the wait.
    if (::SetConsoleMode(console_input, 0)) {
        INPUT_RECORD event;
        DWORD count = 0;
        while (::ReadConsoleInputA(console_input, &event, 1, &count) && count == 1 && !console_keys.ends_wait(event)) {
        }
        ::SetConsoleMode(console_input, saved);
    }
    ::SetConsoleCtrlHandler(restore_console_mode, FALSE);
}

// Companion command

bool stderr_is_terminal()
{
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// A local server (the explorer)

}  // namespace tavmerk::platform

// RtlGenRandom, exported by advapi32 under this name.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);

namespace tavmerk::platform {

bool random_bytes(uint8_t* dest, size_t size)
{
    while (size > 0) {
        const ULONG n = ULONG(std::min<size_t>(size, 1u << 20));
        if (!SystemFunction036(dest, n))
            return failed(ERROR_GEN_FAILURE);
        dest += n;
        size -= n;
    }
    return true;
}

bool open_in_browser(const std::string& url)
{
    const HINSTANCE result = ::ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32 || failed();
}

namespace {

HANDLE stop_event = nullptr;

BOOL WINAPI on_console_stop(DWORD)
{
    ::SetEvent(stop_event);
    return TRUE;
}

}  // namespace

void hold_stop_signals()
{
    stop_event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(on_console_stop, TRUE);
}

void wait_for_stop_signal()
{
    ::WaitForSingleObject(stop_event, INFINITE);
}

}  // namespace tavmerk::platform
