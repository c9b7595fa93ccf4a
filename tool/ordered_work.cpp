#include "tool/ordered_work.h"

#include <utility>

namespace tavmerk {

unsigned default_workers()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

OrderedWork::OrderedWork(unsigned workers)
{
    for (unsigned i = 0; i < workers; ++i)
        threads_.emplace_back([this] { worker_loop(); });
}

OrderedWork::~OrderedWork()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    work_ready_.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

void OrderedWork::set_limits(size_t max_jobs, size_t max_cost)
{
    max_jobs_ = max_jobs == 0 ? 1 : max_jobs;
    max_cost_ = max_cost;
}

void OrderedWork::submit(Step work, Step finish, size_t cost, bool small, Remaining remaining)
{
    if (stopped_)
        return;
    if (threads_.empty() || (small && work)) {
        if (work)
            work();
        if (threads_.empty()) {
            if (finish)
                finish();
        } else {
            submit(nullptr, std::move(finish), cost);  // still finished in order
        }
        return;
    }
    // Whatever is done already is finished now, so that lines reach the
    // console as soon as they can; then as much as the limits need.
    while (finish_front(false)) {
    }
    // Room comes from the oldest job being finished, or from any job whose
    // work leaves it holding less than it cost.
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto full = [&] {
            return !jobs_.empty() && (jobs_.size() >= max_jobs_ || in_flight_cost_ + cost > max_cost_);
        };
        if (!full())
            break;
        if (!jobs_.front()->done)
            job_done_.wait(lock, [&] { return !full() || jobs_.front()->done; });
        if (!full())
            break;
        lock.unlock();
        finish_front(false);
    }
    if (stopped_)
        return;
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    job->finish = std::move(finish);
    job->remaining = std::move(remaining);
    job->cost = cost;
    job->done = !job->work;
    job->started = job->done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(job);
        in_flight_cost_ += cost;
    }
    if (!job->done)
        work_ready_.notify_one();
}

bool OrderedWork::finish_front(bool wait)
{
    std::shared_ptr<Job> job;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (jobs_.empty())
            return false;
        job = jobs_.front();
        if (wait)
            job_done_.wait(lock, [&] { return job->done; });
        else if (!job->done)
            return false;
        jobs_.pop_front();
        if (next_start_ > 0)
            --next_start_;
        in_flight_cost_ -= job->cost;
    }
    if (job->finish)
        job->finish();
    return true;
}

void OrderedWork::finish_all()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (jobs_.empty())
                return;
        }
        finish_front(true);
    }
}

void OrderedWork::stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    jobs_.clear();
    next_start_ = 0;
    in_flight_cost_ = 0;
}

void OrderedWork::worker_loop()
{
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // Jobs start in submission order: everything before `next_start_`
            // has started.
            const auto skip_started = [&] {
                while (next_start_ < jobs_.size() && jobs_[next_start_]->started)
                    ++next_start_;
                return next_start_ < jobs_.size();
            };
            work_ready_.wait(lock, [&] { return stopping_ || skip_started(); });
            if (stopping_)
                return;
            job = jobs_[next_start_++];
            job->started = true;
        }
        job->work();
        const size_t left = job->remaining ? job->remaining() : job->cost;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (left < job->cost && !stopped_) {
                in_flight_cost_ -= job->cost - left;
                job->cost = left;
            }
            job->done = true;
        }
        job_done_.notify_all();
    }
}

}  // namespace tavmerk
