#pragma once
// The peripheral session's thread: its bus connection's messages, the tasks other threads hand it, and its timers,
// run one at a time. Everything the session serves on the bus, and every message of its connection, is touched on
// this thread only, so the session's state needs no lock.

#include <sdbus-c++/IConnection.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "../../ThreadSafety.h"

namespace platform::bluez::peripheral {

class PeripheralLoop : public std::enable_shared_from_this<PeripheralLoop> {
  public:
    using Task = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    /// Throws std::runtime_error when its wake descriptor cannot be made.
    explicit PeripheralLoop(std::unique_ptr<sdbus::IConnection> connection);
    /// Stops the thread first (see stop()). The thread holds the loop while it runs, so this runs on the loop's
    /// thread only once the thread is on its way out.
    ~PeripheralLoop();
    PeripheralLoop(const PeripheralLoop&) = delete;
    PeripheralLoop& operator=(const PeripheralLoop&) = delete;

    /// The connection; used on the loop thread only once the loop runs.
    sdbus::IConnection& connection() { return *connection_; }

    /// Any thread: starts the thread (the loop must be owned by a shared pointer).
    void start();
    /// Any thread: the thread ends after the task running now, and is joined unless this is that thread; tasks
    /// not yet run are dropped, and nothing posted later runs.
    void stop() EXCLUDES(tasksMutex_);
    /// Any thread: runs `task` on the loop's thread after the tasks posted before it; dropped once stopped.
    void post(Task task) EXCLUDES(tasksMutex_);
    bool onLoopThread() const { return std::this_thread::get_id() == threadId_.load(); }

    /// Loop thread: keeps `thing` until the loop has stopped, so that what a bus callback running now belongs to
    /// does not go inside it.
    void keepUntilStopped(std::shared_ptr<void> thing) { kept_.push_back(std::move(thing)); }

    /// Loop thread: runs `task` once `delay` has passed; returns its number for cancel().
    uint64_t after(Clock::duration delay, Task task);
    void cancel(uint64_t timer);

  private:
    void run();
    bool takeTasks(std::vector<Task>& into) EXCLUDES(tasksMutex_);
    void runDueTimers();
    int timeoutMs(int busTimeout) const;

    std::unique_ptr<sdbus::IConnection> connection_;
    int wakeFd_ = -1;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};

    std::atomic<bool> stopped_{false};  // set by stop(): no message of the bus is handled after it
    mutable Mutex tasksMutex_;
    std::vector<Task> tasks_ GUARDED_BY(tasksMutex_);
    bool stopping_ GUARDED_BY(tasksMutex_) = false;

    // Loop thread only.
    struct Timer {
        Clock::time_point when;
        Task task;
    };
    std::map<uint64_t, Timer> timers_;
    std::set<std::pair<Clock::time_point, uint64_t>> order_;
    uint64_t nextTimer_ = 0;
    std::vector<std::shared_ptr<void>> kept_;
};

}  // namespace platform::bluez::peripheral
