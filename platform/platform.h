// Everything the tool asks of the operating system. One implementation file
// per system (posix.cpp, windows.cpp); the logic above never calls the
// system itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace tavmerk::platform {

// What differs between the systems. A NativeHandle is what the system
// knows an open file or folder by: a descriptor on POSIX, a HANDLE on
// Windows; `no_handle` stands for none. can_replace_open_file: whether
// replace_file can put a file in place of one that is open (and mapped);
// Windows cannot, the file in use must be let go first.
#ifdef _WIN32
constexpr char separator = '\\';
inline bool is_separator(char c) { return c == '\\' || c == '/'; }
using NativeHandle = void*;
constexpr NativeHandle no_handle = nullptr;
constexpr bool can_replace_open_file = false;
#else
constexpr char separator = '/';
inline bool is_separator(char c) { return c == '/'; }
using NativeHandle = int;
constexpr NativeHandle no_handle = -1;
constexpr bool can_replace_open_file = true;
#endif

// Why a call here failed. Every function of this layer that reports a
// failure leaves the system's error code (errno, GetLastError) of the call
// that failed as the calling thread's last error; calls that succeed leave
// it alone. An archive or source that is there but is not a regular file
// (a FIFO, socket or device) gives `not_regular_file`. A file whose size
// changed while it was being read (it grew or shrank under the reader)
// gives `changed_while_read`, the reader's own finding.
constexpr int not_regular_file = -1;
constexpr int changed_while_read = -2;
int last_error();

// The system's text for `error` ("Permission denied"), for messages.
std::string error_message(int error);

// True when `error` says that nothing stands at a path (or that a level on
// the way is not a folder one may pass): a missing file, not one that
// cannot be read.
bool names_nothing(int error);

// Process set-up: a write past a file-size limit must fail with an error
// rather than kill the process, and standard output must be binary.
void init_process();

// From now on, large buffers go back to the system as soon as they are
// freed: the process then holds no more memory than what is in use, at the
// price of fresh pages for every buffer.
void return_freed_memory();

// Seconds since 1970 UTC: the clock, or SOURCE_DATE_EPOCH where it is set
// to a number (reproducible archives and tests). The same on every system.
inline uint64_t utc_now()
{
    const char* fixed = std::getenv("SOURCE_DATE_EPOCH");
    if (fixed && *fixed) {
        char* end = nullptr;
        const unsigned long long seconds = std::strtoull(fixed, &end, 10);
        if (end && *end == '\0')
            return seconds;
    }
    const std::time_t now = std::time(nullptr);
    return now > 0 ? uint64_t(now) : 0;
}

// Raises the process's soft limit on open files to its hard limit, for a
// process that keeps many files open at once (a mount).
void raise_open_file_limit();

// Absolute form of `path`, computed lexically: relative paths are joined to
// the current directory, "." and ".." are folded, no link is resolved and
// the path need not exist. An empty path stands for the current directory.
// Empty when the path is relative and the current directory cannot be
// found (it was removed): a relative path is never taken from elsewhere.
std::string absolute_path(const std::string& path);

// Locks that runs take on an archive so that there is one writer at a time:
// a pass that rewrites it holds `exclusive`, a run that reads it `shared`.
// Taking one waits while another process holds a lock that conflicts. The
// lock is advisory: a program that reads the archive without locking is
// never blocked. It goes with the file's handle, so the system releases it
// when the process ends, however it ends. A child process never keeps it:
// the handle is not inherited by a program the process runs, and a child
// made by fork (POSIX) gets its own handle on the file, without the lock.
enum class LockKind { none, shared, exclusive };

enum class ViewStatus { ok, cannot_open, cannot_map };
class FileView;
class OutputFile;
class InputFile;
class UpdateFile;

