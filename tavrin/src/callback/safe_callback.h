#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace zem {

template <typename Signature>
class safe_callback;

/// Holds one caller-supplied callable so that several threads may install, remove, test and invoke
/// it. The lock is held for the whole call of the callable; it is recursive, so code running inside
/// the callable may use the holder again on the same thread.
///
/// A callable that replaces or clears its own holder while it runs takes effect at once (the next
/// call sees the new state), but the callable being run is not destroyed under its own feet: it is
/// parked and destroyed when the outermost call on the holder returns.
template <typename R, typename... Args>
class safe_callback<R(Args...)> {
  public:
    safe_callback() = default;
    virtual ~safe_callback() { unload(); }

    // The mutex pins the holder in place; its owner keeps it as a member.
    safe_callback(const safe_callback&) = delete;
    safe_callback& operator=(const safe_callback&) = delete;
    safe_callback(safe_callback&&) = delete;
    safe_callback& operator=(safe_callback&&) = delete;

    /// Installs `callback`, replacing the previous one. An empty callable changes nothing.
    void load(std::function<R(Args...)> function) {
        if (!function) {
            return;
        }
        std::lock_guard<std::recursive_mutex> lock(mutex);
        retire_current();
        callback = std::move(function);
        loaded = true;
    }

    /// Removes the callable; it is destroyed before this returns, unless it is running right now on
    /// this thread, in which case it is destroyed when that call returns.
    void unload() {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        retire_current();
        callback = nullptr;
        loaded = false;
    }

    /// Lock-free test; a call right after may still find the holder emptied in between.
    bool is_loaded() const { return loaded.load(); }
    explicit operator bool() const { return is_loaded(); }

    /// Calls the installed callable, if any, with the lock held. What the callable throws passes through.
    void operator()(Args... args) {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (!loaded) {
            return;
        }
        CallDepth depth(*this);
        callback(std::forward<Args>(args)...);
    }

  private:
    // Counts the calls in progress (all on the thread holding `mutex`); the outermost one to return
    // destroys the callables retired meanwhile.
    struct CallDepth {
        explicit CallDepth(safe_callback& holder) : holder_(holder) { ++holder_.depth_; }
        ~CallDepth() {
            if (--holder_.depth_ == 0 && !holder_.retired_.empty()) {
                holder_.retired_.clear();
            }
        }
        CallDepth(const CallDepth&) = delete;
        CallDepth& operator=(const CallDepth&) = delete;
        safe_callback& holder_;
    };

    // Called with `mutex` held. While a call runs, the current callable may be the one running, so
    // it is moved aside instead of destroyed.
    void retire_current() {
        if (depth_ > 0 && callback) {
            retired_.push_back(std::move(callback));
        }
    }

    std::atomic<bool> loaded{false};     // written under `mutex`, read lock-free
    std::function<R(Args...)> callback;  // guarded by `mutex`
    std::recursive_mutex mutex;
    unsigned depth_ = 0;                              // guarded by `mutex`
    std::vector<std::function<R(Args...)>> retired_;  // guarded by `mutex`
};

}  // namespace zem
