// POSIX implementation of the platform layer.
#include "platform/platform.h"
#include "platform/test_hooks.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <cstring>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace tavmerk::platform {

namespace {

// Largest single read or write; Linux moves at most about 2 GiB per call.
constexpr size_t max_io_chunk = size_t(1) << 30;

#ifdef O_PATH
constexpr int folder_open_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int folder_open_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

thread_local int thread_error = 0;

// Makes `error` the calling thread's last error; false, for the caller to
// return.
bool failed(int error = errno)
{
    thread_error = error;
    return false;
}

void close_fd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Moves `size` bytes in calls of at most `max_io_chunk`, `io(at, n, done)`
// being read or write at `done` bytes in; false on an error or a call
// that moves nothing.
template <class Byte, class Io>
bool transfer_all(Byte* data, size_t size, Io io)
{
    uint64_t done = 0;
    while (size > 0) {
        const ssize_t n = io(data, size < max_io_chunk ? size : max_io_chunk, done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;  // the file ended first, or the disk took nothing
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
        done += uint64_t(n);
    }
    return true;
}

bool write_all(int fd, const uint8_t* data, size_t size)
{
    return transfer_all(data, size, [fd](const uint8_t* at, size_t n, uint64_t) { return ::write(fd, at, n); });
}

bool write_all_at(int fd, uint64_t offset, const uint8_t* data, size_t size)
{
    return transfer_all(data, size, [fd, offset](const uint8_t* at, size_t n, uint64_t done) {
        return ::pwrite(fd, at, n, off_t(offset + done));
    });
}

// Test builds record what is done to files (test_hooks.h), files known
// by their inodes and folders by their paths; the shipped tools have none
// of it.
#ifdef TAVMERK_TEST_HOOKS
uint64_t inode_of(int fd)
{
    struct stat st;
    return ::fstat(fd, &st) == 0 ? uint64_t(st.st_ino) : 0;
}

std::string path_of(int fd)
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
    return n > 0 ? std::string(path, size_t(n)) : std::string();
}

uint64_t write_position(int fd)
{
    return recording() ? uint64_t(::lseek(fd, 0, SEEK_CUR)) : 0;
}

void note_write(int fd, uint64_t offset, const uint8_t* data, size_t size)
{
    if (recording())
        record_file_op({FileOpKind::write, inode_of(fd), offset, {data, data + size}, {}, {}});
}

void note_file_op(FileOpKind kind, int fd, uint64_t size = 0)
{
    if (recording())
        record_file_op({kind, inode_of(fd), size, {}, {}, {}});
}

void note_create(int folder, const std::string& name, int fd)
{
    if (recording())
        record_file_op({FileOpKind::create, inode_of(fd), 0, {}, path_of(folder) + "/" + name, {}});
}

void note_rename(int folder, const std::string& from, const std::string& to)
{
    if (recording())
        record_file_op({FileOpKind::rename, 0, 0, {}, path_of(folder) + "/" + from, path_of(folder) + "/" + to});
}

void note_folder_sync(int folder)
{
    if (recording())
        record_file_op({FileOpKind::sync_folder, 0, 0, {}, path_of(folder), {}});
}
#else
enum class FileOpKind { truncate, sync };
uint64_t write_position(int) { return 0; }
void note_write(int, uint64_t, const uint8_t*, size_t) {}
void note_file_op(FileOpKind, int, uint64_t = 0) {}
void note_create(int, const std::string&, int) {}
void note_rename(int, const std::string&, const std::string&) {}
void note_folder_sync(int) {}
#endif

// A write through the seam of injected faults (test_hooks.h); a fault,
// which calls nothing, fails as an I/O error would.
template <class Write>
bool checked_write(size_t size, Write write)
{
    errno = EIO;
    return write_as_faults_allow(size, write) || failed();
}

// `data_only`: the data and what reading it back needs (its size), not
// the file's times, where the system can tell the two apart.
bool checked_sync(int fd, bool data_only = false)
{
    if (sync_fault_due())
        return failed(EIO);
    if (!syncs_enabled())
        return true;
#ifdef __linux__
    const int synced = data_only ? ::fdatasync(fd) : ::fsync(fd);
#else
    (void)data_only;
    const int synced = ::fsync(fd);
#endif
    return synced == 0 || failed();
}

// Empty when the current directory cannot be found (it was removed).
std::string current_directory()
{
    std::vector<char> buffer(256);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()))
            return buffer[0] == '/' ? buffer.data() : "";
        if (errno != ERANGE)
            return "";
        buffer.resize(buffer.size() * 2);
    }
}