// Maps the whole file at `path` read-only. With a lock, it is taken right
// after the file is opened and before its size is read, and held as long as
// the view: a run that maps an archive under a shared lock sees a pass's
// complete result, never one in progress. An empty file cannot be mapped:
// cannot_map. Only a regular file is opened, and never waited for: a FIFO,
// socket or device at `path` is cannot_open (not_regular_file), a folder
// too.
ViewStatus map_file(const std::string& path, FileView& view, LockKind lock = LockKind::none);

// A whole file mapped read-only, for the directory; file data is read or
// copied by the system (see read_at and write_file_from), which costs less
// than touching each mapped page once. Move-only; unmapped when destroyed.
class FileView {
public:
    FileView() = default;
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;
    FileView(FileView&& other) noexcept { take(other); }
    FileView& operator=(FileView&& other) noexcept
    {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~FileView() { release(); }

    const uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }

    // Treats the file as ending at `size` (when that is shorter): bytes
    // past it are no longer read or copied, though they stay mapped.
    void limit(uint64_t size)
    {
        if (size < size_)
            size_ = size;
    }

    // Copies the `size` bytes at `offset` into `dest`; false when the range
    // lies outside the file or the file cannot give them.
    bool read_at(uint64_t offset, uint8_t* dest, size_t size) const;

private:
    friend ViewStatus map_file(const std::string& path, FileView& view, LockKind lock);
    friend bool write_file_from(OutputFile& file, const FileView& view, uint64_t offset, size_t size);
    void release();
    void take(FileView& other)
    {
        data_ = other.data_;
        size_ = other.size_;
        mapped_size_ = other.mapped_size_;
        other.data_ = nullptr;
        other.size_ = 0;
        other.mapped_size_ = 0;
        handle_ = other.handle_;
        other.handle_ = no_handle;
    }
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    uint64_t mapped_size_ = 0;
    NativeHandle handle_ = no_handle;  // kept open for its lock (on POSIX also for reads and copies)
};

// A descriptor (a handle on Windows) owned by one object: moved, never
// copied, closed when destroyed.
class OwnedHandle {
public:
    OwnedHandle() = default;
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    OwnedHandle(OwnedHandle&& other) noexcept;
    OwnedHandle& operator=(OwnedHandle&& other) noexcept;
    ~OwnedHandle();
    NativeHandle handle = no_handle;
};

// An open folder, the anchor for creating and opening what lies below it.
// On Windows its handle is held so that the folder cannot be moved or
// replaced while it is in use.
class Folder : public OwnedHandle {
public:
    bool is_open() const;
    // Where names inside it are opened by path (Windows), its path, ending
    // in a separator; empty where they are opened relative to the handle.
    std::string path;
};

// Whether opening a folder makes it, and the levels above it, when missing.
enum class MissingFolders { refuse, make };

// Opens the folder at the absolute `path`. With `create`, every missing
// level is made first, top down, existing ones accepted silently. Links in
// `path` itself are followed: it is the user's own choice of root.
bool open_root_folder(const std::string& path, MissingFolders missing, Folder& out);

// A second handle to the same folder, for work that outlives the first.
bool duplicate_folder(const Folder& folder, Folder& out);

// Opens the folder `name` inside `parent`, making it first with `create`.
// A link standing at `name` is never followed, so nothing below the root
// can lead outside it.
bool open_child_folder(const Folder& parent, const std::string& name, MissingFolders missing, Folder& out);

// What stands at a name inside a folder, links never followed.
enum class ItemKind { file, folder, link, other };
struct FolderItem {
    std::string name;
    ItemKind kind = ItemKind::other;
};

// The names inside `folder` ("." and ".." left out), in no particular
// order; false when it cannot be read.
bool list_folder(const Folder& folder, std::vector<FolderItem>& items);

// A file this run created, open for writing.
class OutputFile : public OwnedHandle {};

enum class CreateStatus { created, exists, failed };

