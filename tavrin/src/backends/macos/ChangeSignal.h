#pragma once
// What the blocking calls of one backend object sleep on: a count of the changes that may end a wait, bumped
// by each of them (the platform's observer on whatever thread made the change, an answer recorded on the event
// queue), and a condition variable told of each bump.

#include <chrono>
#include <condition_variable>
#include <cstdint>

#include "foundation/ThreadSafety.h"

namespace Tavrin {

/// A wait takes `generation()` before it looks at its condition and then sleeps in `wait_past` until the count
/// has moved on from it: a change made after the look bumps the count after it was taken, so no change goes
/// unseen, and nothing but a change or the deadline wakes the wait. `mutex_` is a leaf: nothing is called and
/// no other lock is taken while it is held, so a bump may come from any thread holding any lock.
class ChangeSignal {
  public:
    using Clock = std::chrono::steady_clock;

    uint64_t generation() const EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return generation_;
    }

    /// A change that may end a wait has been made (and is visible to the next look).
    void bump() EXCLUDES(mutex_) {
        {
            MutexLock lock(mutex_);
            ++generation_;
        }
        changed_.notify_all();
    }

    /// Sleeps until the count is past `seen` or `deadline` has come; false at the deadline with no change.
    bool wait_past(uint64_t seen, Clock::time_point deadline) const EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        while (generation_ == seen) {
            if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
                return generation_ != seen;
            }
        }
        return true;
    }

  private:
    mutable Mutex mutex_;
    mutable std::condition_variable_any changed_;  // told of every bump, after mutex_ is released
    uint64_t generation_ GUARDED_BY(mutex_) = 0;
};

}  // namespace Tavrin
