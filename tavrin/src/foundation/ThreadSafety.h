#pragma once
// Locks the compiler checks: clang's thread-safety attributes (on with -Wthread-safety), and a mutex and lock
// that carry them, since the standard library's do not. Under other compilers the attributes are empty. The
// macros are spelled as the platform's own, so that a file may see both.

#include <mutex>

#ifndef TAVRIN_TSA
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
#endif

namespace Tavrin {

/// A std::mutex the analysis knows as a capability.
class CAPABILITY("mutex") Mutex {
  public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

  private:
    std::mutex mutex_;
};

/// Holds a Mutex for its scope. A std::condition_variable_any may wait on it (it lets go and takes the mutex
/// again inside the wait, which the analysis does not see: the mutex counts as held throughout).
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // For the condition variable only.
    void unlock() NO_THREAD_SAFETY_ANALYSIS { mutex_.unlock(); }
    void lock() NO_THREAD_SAFETY_ANALYSIS { mutex_.lock(); }

  private:
    Mutex& mutex_;
};

}  // namespace Tavrin