// Creates `name` inside `folder` exclusively: whatever stands there already
// (a file, an unreadable file, a link, even a dangling one) gives `exists`,
// except a folder, which gives `failed`. Never writes through a link.
CreateStatus create_file(const Folder& folder, const std::string& name, OutputFile& out);

// Writes all of `data`; false on any failure (disk full, file-size limit).
bool write_file(OutputFile& file, const uint8_t* data, size_t size);

// Writes the `size` bytes of `view` at `offset`, copied inside the system
// where it can; false as for write_file, or when the range lies outside
// the file. One write, as fault injection counts them.
bool write_file_from(OutputFile& file, const FileView& view, uint64_t offset, size_t size);

// Writes all of `data` at `offset`, whatever was written before: a file
// written in pieces, with holes between them.
bool write_file_at(OutputFile& file, uint64_t offset, const uint8_t* data, size_t size);

// Cuts the file at `size`, or makes it that long with a hole at its end
// (zeros that take no room where the file system keeps holes).
bool set_file_size(OutputFile& file, uint64_t size);

// Closes the file; false if closing reported a write error.
bool close_file(OutputFile& file);

// Removes `name` inside `folder` (a partial file this run created).
void remove_file(const Folder& folder, const std::string& name);

// Creates a new file inside `folder` under a fresh name starting with
// `stem`, to be put in place whole by replace_file; `temp_name` is set.
bool create_temp_file(const Folder& folder, const std::string& stem, OutputFile& out, std::string& temp_name);

// Flushes the file's data to the disk itself.
bool sync_file(OutputFile& file);

// Renames `from` over `to` inside `folder` in one step, replacing whatever
// file stood at `to` (a link there is replaced itself, never followed);
// false when `to` is a folder or the rename fails. Durable once the
// folder is synced.
bool replace_file(const Folder& folder, const std::string& from, const std::string& to);

// Renames `from` to `to` inside `folder` only when nothing stands at `to`:
// whatever appeared there meanwhile is never replaced. Durable once the
// folder is synced.
bool rename_new_file(const Folder& folder, const std::string& from, const std::string& to);

// Takes a lock (see LockKind) on a file this run is writing, waiting while
// another process holds one that conflicts; it is held until the file is
// closed.
bool lock_file(OutputFile& file, LockKind kind);

// Gives `file` the permission bits of the file at `path`, and its owner and
// group as far as the process may set them (on Windows the new file keeps
// what its folder gives it). False when the bits cannot be set.
bool copy_permissions(const std::string& path, OutputFile& file);

// The path of the file `path` leads to, links followed; empty when it
// cannot be found.
std::string resolved_path(const std::string& path);

// Flushes the folder's entries (a rename in it) to the disk itself.
bool sync_folder(const Folder& folder);

enum class ReadStatus { ok, missing, unreadable, not_regular, too_large };

// A regular file open for reading (a source in a repack).
class InputFile : public OwnedHandle {};

// Opens the regular file `name` inside `folder` for reading and gives its
// size. Nothing there is `missing`; a file that cannot be opened (no
// permission, an I/O error) is `unreadable`; anything else standing there
// (a link, which is never followed, a folder, a FIFO, a device) is
// `not_regular`; a file larger than `max_size` is `too_large`. Only `ok`
// leaves the file open.
ReadStatus open_regular_file(const Folder& folder, const std::string& name, uint64_t max_size, InputFile& in,
                             uint64_t& size);

// Reads up to `size` bytes from `offset` in the file (its start by
// default) into `dest`; `got` is fewer when the file has shrunk since it
// was opened. False on a read error.
bool read_file(const InputFile& in, uint8_t* dest, size_t size, size_t& got, uint64_t offset = 0);

// Which file stands at a path, and when it last changed: two stamps of the
// same path differ when the file was written to or replaced in between.
struct FileStamp {
    uint64_t device = 0;
    uint64_t file_id = 0;
    uint64_t size = 0;
    int64_t modified_ns = 0;  // last write, in nanoseconds since 1970
    int64_t changed_ns = 0;   // last change of data or metadata (0 where unknown)

