#pragma once
// Locks the compiler checks: clang's thread-safety attributes (on with -Wthread-safety), and a mutex and lock
// that carry them, since the standard library's do not. Under other compilers the attributes are empty.

#include <mutex>

#if defined(__clang__)
#define TAVRIN_TSA(x) __attribute__((x))
#else
#define TAVRIN_TSA(x)
#endif

#define CAPABILITY(x) TAVRIN_TSA(capability(x))
#define SCOPED_CAPABILITY TAVRIN_TSA(scoped_lockable)
#define GUARDED_BY(x) TAVRIN_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) TAVRIN_TSA(pt_guarded_by(x))
#define REQUIRES(...) TAVRIN_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TAVRIN_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TAVRIN_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TAVRIN_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TAVRIN_TSA(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TAVRIN_TSA(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS TAVRIN_TSA(no_thread_safety_analysis)

namespace platform {

/// A std::mutex the analysis knows as a capability.
class CAPABILITY("mutex") Mutex {
  public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  private:
    std::mutex mutex_;
};

/// A std::recursive_mutex the analysis knows as a capability (it does not follow re-entry, which is fine: each
/// function is checked on its own).
class CAPABILITY("mutex") RecursiveMutex {
  public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

  private:
    std::recursive_mutex mutex_;
};

/// Holds a RecursiveMutex for its scope.
class SCOPED_CAPABILITY RecursiveLock {
  public:
    explicit RecursiveLock(RecursiveMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~RecursiveLock() RELEASE() { mutex_.unlock(); }
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

  private:
    RecursiveMutex& mutex_;
};

/// Holds a Mutex for its scope; unlock() and lock() let go of it and take it again within the scope.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() {
        if (held_) {
            mutex_.unlock();
        }
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() RELEASE() {
        mutex_.unlock();
        held_ = false;
    }
    void lock() ACQUIRE() {
        mutex_.lock();
        held_ = true;
    }

  private:
    Mutex& mutex_;
    bool held_ = true;
};

}  // namespace platform
