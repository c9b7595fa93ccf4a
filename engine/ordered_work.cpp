#include "engine/ordered_work.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace tavmerk {

unsigned default_workers()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

OrderedWork::OrderedWork(unsigned workers, WorkLimits limits) : limits_(limits)
{
    limits_.max_jobs = std::max<size_t>(limits_.max_jobs, 1);
    // A thread the system cannot start (no memory for its stack) leaves
    // the work to fewer, or to the calling thread alone.
    try {
        for (unsigned i = 0; i < workers; ++i)
            threads_.emplace_back([this] { worker_loop(); });
    } catch (const std::system_error&) {
    }
}

OrderedWork::~OrderedWork()
{
    {
        MutexLock lock(mutex_);
        ending_ = true;
        slots_.clear();
    }
    work_ready_.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

bool OrderedWork::full(size_t cost) const
{
    const size_t budget = limits_.budget + limits_.budget_per_largest * largest_cost_;
    return !slots_.empty() && (slots_.size() >= limits_.max_jobs || in_flight_cost_ + cost > budget);
}

// Room comes from the oldest job being finished, or from any job whose
// work leaves it holding less than it cost.
void OrderedWork::make_room(size_t cost)
{
    while (finish_front(Wait::never)) {
    }
    for (;;) {
        MutexLock lock(mutex_);
        while (full(cost) && !slots_.front()->done)
            job_done_.wait(mutex_);
        if (!full(cost))
            return;
        lock.unlock();
        finish_front(Wait::never);
    }
}

bool OrderedWork::stopped()
{
    MutexLock lock(mutex_);
    return stopped_;
}

void OrderedWork::submit(std::unique_ptr<Job> job)
{
    if (stopped())
        return;
    if (threads_.empty()) {
        if (job->has_work())
            job->work();
        job->finish();
        return;
    }
    auto slot = std::make_shared<Slot>();
    slot->cost = job->cost();
    slot->done = !job->has_work();
    if (!slot->done && !job->worth_a_worker()) {
        job->work();
        slot->done = true;
        slot->cost = job->held_after_work();  // finished in order all the same
    }
    slot->started = slot->done;
    slot->job = std::move(job);
    largest_cost_ = std::max(largest_cost_, slot->cost);
    make_room(slot->cost);
    const bool queued_work = !slot->done;
    {
        MutexLock lock(mutex_);
        if (stopped_)
            return;
        in_flight_cost_ += slot->cost;
        slots_.push_back(std::move(slot));
    }
    if (queued_work)
        work_ready_.notify_one();
}

bool OrderedWork::finish_front(Wait wait)
{
    std::shared_ptr<Slot> slot;
    {
        MutexLock lock(mutex_);
        if (slots_.empty())
            return false;
        slot = slots_.front();
        if (wait == Wait::for_work)
            while (!slot->done)
                job_done_.wait(mutex_);
        else if (!slot->done)
            return false;
        slots_.pop_front();
        if (next_start_ > 0)
            --next_start_;
        in_flight_cost_ -= slot->cost;
    }
    slot->job->finish();
    return true;
}

void OrderedWork::finish_all()
{
    for (;;) {
        {
            MutexLock lock(mutex_);
            if (slots_.empty())
                return;
        }
        finish_front(Wait::for_work);
    }
}

void OrderedWork::stop()
{
    MutexLock lock(mutex_);
    stopped_ = true;
    slots_.clear();
    next_start_ = 0;
    in_flight_cost_ = 0;
}

void OrderedWork::worker_loop()
{
    for (;;) {
        std::shared_ptr<Slot> slot;
        {
            MutexLock lock(mutex_);
            // Jobs start in submission order: everything before
            // `next_start_` has started.
            for (;;) {
                while (next_start_ < slots_.size() && slots_[next_start_]->started)
                    ++next_start_;
                if (ending_ || next_start_ < slots_.size())
                    break;
                work_ready_.wait(mutex_);
            }
            if (ending_)
                return;
            slot = slots_[next_start_++];
            slot->started = true;
        }
        slot->job->work();
        const size_t left = slot->job->held_after_work();
        {
            MutexLock lock(mutex_);
            if (left < slot->cost && !stopped_) {
                in_flight_cost_ -= slot->cost - left;
                slot->cost = left;
            }
            slot->done = true;
        }
        job_done_.notify_all();
    }
}

}  // namespace tavmerk
