// Locks that Clang's thread-safety analysis (-Wthread-safety) can follow:
// a member marked GUARDED_BY(m) is read or written only with `m` held, a
// function marked REQUIRES(m) is called only with it held, and locks
// marked ACQUIRED_BEFORE/ACQUIRED_AFTER are taken in that order within one
// function (that check needs -Wthread-safety-beta). Other compilers see
// plain std::mutex and std::shared_mutex: every macro is empty there.
//
// The analysis looks at one function at a time and not into lambdas run
// under a caller's lock: a lambda that touches guarded data takes a
// reference to it first, or the lock itself.
#pragma once

#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define TAVMERK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TAVMERK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TAVMERK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TAVMERK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TAVMERK_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TAVMERK_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TAVMERK_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TAVMERK_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TAVMERK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TAVMERK_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) TAVMERK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) TAVMERK_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) TAVMERK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) TAVMERK_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) TAVMERK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS TAVMERK_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace tavmerk {

class CondVar;

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    friend class CondVar;
    std::mutex mutex_;
};

// Readers share it; a writer holds it alone.
class CAPABILITY("mutex") SharedMutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    void lock_shared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
    void unlock_shared() RELEASE_SHARED() { mutex_.unlock_shared(); }

private:
    std::shared_mutex mutex_;
};

// Holds a Mutex for its scope; unlock() and lock() let it go and take it
// again within that scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE()
    {
        if (held_)
            mutex_.unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() RELEASE()
    {
        mutex_.unlock();
        held_ = false;
    }
    void lock() ACQUIRE()
    {
        mutex_.lock();
        held_ = true;
    }

private:
    Mutex& mutex_;
    bool held_ = true;
};

// Holds a SharedMutex shared for its scope.
class SCOPED_CAPABILITY ReaderLock {
public:
    explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) { mutex_.lock_shared(); }
    ~ReaderLock() RELEASE() { mutex_.unlock_shared(); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

private:
    SharedMutex& mutex_;
};

// Holds a SharedMutex alone for its scope.
class SCOPED_CAPABILITY WriterLock {
public:
    explicit WriterLock(SharedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~WriterLock() RELEASE() { mutex_.unlock(); }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

private:
    SharedMutex& mutex_;
};

// A condition variable over a Mutex. wait() is called with the mutex held
// and returns with it held again, in a loop that tests the condition (a
// wait may end with nothing notified):
//     while (!ready_)
//         changed_.wait(mutex_);
// The condition is tested in the caller's own code, where the analysis
// sees the lock held, not in a lambda where it cannot.
class CondVar {
public:
    void wait(Mutex& mutex) REQUIRES(mutex)
    {
        std::unique_lock<std::mutex> held(mutex.mutex_, std::adopt_lock);
        condition_.wait(held);
        held.release();  // still held: the caller's
    }
    void notify_one() { condition_.notify_one(); }
    void notify_all() { condition_.notify_all(); }

private:
    std::condition_variable condition_;
};

}  // namespace tavmerk
