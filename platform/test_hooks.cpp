// The test hooks, shared by every system's implementation: the key-wait
// switch, the counting of injected faults and the recording of file
// operations. Atomic or under a lock, as writes may come from more than one
// thread.
#include "platform/test_hooks.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace tavmerk::platform {

namespace {

std::atomic<bool> key_wait_on{true};
std::atomic<bool> syncs_on{true};

struct FaultCounter {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> armed_at{0};  // 0 = not armed
};

FaultCounter fault_counters[2];
std::atomic<bool> torn_write{false};
std::atomic<bool> crash_write{false};
std::atomic<size_t> crash_keep{0};

std::atomic<bool> recording_on{false};
std::mutex recorded_lock;
std::vector<FileOp> recorded;

FaultCounter& counter(FaultPoint point)
{
    return fault_counters[point == FaultPoint::write ? 0 : 1];
}

// Counts one call at `point`; true when it is the armed one.
bool count_call(FaultPoint point)
{
    FaultCounter& c = counter(point);
    const uint64_t call = c.calls.fetch_add(1) + 1;
    return call == c.armed_at.load();
}

}  // namespace

void set_key_wait_enabled(bool enabled)
{
    key_wait_on = enabled;
}

bool key_wait_enabled()
{
    return key_wait_on;
}

void set_syncs_enabled(bool enabled)
{
    syncs_on = enabled;
}

bool syncs_enabled()
{
    return syncs_on;
}

void arm_fault(FaultPoint point, uint64_t nth, bool torn)
{
    FaultCounter& c = counter(point);
    if (point == FaultPoint::write) {
        torn_write = torn;
        crash_write = false;
    }
    c.armed_at = c.calls.load() + nth;
}

void arm_write_crash(uint64_t nth, size_t keep)
{
    arm_fault(FaultPoint::write, nth);
    crash_keep = keep;
    crash_write = true;
}

void crash_if_armed()
{
    if (crash_write)
        std::_Exit(crash_status);
}

void reset_faults()
{
    for (FaultCounter& c : fault_counters) {
        c.armed_at = 0;
        c.calls = 0;
    }
    torn_write = false;
    crash_write = false;
}

uint64_t fault_point_calls(FaultPoint point)
{
    return counter(point).calls;
}

bool write_fault_due(size_t& size)
{
    if (!count_call(FaultPoint::write))
        return false;
    if (crash_write)
        size = size < crash_keep ? size : size_t(crash_keep);
    else
        size = torn_write ? size / 2 : 0;
    return true;
}

bool sync_fault_due()
{
    return count_call(FaultPoint::sync);
}

std::function<void()> rename_hook;

void set_rename_hook(std::function<void()> hook)
{
    rename_hook = std::move(hook);
}

void before_rename()
{
    if (rename_hook)
        rename_hook();
}

void start_recording()
{
    std::lock_guard<std::mutex> hold(recorded_lock);
    recorded.clear();
    recording_on = true;
}

std::vector<FileOp> stop_recording()
{
    std::lock_guard<std::mutex> hold(recorded_lock);
    recording_on = false;
    return std::move(recorded);
}

bool recording()
{
    return recording_on;
}

void record_file_op(FileOp op)
{
    std::lock_guard<std::mutex> hold(recorded_lock);
    if (recording_on)
        recorded.push_back(std::move(op));
}

}  // namespace tavmerk::platform
