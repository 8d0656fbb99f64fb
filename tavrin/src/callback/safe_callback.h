#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace zem {

/// Marks the calling thread as running a caller's callback for the scope's length. Every call of a
/// caller's callable made by the library is inside one (the holders below make their own), so that a
/// thread can tell whether waiting for another callback could close a cycle.
class callback_scope {
  public:
    callback_scope() noexcept { ++depth(); }
    ~callback_scope() { --depth(); }
    callback_scope(const callback_scope&) = delete;
    callback_scope& operator=(const callback_scope&) = delete;

    /// True while the calling thread runs a caller's callback.
    static bool active() noexcept { return depth() > 0; }

  private:
    static unsigned& depth() noexcept {
        thread_local unsigned value = 0;
        return value;
    }
};

template <typename Signature>
class safe_callback;

/// Holds one caller-supplied callable so that several threads may install, remove, test and invoke it.
///
/// No lock is held while the callable runs: a call takes the callable (and a count of its running calls)
/// under the holder's mutex and calls it after releasing it. So a callable may use any holder, its own
/// included, and two callables that reach each other from two threads never wait for each other. Calls
/// made from two threads may overlap.
///
/// `load` and `unload` made outside any callback return only once every running call of the callable
/// they replaced has returned: then that callable neither runs nor is called again, and what it captured
/// may go. Made from inside a callback (of any holder, or a value callback) they do not wait, since the
/// running call might itself be waiting for the callback that replaces it; the replaced callable is then
/// no longer called, but a call already running elsewhere finishes. Each callable lives in its own
/// allocation, which a running call keeps alive, so replacing one never disturbs a call of it.
///
/// The owner keeps the holder alive for the length of every call (its operations hold their object).
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
        auto fresh = std::make_shared<entry>(std::move(function));
        replace(std::move(fresh));
    }

    /// Removes the callable (see the class comment for when it is destroyed).
    void unload() { replace(nullptr); }

    /// Lock-free test; a call right after may still find the holder emptied in between.
    bool is_loaded() const { return loaded.load(); }
    explicit operator bool() const { return is_loaded(); }

    /// Calls the installed callable, if any, with no lock held. What the callable throws passes through.
    void operator()(Args... args) {
        std::shared_ptr<entry> running;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!callback) {
                return;
            }
            running = callback;
            ++running->calls;
        }
        // Counts the call off on every way out, and wakes a replacement waiting for it.
        struct call_end {
            safe_callback& holder;
            entry& ended;
            ~call_end() {
                std::lock_guard<std::mutex> lock(holder.mutex);
                if (--ended.calls == 0) {
                    holder.idle.notify_all();
                }
            }
        } end{*this, *running};
        callback_scope scope;
        running->function(std::forward<Args>(args)...);
    }

  private:
    struct entry {
        explicit entry(std::function<R(Args...)> f) : function(std::move(f)) {}
        const std::function<R(Args...)> function;
        unsigned calls = 0;  // calls running now; guarded by the holder's mutex
    };

    void replace(std::shared_ptr<entry> fresh) {
        std::shared_ptr<entry> old;
        {
            std::unique_lock<std::mutex> lock(mutex);
            old = std::exchange(callback, std::move(fresh));
            loaded = callback != nullptr;
            if (old && !callback_scope::active()) {
                idle.wait(lock, [&] { return old->calls == 0; });
            }
        }
        // `old` (the callable, unless a call still runs it) goes here, with no lock held.
    }

    std::atomic<bool> loaded{false};  // written under `mutex`, read lock-free
    std::shared_ptr<entry> callback;  // guarded by `mutex`
    std::mutex mutex;                 // held for short steps only, never while the callable runs
    std::condition_variable idle;     // signalled when a callable's last running call returns
};

}  // namespace zem