    bool operator==(const FileStamp& o) const
    {
        return device == o.device && file_id == o.file_id && size == o.size && modified_ns == o.modified_ns &&
               changed_ns == o.changed_ns;
    }
    bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

// The stamp of the file at `path` (links followed); false when there is none.
bool stamp_of(const std::string& path, FileStamp& out);

enum class Access { read_only, read_write };

// A file open for reading and writing in place (the archive in a repack).
class UpdateFile {
public:
    UpdateFile() = default;
    UpdateFile(const UpdateFile&) = delete;
    UpdateFile& operator=(const UpdateFile&) = delete;
    ~UpdateFile();

    // False when the file cannot be opened with `access`; it must exist
    // and be a regular file, refused at once otherwise, as map_file
    // refuses it. With a lock (see LockKind), waits while another process
    // holds one that conflicts; it is held until the file is closed or
    // unlock() is called. A lock won on a file that was meanwhile replaced
    // at `path` (a compaction) is let go, and the new file opened and
    // locked instead.
    bool open(const std::string& path, LockKind kind = LockKind::none, Access access = Access::read_write);
    // As open with a shared lock, without waiting: false with `busy` set
    // when another process holds the exclusive lock (a commit under way).
    bool open_shared_now(const std::string& path, Access access, bool& busy);
    // Creates a file with no name inside the folder at `folder`, for
    // scratch data: the system removes it when it is closed, however the
    // process ends.
    bool open_unnamed(const std::string& folder);
    // Lets go of the lock and keeps the file open: a process that keeps
    // the archive open for long (a mount) holds no lock while idle.
    void unlock();
    bool stamp(FileStamp& out) const;
    bool size(uint64_t& out) const;
    // Reads exactly `size` bytes at `offset`; false on a short read.
    bool read_at(uint64_t offset, uint8_t* data, size_t size) const;
    // Writes exactly `size` bytes at `offset`; false on any failure.
    bool write_at(uint64_t offset, const uint8_t* data, size_t size);
    bool truncate(uint64_t size);
    // Flushes written data to the disk itself, with what reading it back
    // needs (its size), not the file's times.
    bool sync();
    // The first stretch of data, [start, end), at or after `from` and
    // before `limit`, so that a copy can leave holes as holes. False when
    // there is only a hole from `from` on; where the system cannot tell,
    // all of [from, limit) is data.
    bool next_data(uint64_t from, uint64_t limit, uint64_t& start, uint64_t& end) const;

private:
    friend bool same_file(const UpdateFile& file, const InputFile& other);
    NativeHandle handle_ = no_handle;
};

// True when `other` is the very file `file` has open (the same path, or a
// hard link to it), whatever name it was opened by.
bool same_file(const UpdateFile& file, const InputFile& other);

// Blocks until one key press reaches the console or terminal, without echo;
// Ctrl+C counts as a key. Returns at once when there is no console to read.
void wait_for_key();

// Whether standard error is a terminal or console: a person watching, who
// gets a progress line.
bool stderr_is_terminal();

// A local server (the explorer)

// Fills `dest` with `size` bytes from the system's source of random
// numbers; false when it gives none.
bool random_bytes(uint8_t* dest, size_t size);

// Hands `url` to the desktop's opener (xdg-open; on Windows the shell),
// without waiting for it; false when it cannot be started.
bool open_in_browser(const std::string& url);

// From now on Ctrl-C and SIGTERM (on Windows Ctrl-C, Ctrl-Break and the
// console closing) no longer end the process: wait_for_stop_signal
// returns instead. Called before any thread starts, so that every thread
// leaves them to that wait; a write to a closed connection fails rather
// than ends the process.
void hold_stop_signals();
void wait_for_stop_signal();

}  // namespace tavmerk::platform
