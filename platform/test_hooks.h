// Seams for the tests inside the platform layer: switching the key wait
// off, failing the Nth write or sync as a full disk or an I/O error would,
// and recording what a run does to files, for replaying the states a crash
// could leave. Only builds with TAVMERK_TEST_HOOKS have them (the tests' and the
// fuzzers'); the shipped tools compile the calls below to nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavmerk::platform {

#ifdef TAVMERK_TEST_HOOKS

// Switches the key wait off (it then returns at once) or back on; on by
// default. In-process tests and fuzzers must never block on a terminal.
void set_key_wait_enabled(bool enabled);
bool key_wait_enabled();

// Switches syncs off (each is still counted for the faults below, then
// succeeds without waiting for the disk) or back on; on by default. An
// in-process fuzzer, whose checks never depend on what a power loss would
// leave, runs at memory speed without them.
void set_syncs_enabled(bool enabled);
bool syncs_enabled();

// Every write (write_file, write_file_from, UpdateFile::write_at) and every
// sync (UpdateFile::sync) is counted, and a test may arm one of them to fail.
enum class FaultPoint { write, sync };

// Makes the `nth` call at `point` from now fail (1 = the next one). A torn
// write puts the first half of its bytes down before it fails.
void arm_fault(FaultPoint point, uint64_t nth, bool torn = false);

// Makes the `nth` write from now put down its first `keep` bytes (all of
// them when it is shorter) and then end the process at once, with status
// `crash_status`, nothing flushed and nothing put back: the state a power
// loss would leave.
constexpr int crash_status = 86;
void arm_write_crash(uint64_t nth, size_t keep);

// Disarms every fault and restarts the counts from zero.
void reset_faults();

// Calls made at `point` since the last reset.
uint64_t fault_point_calls(FaultPoint point);

// Called once at the start of every write of `size` bytes: true when the
// write must fail, with `size` cut to the bytes it may put down first.
bool write_fault_due(size_t& size);

// Called at the start of every sync: true when the sync must fail.
bool sync_fault_due();

// Called after a failing write has put its part down: ends the process
// when the fault was armed by arm_write_crash.
void crash_if_armed();

// Calls `hook` (nothing when null) just before each rename of a file, so
// that a test can act in the moment a file is about to be replaced.
void set_rename_hook(std::function<void()> hook);
void before_rename();

// What a run does to files, in the order it does it, while recording is
// on: writes (their bytes included), truncations and syncs of a file
// (known by its inode), files created and renamed, and folders synced.
enum class FileOpKind { write, truncate, sync, create, rename, sync_folder };
struct FileOp {
    FileOpKind kind;
    uint64_t file = 0;          // write, truncate, sync, create: the file's inode
    uint64_t offset = 0;        // write: where it starts; truncate: the new size
    std::vector<uint8_t> data;  // write: the bytes put down
    std::string path;           // create: the new file; rename: its old path; sync_folder: the folder
    std::string to;             // rename: the new path
};

// Starts recording afresh, or stops and hands over what was recorded.
void start_recording();
std::vector<FileOp> stop_recording();
bool recording();
void record_file_op(FileOp op);

#else

inline bool key_wait_enabled() { return true; }
inline bool syncs_enabled() { return true; }
inline bool write_fault_due(size_t&) { return false; }
inline bool sync_fault_due() { return false; }
inline void crash_if_armed() {}
inline void before_rename() {}

#endif

// A write of `size` bytes through `write(n)`, which puts down the first n:
// all of them, or, when an armed fault is due, the part it lets through,
// and then it fails.
template <class Write>
bool write_as_faults_allow(size_t size, Write write)
{
    size_t allowed = size;
    const bool fault = write_fault_due(allowed);
    const bool written = write(allowed);
    if (fault)
        crash_if_armed();
    return written && !fault;
}

}  // namespace tavmerk::platform
