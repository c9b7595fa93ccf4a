// Work done ahead on worker threads, finished on the calling thread in the
// order it was submitted.
//
// Design. Both engines walk the directory on the calling thread and turn
// each record into a job. A job's work() (inflating and writing a file,
// reading and compressing a source) may run on any worker; its finish()
// (printing its lines, appending to the archive) runs on the calling
// thread, strictly in submission order. So everything a person or the
// archive can see, the console lines, their order, the bytes appended and
// every key wait, is exactly what a single-threaded run gives: the
// single-threaded build (0 workers) runs each job whole inside submit(),
// and the tests compare the two builds.
//
// Admission. Memory is bounded by a budget set once per run: every job
// declares its cost (the bytes it will hold) and, once its work is done,
// what it still holds. submit() admits a job only while the jobs in flight
// stay within `max_jobs` and the budget, finishing the oldest (or waiting
// for it) to make room; a job is always admitted when nothing else is in
// flight, so one larger than the budget still goes through, alone. The
// budget is a fixed number of bytes plus, where the largest job cannot be
// known ahead, a multiple of the largest cost seen so far.
//
// Results as soon as they are ready: submit() first finishes every job
// whose work is done, so lines reach the console while the run goes on.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "engine/locks.h"

namespace tavmerk {

class Job {
public:
    virtual ~Job() = default;
    // On a worker, or on the calling thread for a job not worth handing over.
    virtual void work() {}
    // On the calling thread, after every earlier job's finish().
    virtual void finish() = 0;
    // Bytes the job holds in flight.
    virtual size_t cost() const { return 0; }
    // Bytes it still holds once its work is done.
    virtual size_t held_after_work() const { return cost(); }
    // False when handing the work to a worker costs more than doing it.
    virtual bool worth_a_worker() const { return true; }
    // A job with nothing to do but finish.
    virtual bool has_work() const { return true; }
};

// At most `max_jobs` in flight, and a budget of bytes for them, made by
// one of the two named ways below.
struct WorkLimits {
    // A budget of `bytes`, for jobs whose costs are small beside it.
    static constexpr WorkLimits fixed_budget(size_t bytes)
    {
        WorkLimits limits;
        limits.budget = bytes;
        return limits;
    }

    // A budget of `multiple` times the largest cost seen so far, for jobs
    // whose largest cost cannot be known ahead.
    static constexpr WorkLimits scaled_by_largest(size_t multiple)
    {
        WorkLimits limits;
        limits.budget_per_largest = multiple;
        return limits;
    }

    size_t max_jobs = 128;
    size_t budget = 0;               // bytes in flight
    size_t budget_per_largest = 0;   // plus this many times the largest cost seen
};

class OrderedWork {
public:
    // With 0 workers every job runs whole inside submit().
    OrderedWork(unsigned workers, WorkLimits limits);
    ~OrderedWork();  // jobs not yet finished are dropped; running work completes
    OrderedWork(const OrderedWork&) = delete;
    OrderedWork& operator=(const OrderedWork&) = delete;

    // Queues a job; may finish earlier jobs first, to make room.
    void submit(std::unique_ptr<Job> job);

    // Finishes every queued job.
    void finish_all();

    // Drops every job not yet finished and refuses new ones (after a
    // failure that ends the run); may be called from a finish(). Work
    // already running completes, but its finish() never runs.
    void stop();

    unsigned workers() const { return unsigned(threads_.size()); }

private:
    // Filled in by submit() before it is queued; once queued, `cost`,
    // `started` and `done` change only under the queue's mutex_ (which
    // the analysis cannot tie to a Slot), and `job` belongs to the worker
    // that started it until `done`, then to the calling thread.
    struct Slot {
        std::unique_ptr<Job> job;
        size_t cost = 0;
        bool started = false;
        bool done = false;
    };

    bool full(size_t cost) const REQUIRES(mutex_);
    void make_room(size_t cost) EXCLUDES(mutex_);
    enum class Wait { for_work, never };
    // Finishes the oldest job, waiting for its work if `wait` says so;
    // false when there was none (or, without waiting, it was not done).
    bool finish_front(Wait wait) EXCLUDES(mutex_);
    bool stopped() EXCLUDES(mutex_);
    void worker_loop() EXCLUDES(mutex_);

    WorkLimits limits_;
    size_t largest_cost_ = 0;  // the calling thread's alone
    std::vector<std::thread> threads_;
    Mutex mutex_;
    CondVar work_ready_;
    CondVar job_done_;
    std::deque<std::shared_ptr<Slot>> slots_ GUARDED_BY(mutex_);  // in submission order
    size_t next_start_ GUARDED_BY(mutex_) = 0;  // index in slots_ of the first job no worker took
    size_t in_flight_cost_ GUARDED_BY(mutex_) = 0;
    bool ending_ GUARDED_BY(mutex_) = false;   // the workers are to end
    bool stopped_ GUARDED_BY(mutex_) = false;  // stop() was called
};

// Worker threads to use: one per processor.
unsigned default_workers();

}  // namespace tavmerk
