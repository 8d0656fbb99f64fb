#pragma once
// The simulator's one thread of work: the bus connection's messages, tasks handed over from other threads
// (the radio's completions and events), timers and the stop signals, all run here one at a time. Everything
// the simulator serves on the bus is touched only on this thread, so it needs no lock.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include <sdbus-c++/IConnection.h>

namespace bluezsim {

class EventLoop {
  public:
    using Clock = std::chrono::steady_clock;
    using Task = std::function<void()>;

    /// SIGINT and SIGTERM must already be blocked in every thread (see main): the loop takes them from a
    /// signalfd. Throws std::runtime_error when the descriptors cannot be made.
    explicit EventLoop(sdbus::IConnection& connection);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    /// Any thread: runs `task` on the loop's thread, after the tasks posted before it.
    void post(Task task);
    /// Loop thread: runs `task` once `delay` has passed.
    void after(Clock::duration delay, Task task);
    /// Loop thread: runs `task` whenever the loop has nothing left to do before it waits (coalesced signals go
    /// out here).
    void setIdle(Task task) { idle_ = std::move(task); }
    /// Loop thread: calls `ready` with the poll events whenever `fd` has any of `events` (hang-ups and errors
    /// always count) until unwatch(). Returns the watch's id.
    uint64_t watch(int fd, short events, std::function<void(short revents)> ready);
    /// Loop thread: what the watch waits for from now on.
    void setEvents(uint64_t id, short events);
    /// Loop thread: ends the watch; its callback is not called again, even within the current round.
    void unwatch(uint64_t id);

    /// Runs until SIGINT/SIGTERM or `quit()`, or until `until` returns true (checked after every round).
    void run(const std::function<bool()>& until = nullptr);
    /// Loop thread: `run` returns after the current round.
    void quit() { quit_ = true; }
    /// A stop signal came.
    bool stopped() const { return stopped_; }
    /// Drops every task posted and not yet run (shutdown, once nothing posts any more).
    void discardPosted();

  private:
    struct Timer {
        Clock::time_point due;
        uint64_t sequence;
        Task task;
    };
    static bool later(const Timer& a, const Timer& b);
    static void runContained(const Task& task);
    bool runRound();

    sdbus::IConnection& connection_;
    int wake_fd_ = -1;
    int signal_fd_ = -1;
    bool quit_ = false;     // loop thread only
    bool stopped_ = false;  // loop thread only
    Task idle_;             // loop thread only

    std::mutex posted_mutex_;
    std::vector<Task> posted_;  // guarded by posted_mutex_

    std::vector<Timer> timers_;  // loop thread only: a heap, earliest first
    uint64_t timer_sequence_ = 0;

    struct Watch {
        int fd;
        short events;
        std::function<void(short)> ready;
    };
    std::map<uint64_t, Watch> watches_;  // loop thread only
    uint64_t next_watch_ = 0;            // loop thread only
};

}  // namespace bluezsim
