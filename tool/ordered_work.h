// Work done ahead on worker threads and finished on the calling thread in
// the order it was submitted. Expansion inflates and writes files the
// calling thread has created, and repacking compresses, on the workers;
// creating files, appending to the archive and the console stay with the
// calling thread, in directory order, so the results, the console lines,
// their order and every key wait are those of a single-threaded run.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tavmerk {

class OrderedWork {
public:
    using Step = std::function<void()>;
    // What a job still holds once its work is done, in the units of its cost.
    using Remaining = std::function<size_t()>;

    // With 0 workers every job runs entirely inside submit().
    explicit OrderedWork(unsigned workers);
    ~OrderedWork();  // jobs not yet finished are dropped
    OrderedWork(const OrderedWork&) = delete;
    OrderedWork& operator=(const OrderedWork&) = delete;

    // At most `max_jobs` jobs and `max_cost` cost in flight; a job is always
    // admitted when nothing else is in flight.
    void set_limits(size_t max_jobs, size_t max_cost);

    // Queues a job: `work` (may be empty) runs on a worker, then `finish` on
    // this thread, after every earlier job's finish. May finish earlier jobs
    // first to stay within the limits. Work that costs less than handing it
    // over (`small`) runs here and now instead.
    void submit(Step work, Step finish, size_t cost, bool small = false, Remaining remaining = nullptr);

    // Finishes every queued job.
    void finish_all();

    // Drops every job not yet finished and refuses new ones (after a
    // failure that ends the run); may be called from a finish step. Work
    // already running completes, but its finish never runs.
    void stop();

    unsigned workers() const { return unsigned(threads_.size()); }

private:
    struct Job {
        Step work;
        Step finish;
        Remaining remaining;
        size_t cost = 0;
        bool started = false;
        bool done = false;
    };

    // Finishes the oldest job, waiting for its work if `wait`; false when
    // there was none (or, without waiting, it was not done).
    bool finish_front(bool wait);
    void worker_loop();

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable job_done_;
    std::deque<std::shared_ptr<Job>> jobs_;  // in submission order
    size_t next_start_ = 0;  // index in jobs_ of the first job no worker took
    size_t in_flight_cost_ = 0;
    size_t max_jobs_ = 1;
    size_t max_cost_ = 0;
    bool stopping_ = false;  // the workers are to end
    bool stopped_ = false;   // stop() was called
};

// Worker threads to use: one per processor.
unsigned default_workers();

}  // namespace tavmerk
