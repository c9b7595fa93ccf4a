// Everything the tool asks of the operating system. One implementation file
// per system (posix.cpp, windows.cpp); the logic above never calls the
// system itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavmerk::platform {

#ifdef _WIN32
constexpr char separator = '\\';
inline bool is_separator(char c) { return c == '\\' || c == '/'; }
#else
constexpr char separator = '/';
inline bool is_separator(char c) { return c == '/'; }
#endif

// Process set-up: a write past a file-size limit must fail with an error
// rather than kill the process, and standard output must be binary.
void init_process();

// From now on, large buffers go back to the system as soon as they are
// freed: the process then holds no more memory than what is in use, at the
// price of fresh pages for every buffer.
void return_freed_memory();

// Absolute form of `path`, computed lexically: relative paths are joined to
// the current directory, "." and ".." are folded, no link is resolved and
// the path need not exist. An empty path stands for the current directory.
std::string absolute_path(const std::string& path);

enum class ViewStatus { ok, cannot_open, cannot_map };
class FileView;
class OutputFile;

// Maps the whole file at `path` read-only. An empty file cannot be mapped:
// cannot_map.
ViewStatus map_file(const std::string& path, FileView& view);

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

    // Copies the `size` bytes at `offset` into `dest`; false when the range
    // lies outside the file or the file cannot give them.
    bool read_at(uint64_t offset, uint8_t* dest, size_t size) const;

private:
    friend ViewStatus map_file(const std::string& path, FileView& view);
    friend bool write_file_from(OutputFile& file, const FileView& view, uint64_t offset, size_t size);
    void release();
    void take(FileView& other)
    {
        data_ = other.data_;
        size_ = other.size_;
        other.data_ = nullptr;
        other.size_ = 0;
#ifndef _WIN32
        fd_ = other.fd_;
        other.fd_ = -1;
#endif
    }
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
#ifndef _WIN32
    int fd_ = -1;  // kept open for reads and copies
#endif
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
#ifdef _WIN32
    void* handle = nullptr;
#else
    int fd = -1;
#endif
};

// An open folder, the anchor for creating and opening what lies below it.
// On Windows its handle is held so that the folder cannot be moved or
// replaced while it is in use.
class Folder : public OwnedHandle {
public:
    bool is_open() const;
#ifdef _WIN32
    std::string path;  // ends in a separator
#endif
};

// Opens the folder at the absolute `path`. With `create`, every missing
// level is made first, top down, existing ones accepted silently. Links in
// `path` itself are followed: it is the user's own choice of root.
bool open_root_folder(const std::string& path, bool create, Folder& out);

// A second handle to the same folder, for work that outlives the first.
bool duplicate_folder(const Folder& folder, Folder& out);

// Opens the folder `name` inside `parent`, making it first with `create`.
// A link standing at `name` is never followed, so nothing below the root
// can lead outside it.
bool open_child_folder(const Folder& parent, const std::string& name, bool create, Folder& out);

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

// Closes the file; false if closing reported a write error.
bool close_file(OutputFile& file);

// Removes `name` inside `folder` (a partial file this run created).
void remove_file(const Folder& folder, const std::string& name);

enum class ReadStatus { ok, missing, too_large };

// A regular file open for reading (a source in a repack).
class InputFile : public OwnedHandle {};

// Opens the regular file `name` inside `folder` for reading and gives its
// size. Anything that is not a regular file, or a link, or cannot be
// opened, is `missing`; a file larger than `max_size` is `too_large` and
// is not kept open.
ReadStatus open_regular_file(const Folder& folder, const std::string& name, uint64_t max_size, InputFile& in,
                             uint64_t& size);

// Reads up to `size` bytes from the start of the file into `dest`; `got`
// is fewer when the file has shrunk since it was opened. False on a read
// error.
bool read_file(const InputFile& in, uint8_t* dest, size_t size, size_t& got);

// A file open for reading and writing in place (the archive in a repack).
class UpdateFile {
public:
    UpdateFile() = default;
    UpdateFile(const UpdateFile&) = delete;
    UpdateFile& operator=(const UpdateFile&) = delete;
    ~UpdateFile();

    // False when the file cannot be opened for update; it must exist.
    bool open(const std::string& path);
    bool size(uint64_t& out) const;
    // Reads exactly `size` bytes at `offset`; false on a short read.
    bool read_at(uint64_t offset, uint8_t* data, size_t size) const;
    // Writes exactly `size` bytes at `offset`; false on any failure.
    bool write_at(uint64_t offset, const uint8_t* data, size_t size);
    bool truncate(uint64_t size);
    // Flushes written data to the disk itself.
    bool sync();

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// Blocks until one key press reaches the console or terminal, without echo;
// Ctrl+C counts as a key. Returns at once when there is no console to read,
// or when the wait is switched off.
void wait_for_key();

// Test hooks, kept in test_hooks.cpp so that every system's implementation
// shares them. The tool itself never touches them.

// Switches the key wait off (it then returns at once) or back on; on by
// default. In-process tests and fuzzers must never block on a terminal.
void set_key_wait_enabled(bool enabled);
bool key_wait_enabled();

// Fault injection. Every write (write_file, UpdateFile::write_at) and every
// sync (UpdateFile::sync) is counted, and a test may arm one of them to fail
// as a full disk or an I/O error would.
enum class FaultPoint { write, sync };

// Makes the `nth` call at `point` from now fail (1 = the next one). A torn
// write puts the first half of its bytes down before it fails.
void arm_fault(FaultPoint point, uint64_t nth, bool torn = false);

// Disarms every fault and restarts the counts from zero.
void reset_faults();

// Calls made at `point` since the last reset.
uint64_t fault_point_calls(FaultPoint point);

// Called by the implementation once at the start of every write of `size`
// bytes: true when the write must fail, with `size` cut to the bytes it may
// put down first.
bool write_fault_due(size_t& size);

// A write of `size` bytes through `write(n)`, which puts down the first n:
// all of them, or, when an armed fault is due, the part it lets through,
// and then it fails.
template <class Write>
bool write_as_faults_allow(size_t size, Write write)
{
    size_t allowed = size;
    const bool fault = write_fault_due(allowed);
    return write(allowed) && !fault;
}

// Called by the implementation at the start of every sync: true when the
// sync must fail.
bool sync_fault_due();

// The companion command's needs: whether standard error is a terminal or
// console (a person watching, who gets a progress line), and whether
// anything at all stands at `name` inside `folder`, a link included.
bool stderr_is_terminal();
bool entry_exists(const Folder& folder, const std::string& name);

}  // namespace tavmerk::platform
