#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace zem {

template <typename Signature>
class safe_callback;

/// Holds one caller-supplied callable so that several threads may install, remove, test and invoke
/// it. The lock is held for the whole call of the callable; it is recursive, so code running inside
/// the callable may use the holder again on the same thread. So calls of one holder never overlap,
/// and once `load` or `unload` has returned on another thread, the callable it replaced is neither
/// running nor called again. The lock is this holder's alone: no other lock is taken around the call.
///
/// A callable that replaces or clears its own holder while it runs takes effect at once (the next
/// call sees the new state), but the callable being run is left untouched until it returns: each
/// callable lives in its own allocation, which a running call keeps alive, so installing a new one
/// never moves or overwrites the one that runs.
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
        // Allocated before the lock, and the old callable released after it.
        auto fresh = std::make_shared<std::function<R(Args...)>>(std::move(function));
        std::lock_guard<std::recursive_mutex> lock(mutex);
        callback.swap(fresh);
        loaded = true;
    }

    /// Removes the callable; it is destroyed before this returns, unless it is running right now on
    /// this thread, in which case it is destroyed when that call returns.
    void unload() {
        std::shared_ptr<std::function<R(Args...)>> old;
        std::lock_guard<std::recursive_mutex> lock(mutex);
        callback.swap(old);
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
        // Declared after the lock, so it goes (and with it a callable retired meanwhile) before the
        // lock is released.
        const std::shared_ptr<std::function<R(Args...)>> running = callback;
        (*running)(std::forward<Args>(args)...);
    }

  private:
    std::atomic<bool> loaded{false};                      // written under `mutex`, read lock-free
    std::shared_ptr<std::function<R(Args...)>> callback;  // guarded by `mutex`
    std::recursive_mutex mutex;
};

}  // namespace zem