// Descriptors that have held a lock, with the file each was open on. A
// lock goes with the open file, which a child made by fork shares: the
// lock would stay held for as long as the child lives, whatever the
// parent does. So in the child each of them is opened anew (the same
// file, access and offset, without the lock) in its place. Entries are
// never taken out: one whose number now stands for another file is
// known by its file and passed over.
struct LockedDescriptor {
    int fd;
    dev_t device;
    ino_t inode;
};
std::vector<LockedDescriptor> locked_descriptors;
pthread_mutex_t locked_descriptors_mutex = PTHREAD_MUTEX_INITIALIZER;

// "/proc/self/fd/N" for `fd`, written without a call that could allocate
// or lock (the child of a threaded process may make no such call).
void descriptor_path(int fd, char (&path)[32])
{
    static const char prefix[] = "/proc/self/fd/";
    char digits[12];
    size_t n = 0;
    for (unsigned value = unsigned(fd); n == 0 || value > 0; value /= 10)
        digits[n++] = char('0' + value % 10);
    size_t at = 0;
    for (; prefix[at]; ++at)
        path[at] = prefix[at];
    while (n > 0)
        path[at++] = digits[--n];
    path[at] = '\0';
}

// In the child, right after fork: async-signal-safe calls only.
void reopen_locked_in_child()
{
    for (const LockedDescriptor& d : locked_descriptors) {
        struct stat st;
        if (::fstat(d.fd, &st) != 0 || st.st_dev != d.device || st.st_ino != d.inode)
            continue;
        const int flags = ::fcntl(d.fd, F_GETFL);
        const off_t offset = ::lseek(d.fd, 0, SEEK_CUR);
        char path[32];
        descriptor_path(d.fd, path);
        int fresh = flags < 0 ? -1 : ::open(path, (flags & (O_ACCMODE | O_APPEND)) | O_NOCTTY | O_CLOEXEC);
        if (fresh >= 0 && offset > 0)
            ::lseek(fresh, offset, SEEK_SET);
        if (fresh < 0)  // no /proc: the descriptor reads nothing and takes no writes
            fresh = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fresh >= 0 && ::dup2(fresh, d.fd) == d.fd)
            ::fcntl(d.fd, F_SETFD, FD_CLOEXEC);
        if (fresh >= 0)
            ::close(fresh);
    }
    pthread_mutex_unlock(&locked_descriptors_mutex);
}

void note_locked(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return;
    static const bool handled_at_fork =
        pthread_atfork([] { pthread_mutex_lock(&locked_descriptors_mutex); },
                       [] { pthread_mutex_unlock(&locked_descriptors_mutex); }, reopen_locked_in_child) == 0;
    (void)handled_at_fork;
    pthread_mutex_lock(&locked_descriptors_mutex);
    const auto same = std::find_if(locked_descriptors.begin(), locked_descriptors.end(),
                                   [fd](const LockedDescriptor& d) { return d.fd == fd; });
    const LockedDescriptor entry{fd, st.st_dev, st.st_ino};
    if (same == locked_descriptors.end())
        locked_descriptors.push_back(entry);
    else
        *same = entry;
    pthread_mutex_unlock(&locked_descriptors_mutex);
}

