#pragma once
// The BlueZ radio's loop: a thread of its own, the tasks other threads hand it, its timers, the sockets it
// watches, and the wait in poll() for the bus, a task, a socket or the next deadline. What a pass does is the
// core's (Core::run).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <poll.h>

#include "../ThreadSafety.h"

namespace platform::bluez {

class Core;

class EventLoop {
  public:
    using Task = std::function<void(Core&)>;
    using Clock = std::chrono::steady_clock;
    // Handles what poll() reported for a watched descriptor; returns how many messages it took (for the loop's
    // measure of dense traffic).
    using WatchHandler = std::function<int(Core&, short revents)>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // ---- Any thread ----
    void start(std::function<void()> body);
    // Stops the loop and waits for it, unless called on the loop itself; pending tasks are dropped.
    void stop() EXCLUDES(tasksMutex_);
    // Queues a task for the next pass; dropped once the loop stops.
    void post(Task task) EXCLUDES(tasksMutex_);
    void wake();
    bool onLoopThread() const { return std::this_thread::get_id() == threadId_.load(); }
    // Whether a task waits or the loop stops: what a caller's thread must not overtake.
    bool busy() const EXCLUDES(tasksMutex_);

    // ---- The loop thread ----
    // Takes the tasks queued so far; false once the loop stops.
    bool take(std::vector<Task>& into) EXCLUDES(tasksMutex_);
    uint64_t after(Clock::duration delay, Task task);
    void cancel(uint64_t timer);
    // Runs the timers due now; those they set meanwhile wait for the next pass, even if due already.
    void runDue(Core& core);
    bool hasTimers() const { return !order_.empty(); }
    // Milliseconds until the next timer, -1 for none.
    int nextTimeoutMs() const;
    // A descriptor the same poll() covers, until unwatch(); the descriptor stays the caller's.
    uint64_t watch(int fd, short events, WatchHandler handler);
    void setWatchEvents(uint64_t watch, short events);
    void unwatch(uint64_t watch);
    // Under the core's lock: what the next wait covers. The bus's descriptor (if any) with its events; the
    // watched descriptors with their events masked by `watchMask` (poll() reports a hang-up or an error anyway).
    void prepare(int fd, short events, short watchMask);
    // Without the core's lock: waits in poll() for the wake, what prepare() named, or the timeout; returns whether
    // the bus needs processing (it is ready, or the wait ended without a wake).
    bool wait(int timeoutMs);
    // Under the core's lock: the handlers of the watched descriptors the wait found ready (those still watched);
    // returns the messages they took.
    int runReady(Core& core);

  private:
    struct Timer {
        Clock::time_point when;
        Task task;
    };
    struct Watch {
        int fd = -1;
        short events = 0;
        WatchHandler handler;
    };

    int wakeFd_ = -1;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};

    mutable Mutex tasksMutex_;
    std::vector<Task> tasks_ GUARDED_BY(tasksMutex_);
    bool stopping_ GUARDED_BY(tasksMutex_) = false;

    // Touched only under Core::mutex_ (by the loop thread, or a caller's thread sending while the loop waits);
    // the analysis cannot name that lock here.
    std::map<uint64_t, Timer> timers_;
    std::set<std::pair<Clock::time_point, uint64_t>> order_;  // timers_ by deadline
    uint64_t nextTimer_ = 0;
    std::map<uint64_t, Watch> watches_;
    uint64_t nextWatch_ = 0;
    // The wait's own: filled by prepare() under the core's lock, used by wait() without it, read by runReady()
    // under it again; only the loop thread waits.
    std::vector<pollfd> polled_;
    std::vector<uint64_t> polledWatches_;  // the watch of each entry of polled_ after the first two
    bool busPolled_ = false;
    bool readsHeldBack_ = false;  // the last prepare() kept the sockets' reads back (see wait)
    int ready_ = 0;
};

}  // namespace platform::bluez