// flock, not fcntl locks: it goes with the open file, so that closing
// another descriptor of the same file (a source that is the archive
// itself) does not drop it. Locks by open file description (F_OFD_SETLK)
// would do the same, but flock is what other programs (flock(1)) take.
bool lock_fd(int fd, LockKind kind)
{
    if (kind == LockKind::none)
        return true;
    while (::flock(fd, kind == LockKind::exclusive ? LOCK_EX : LOCK_SH) != 0)
        if (errno != EINTR)
            return failed();
    note_locked(fd);
    return true;
}

// Opens the regular file at `path` with `flags`; -1 when it cannot be
// opened or is anything else. The open does not block, so that a FIFO
// there (which would wait for a writer) is refused at once, as a device
// or socket is, before anything reads it.
int open_regular(const std::string& path, int flags)
{
    struct stat st;
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        // A socket cannot be opened at all.
        const int error = errno;
        const bool other = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
        failed(other ? not_regular_file : error);
        return -1;
    }
    const bool known = ::fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        failed(!known ? errno : S_ISDIR(st.st_mode) ? EISDIR : not_regular_file);
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Opens the regular file `path` with `flags` and takes the lock. A compaction renames a new
// file over the archive while others wait for its lock: a lock won on a
// file no longer at `path` is let go, and the file at `path` is opened
// and locked instead.
int open_locked(const std::string& path, int flags, LockKind kind)
{
    for (;;) {
        const int fd = open_regular(path, flags);
        if (fd < 0 || kind == LockKind::none)
            return fd;
        if (!lock_fd(fd, kind)) {
            ::close(fd);
            return -1;
        }
        struct stat held, named;
        if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0 ||
            (held.st_dev == named.st_dev && held.st_ino == named.st_ino))
            return fd;
        ::close(fd);
    }
}

void stamp_from(const struct stat& st, FileStamp& out)
{
    out.device = uint64_t(st.st_dev);
    out.file_id = uint64_t(st.st_ino);
    out.size = uint64_t(st.st_size);
    out.modified_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    out.changed_ns = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

}  // namespace

int last_error()
{
    return thread_error;
}

std::string error_message(int error)
{
    if (error == changed_while_read)
        return "changed while it was read";
    return error == not_regular_file ? "not a regular file" : std::strerror(error);
}

bool names_nothing(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

void init_process()
{
    ::signal(SIGXFSZ, SIG_IGN);
}

void return_freed_memory()
{
#ifdef __GLIBC__
    // Large buffers come from and go back to the system directly, rather
    // than staying with the allocator's arenas once freed. The heap itself
    // is not trimmed after every small free, which would cost fresh pages
    // for the compressor's state on every file.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    ::mallopt(M_TRIM_THRESHOLD, 2 * 1024 * 1024);
#endif
}

void raise_open_file_limit()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string absolute_path(const std::string& path)
{
    std::string full = path;
    if (path.empty() || path[0] != '/') {
        const std::string here = current_directory();
        if (here.empty())
            return "";
        full = here + "/" + path;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= full.size()) {
        size_t end = full.find('/', start);
        if (end == std::string::npos)
            end = full.size();
        const std::string part = full.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& part : parts)
        result += "/" + part;
    return result.empty() ? "/" : result;
}

// FileView

bool FileView::read_at(uint64_t offset, uint8_t* dest, size_t size) const
{
    if (offset > size_ || size > size_ - offset)
        return false;
    return transfer_all(dest, size, [this, offset](uint8_t* at, size_t n, uint64_t done) {
               return ::pread(handle_, at, n, off_t(offset + done));
           }) ||
           failed();
}

void FileView::release()
{
    if (data_)
        ::munmap(const_cast<uint8_t*>(data_), mapped_size_);
    if (handle_ >= 0)
        ::close(handle_);
    data_ = nullptr;
    size_ = 0;
    mapped_size_ = 0;
    handle_ = no_handle;
}

ViewStatus map_file(const std::string& path, FileView& view, LockKind lock)
{
    struct stat st;
    int fd = open_locked(path, O_RDONLY, lock);
    if (fd < 0)
        return ViewStatus::cannot_open;
    if (::fstat(fd, &st) != 0 || st.st_size <= 0 || uint64_t(st.st_size) > SIZE_MAX) {
        ::close(fd);
        return ViewStatus::cannot_map;
    }
    void* base = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (base == MAP_FAILED) {
        failed();
        ::close(fd);
        return ViewStatus::cannot_map;
    }
    view.release();
    view.data_ = static_cast<const uint8_t*>(base);
    view.size_ = uint64_t(st.st_size);
    view.mapped_size_ = view.size_;
    view.handle_ = fd;
    return ViewStatus::ok;
}

// Handles and folders

OwnedHandle::OwnedHandle(OwnedHandle&& other) noexcept : handle(other.handle) { other.handle = no_handle; }

OwnedHandle& OwnedHandle::operator=(OwnedHandle&& other) noexcept
{
    if (this != &other) {
        close_fd(handle);
        handle = other.handle;
        other.handle = no_handle;
    }
    return *this;
}

OwnedHandle::~OwnedHandle() { close_fd(handle); }

bool Folder::is_open() const { return handle != no_handle; }

// A folder path longer than the system takes in one call (PATH_MAX: a
// deep tree), opened a piece of whole levels at a time, each piece from
// the folder the one before it reached. -1 with errno set on failure.
int open_long_folder_path(const std::string& path)
{
    constexpr size_t piece_limit = 1024;
    int fd = path[0] == '/' ? ::open("/", folder_open_flags) : ::open(".", folder_open_flags);
    for (size_t start = path.find_first_not_of('/'); fd >= 0 && start < path.size();) {
        size_t end = path.size();
        if (end - start > piece_limit) {
            end = path.rfind('/', start + piece_limit);
            if (end == std::string::npos || end <= start)  // one level longer than that: it fails on its own
                end = std::min(path.find('/', start), path.size());
        }
        const int next = ::openat(fd, path.substr(start, end - start).c_str(), folder_open_flags);
        const int error = errno;
        ::close(fd);
        errno = error;
        fd = next;
        start = path.find_first_not_of('/', end);
    }
    return fd;
}

bool open_root_folder(const std::string& path, MissingFolders missing, Folder& out)
{
    if (missing == MissingFolders::make) {
        // Every level from the top, each from the accumulated absolute
        // path; failures (mostly "exists") show up when the folder opens.
        for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
            ::mkdir(path.substr(0, at).c_str(), 0777);
        ::mkdir(path.c_str(), 0777);
    }
    Folder folder;
    folder.handle = ::open(path.c_str(), folder_open_flags);
    if (folder.handle < 0 && errno == ENAMETOOLONG && !path.empty())
        folder.handle = open_long_folder_path(path);
    if (folder.handle < 0)
        return failed();
    out = std::move(folder);
    return true;
}

bool duplicate_folder(const Folder& folder, Folder& out)
{
    Folder copy;
    copy.handle = ::fcntl(folder.handle, F_DUPFD_CLOEXEC, 0);
    if (copy.handle < 0)
        return failed();
    out = std::move(copy);
    return true;
}

bool open_child_folder(const Folder& parent, const std::string& name, MissingFolders missing, Folder& out)
{
    if (missing == MissingFolders::make)
        ::mkdirat(parent.handle, name.c_str(), 0777);
    Folder folder;
    folder.handle = ::openat(parent.handle, name.c_str(), folder_open_flags | O_NOFOLLOW);
    if (folder.handle < 0)
        return failed();
    out = std::move(folder);
    return true;
}

bool list_folder(const Folder& folder, std::vector<FolderItem>& items)
{
    const int copy = ::openat(folder.handle, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0)
        return failed();
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return failed();
    }
    items.clear();
    errno = 0;
    while (const dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        FolderItem item{name, ItemKind::other};
        if (::fstatat(folder.handle, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            item.kind = S_ISREG(st.st_mode)   ? ItemKind::file
                        : S_ISDIR(st.st_mode) ? ItemKind::folder
                        : S_ISLNK(st.st_mode) ? ItemKind::link
                                              : ItemKind::other;
        items.push_back(std::move(item));
        errno = 0;
    }
    const int error = errno;
    ::closedir(dir);
    return error == 0 || failed(error);
}

// Output files

CreateStatus create_file(const Folder& folder, const std::string& name, OutputFile& out)
{
    close_fd(out.handle);
    out.handle = ::openat(folder.handle, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out.handle >= 0) {
        note_create(folder.handle, name, out.handle);
        return CreateStatus::created;
    }
    if (errno != EEXIST) {
        failed();
        return CreateStatus::failed;
    }
    struct stat st;
    if (::fstatat(folder.handle, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
        failed(EISDIR);
        return CreateStatus::failed;
    }
    return CreateStatus::exists;
}

bool write_file(OutputFile& file, const uint8_t* data, size_t size)
{
    const uint64_t at = write_position(file.handle);
    return checked_write(size, [&](size_t n) {
        const bool written = write_all(file.handle, data, n);
        if (written)
            note_write(file.handle, at, data, n);
        return written;
    });
}

bool write_file_at(OutputFile& file, uint64_t offset, const uint8_t* data, size_t size)
{
    return checked_write(size, [&](size_t n) {
        const bool written = write_all_at(file.handle, offset, data, n);
        if (written)
            note_write(file.handle, offset, data, n);
        return written;
    });
}

bool set_file_size(OutputFile& file, uint64_t size)
{
    note_file_op(FileOpKind::truncate, file.handle, size);
    return ::ftruncate(file.handle, off_t(size)) == 0 || failed();
}

bool write_file_from(OutputFile& file, const FileView& view, uint64_t offset, size_t size)
{
    if (offset > view.size_ || size > view.size_ - offset)
        return false;
    // Copied inside the kernel, file to file; where it cannot (an older
    // kernel, another kind of file system), written from the map.
    const auto copy = [&](size_t allowed) {
        off_t from = off_t(offset);
        size_t left = allowed;
        while (left > 0) {
            const size_t chunk = left < max_io_chunk ? left : max_io_chunk;
            const ssize_t n = ::copy_file_range(view.handle_, &from, file.handle, nullptr, chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && left == allowed && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL))
                break;
            if (n <= 0)
                return false;
            left -= size_t(n);
        }
        return left == 0 || write_all(file.handle, view.data_ + offset, left);
    };
    const uint64_t at = write_position(file.handle);
    return checked_write(size, [&](size_t allowed) {
        const bool written = copy(allowed);
        if (written)
            note_write(file.handle, at, view.data_ + offset, allowed);
        return written;
    });
}

bool close_file(OutputFile& file)
{
    const int result = ::close(file.handle);
    file.handle = no_handle;
    return result == 0 || failed();
}

void remove_file(const Folder& folder, const std::string& name)
{
    ::unlinkat(folder.handle, name.c_str(), 0);
}

bool create_temp_file(const Folder& folder, const std::string& stem, OutputFile& out, std::string& temp_name)
{
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name =
            stem + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        const int fd =
            ::openat(folder.handle, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            note_create(folder.handle, name, fd);
            close_fd(out.handle);
            out.handle = fd;
            temp_name = name;
            return true;
        }
        if (errno != EEXIST)
            return failed();
    }
    return failed(EEXIST);
}

bool sync_file(OutputFile& file)
{
    note_file_op(FileOpKind::sync, file.handle);
    return checked_sync(file.handle);
}

bool replace_file(const Folder& folder, const std::string& from, const std::string& to)
{
    note_rename(folder.handle, from, to);
    before_rename();
    return ::renameat(folder.handle, from.c_str(), folder.handle, to.c_str()) == 0 || failed();
}

bool rename_new_file(const Folder& folder, const std::string& from, const std::string& to)
{
    note_rename(folder.handle, from, to);
    before_rename();
#ifdef RENAME_NOREPLACE
    if (::renameat2(folder.handle, from.c_str(), folder.handle, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return failed();
#endif
    // A file system without the flag: a second name, which fails where
    // one stands, and the first one removed.
    if (::linkat(folder.handle, from.c_str(), folder.handle, to.c_str(), 0) != 0)
        return failed();
    ::unlinkat(folder.handle, from.c_str(), 0);
    return true;
}

bool lock_file(OutputFile& file, LockKind kind)
{
    return lock_fd(file.handle, kind);
}

bool copy_permissions(const std::string& path, OutputFile& file)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || ::fchmod(file.handle, st.st_mode & 07777) != 0)
        return false;
    // Owner and group where the process may give them (a process that is
    // not privileged may still give a group it belongs to); the bits are
    // set again, as a change of owner clears set-user-id and set-group-id.
    if (::fchown(file.handle, st.st_uid, st.st_gid) != 0 && ::fchown(file.handle, uid_t(-1), st.st_gid) != 0)
        return true;
    return ::fchmod(file.handle, st.st_mode & 07777) == 0;
}

std::string resolved_path(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return "";
    std::string result(resolved);
    ::free(resolved);
    return result;
}

bool sync_folder(const Folder& folder)
{
    // The folder handle is a path handle; syncing needs one opened for reading.
    const int fd = ::openat(folder.handle, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return failed();
    note_folder_sync(folder.handle);
    const bool synced = !syncs_enabled() || ::fsync(fd) == 0 || failed();
    ::close(fd);
    return synced;
}

ReadStatus open_regular_file(const Folder& folder, const std::string& name, uint64_t max_size, InputFile& in,
                             uint64_t& size)
{
    // Non-blocking so that a FIFO standing at the path cannot hang the
    // open; it is then refused as not a regular file.
    struct stat st;
    int fd = ::openat(folder.handle, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A link (refused by O_NOFOLLOW) or a socket stands there, or an
        // unreadable file, or nothing.
        const int error = errno;
        if (::fstatat(folder.handle, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
            failed(not_regular_file);
            return ReadStatus::not_regular;
        }
        failed(error);
        return names_nothing(error) ? ReadStatus::missing : ReadStatus::unreadable;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        failed(not_regular_file);
        ::close(fd);
        return ReadStatus::not_regular;
    }
    if (uint64_t(st.st_size) > max_size || uint64_t(st.st_size) > SIZE_MAX / 2) {
        failed(EFBIG);
        ::close(fd);
        return ReadStatus::too_large;
    }
    close_fd(in.handle);
    in.handle = fd;
    size = uint64_t(st.st_size);
    return ReadStatus::ok;
}

bool read_file(const InputFile& in, uint8_t* dest, size_t size, size_t& got, uint64_t offset)
{
    got = 0;
    while (got < size) {
        const size_t left = size - got;
        const ssize_t n =
            ::pread(in.handle, dest + got, left < max_io_chunk ? left : max_io_chunk, off_t(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failed();
        if (n == 0)
            break;  // the file shrank since it was opened
        got += size_t(n);
    }
    return true;
}

// UpdateFile

UpdateFile::~UpdateFile() { close_fd(handle_); }

bool UpdateFile::open(const std::string& path, LockKind kind, Access access)
{
    close_fd(handle_);
    handle_ = open_locked(path, access == Access::read_write ? O_RDWR : O_RDONLY, kind);
    return handle_ >= 0;
}

bool UpdateFile::open_shared_now(const std::string& path, Access access, bool& busy)
{
    close_fd(handle_);
    busy = false;
    for (;;) {
        const int fd = open_regular(path, access == Access::read_write ? O_RDWR : O_RDONLY);
        if (fd < 0)
            return false;
        int result;
        while ((result = ::flock(fd, LOCK_SH | LOCK_NB)) != 0 && errno == EINTR) {
        }
        if (result != 0) {
            busy = errno == EWOULDBLOCK;
            failed();
            ::close(fd);
            return false;
        }
        note_locked(fd);
        // As open_locked: a file no longer at `path` is let go.
        struct stat held, named;
        if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0 ||
            (held.st_dev == named.st_dev && held.st_ino == named.st_ino)) {
            handle_ = fd;
            return true;
        }
        ::close(fd);
    }
}

bool UpdateFile::open_unnamed(const std::string& folder)
{
    close_fd(handle_);
#ifdef O_TMPFILE
    handle_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (handle_ >= 0)
        return true;
#endif
    // A file system without unnamed files: a named one, unlinked at once.
    std::string name = folder + "/.tavmerk-scratch-XXXXXX";
    handle_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (handle_ >= 0)
        ::unlink(name.c_str());
    return handle_ >= 0;
}

void UpdateFile::unlock()
{
    ::flock(handle_, LOCK_UN);
}

bool UpdateFile::stamp(FileStamp& out) const
{
    struct stat st;
    return ::fstat(handle_, &st) == 0 && (stamp_from(st, out), true);
}

bool stamp_of(const std::string& path, FileStamp& out)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && (stamp_from(st, out), true);
}


bool same_file(const UpdateFile& file, const InputFile& other)
{
    struct stat a, b;
    return ::fstat(file.handle_, &a) == 0 && ::fstat(other.handle, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool UpdateFile::size(uint64_t& out) const
{
    struct stat st;
    if (::fstat(handle_, &st) != 0)
        return failed();
    out = uint64_t(st.st_size);
    return true;
}

bool UpdateFile::read_at(uint64_t offset, uint8_t* data, size_t size) const
{
    return transfer_all(data, size, [&](uint8_t* at, size_t n, uint64_t done) {
               return ::pread(handle_, at, n, off_t(offset + done));
           }) ||
           failed();
}

bool UpdateFile::write_at(uint64_t offset, const uint8_t* data, size_t size)
{
    return checked_write(size, [&](size_t n) {
        const bool written = write_all_at(handle_, offset, data, n);
        if (written)
            note_write(handle_, offset, data, n);
        return written;
    });
}

bool UpdateFile::truncate(uint64_t size)
{
    note_file_op(FileOpKind::truncate, handle_, size);
    return ::ftruncate(handle_, off_t(size)) == 0 || failed();
}

bool UpdateFile::sync()
{
    note_file_op(FileOpKind::sync, handle_);
    return checked_sync(handle_, true);
}

bool UpdateFile::next_data(uint64_t from, uint64_t limit, uint64_t& start, uint64_t& end) const
{
    if (from >= limit)
        return false;
    start = from;
    end = limit;
#ifdef SEEK_DATA
    const off_t data = ::lseek(handle_, off_t(from), SEEK_DATA);
    if (data < 0)
        return errno != ENXIO;  // ENXIO: nothing but a hole to the end
    const off_t hole = ::lseek(handle_, data, SEEK_HOLE);
    start = std::min(uint64_t(data), limit);
    end = hole > data ? std::min(uint64_t(hole), limit) : limit;
    return start < end;
#else
    return true;
#endif
}

// Key wait on the controlling terminal.

namespace {

int wait_tty = -1;
struct termios wait_saved_mode;
constexpr int wait_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2};
struct sigaction wait_saved_actions[sizeof wait_signals / sizeof wait_signals[0]];

// A signal that ends the process during the wait must not leave the
// terminal raw: restore it, then die of the same signal.
extern "C" void restore_terminal_and_die(int sig)
{
    if (wait_tty >= 0)
        ::tcsetattr(wait_tty, TCSANOW, &wait_saved_mode);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Reads one byte if one arrives within `timeout_ms`.
bool read_byte(int fd, int timeout_ms, unsigned char& byte)
{
    struct pollfd p = {fd, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&p, 1, timeout_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = ::read(fd, &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        return n == 1;
    }
}

// One key may reach the terminal as several bytes (an escape sequence or a
// multi-byte character). The rest of it, already on its way, belongs to the
// same key press.
void consume_rest_of_key(int fd, unsigned char first)
{
    constexpr int follow_ms = 20;
    unsigned char byte;
    if (first == 0x1B) {
        if (!read_byte(fd, follow_ms, byte))
            return;
        if (byte == 'O') {
            read_byte(fd, follow_ms, byte);
        } else if (byte == '[') {
            // Parameters and intermediates, then one final byte 0x40..0x7E.
            for (int i = 0; i < 32 && read_byte(fd, follow_ms, byte); ++i)
                if (byte >= 0x40 && byte <= 0x7E)
                    return;
        }
        return;
    }
    int continuation = first >= 0xF0 ? 3 : first >= 0xE0 ? 2 : first >= 0xC0 ? 1 : 0;
    while (continuation-- > 0 && read_byte(fd, follow_ms, byte)) {
    }
}

}  // namespace

void wait_for_key()
{
    if (!key_wait_enabled())
        return;
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    struct termios saved;
    if (::tcgetattr(fd, &saved) != 0) {
        ::close(fd);
        return;
    }
    struct termios raw = saved;
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
    raw.c_iflag &= ~tcflag_t(IXON | ICRNL | INLCR | IGNCR | BRKINT);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;

    wait_tty = fd;
    wait_saved_mode = saved;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = restore_terminal_and_die;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof wait_signals / sizeof wait_signals[0]; ++i)
        ::sigaction(wait_signals[i], &action, &wait_saved_actions[i]);

    // TCSANOW, not TCSAFLUSH: a key typed ahead answers the wait.
    if (::tcsetattr(fd, TCSANOW, &raw) == 0) {
        unsigned char byte;
        if (read_byte(fd, -1, byte))
            consume_rest_of_key(fd, byte);
        ::tcsetattr(fd, TCSANOW, &saved);
    }

    for (size_t i = 0; i < sizeof wait_signals / sizeof wait_signals[0]; ++i)
        ::sigaction(wait_signals[i], &wait_saved_actions[i], nullptr);
    wait_tty = -1;
    ::close(fd);
}

// Companion command

bool stderr_is_terminal()
{
    return ::isatty(2) == 1;
}

// A local server (the explorer)

bool random_bytes(uint8_t* dest, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::getrandom(dest, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failed(errno);
        dest += n;
        size -= size_t(n);
    }
    return true;
}

// Started through a child that ends at once, so that the opener, which
// may run for as long as the browser does, is nobody's child to wait for.
bool open_in_browser(const std::string& url)
{
    const pid_t child = ::fork();
    if (child < 0)
        return failed(errno);
    if (child == 0) {
        if (::fork() == 0) {
            const int null_fd = ::open("/dev/null", O_RDWR);
            ::dup2(null_fd, 0);
            ::dup2(null_fd, 1);
            ::dup2(null_fd, 2);
            ::execlp("xdg-open", "xdg-open", url.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::_exit(0);
    }
    int raw = 0;
    while (::waitpid(child, &raw, 0) < 0 && errno == EINTR) {
    }
    return true;
}

namespace {

sigset_t stop_signals()
{
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, SIGINT);
    ::sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void hold_stop_signals()
{
    ::signal(SIGPIPE, SIG_IGN);
    const sigset_t set = stop_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void wait_for_stop_signal()
{
    const sigset_t set = stop_signals();
    int sig = 0;
    while (::sigwait(&set, &sig) != 0) {
    }
}

}  // namespace tavmerk::platform
