// The BlueZ radio's loop: its thread, tasks, timers and wait.

#include "EventLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "Core.h"

namespace platform::bluez {

EventLoop::EventLoop() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EventLoop::~EventLoop() {
    stop();
    // The loop holds the core, so this runs on the loop thread only after its body has returned, where the
    // thread cannot join itself.
    if (thread_.joinable()) {
        thread_.detach();
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

// The thread names itself before anything it runs can ask whether it is the loop.
void EventLoop::start(std::function<void()> body) {
    thread_ = std::thread([this, body = std::move(body)] {
        threadId_ = std::this_thread::get_id();
        body();
    });
}

void EventLoop::stop() {
    {
        MutexLock lock(tasksMutex_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void EventLoop::post(Task task) {
    bool first = false;
    {
        MutexLock lock(tasksMutex_);
        if (stopping_) {
            return;
        }
        first = tasks_.empty();
        tasks_.push_back(std::move(task));
    }
    // The loop looks at the queue before it waits: only the first task since it last took them need wake it.
    if (first) {
        wake();
    }
}

void EventLoop::wake() {
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    }
}

bool EventLoop::busy() const {
    MutexLock lock(tasksMutex_);
    return !tasks_.empty() || stopping_;
}

bool EventLoop::take(std::vector<Task>& into) {
    MutexLock lock(tasksMutex_);
    if (stopping_) {
        return false;
    }
    into.swap(tasks_);
    return true;
}

uint64_t EventLoop::after(Clock::duration delay, Task task) {
    const uint64_t id = ++nextTimer_;
    const auto when = Clock::now() + delay;
    timers_[id] = Timer{when, std::move(task)};
    order_.emplace(when, id);
    return id;
}

void EventLoop::cancel(uint64_t timer) {
    if (!timer) {
        return;
    }
    const auto it = timers_.find(timer);
    if (it != timers_.end()) {
        order_.erase({it->second.when, timer});
        timers_.erase(it);
    }
}

void EventLoop::runDue(Core& core) {
    const auto end = order_.upper_bound({Clock::now(), std::numeric_limits<uint64_t>::max()});
    if (end == order_.begin()) {
        return;
    }
    std::vector<uint64_t> due;
    for (auto it = order_.begin(); it != end; ++it) {
        due.push_back(it->second);
    }
    for (const uint64_t id : due) {
        const auto it = timers_.find(id);
        if (it == timers_.end()) {
            continue;  // cancelled by a timer before it
        }
        Task task = std::move(it->second.task);
        order_.erase({it->second.when, id});
        timers_.erase(it);
        contain("in the BlueZ radio's timer", [&] { task(core); });
    }
}

int EventLoop::nextTimeoutMs() const {
    if (order_.empty()) {
        return -1;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(order_.begin()->first - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, 60000));
}

bool EventLoop::wait(int fd, short events, int timeoutMs) {
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd, events, 0}};
    const nfds_t count = fd >= 0 ? 2 : 1;
    const int ready = ::poll(fds, count, timeoutMs);
    if (ready > 0 && (fds[0].revents & POLLIN)) {
        uint64_t drained = 0;
        [[maybe_unused]] const auto got = ::read(wakeFd_, &drained, sizeof drained);
    }
    // The bus needs processing when its descriptor is ready or a deadline (possibly its own) passed; a wake for
    // a task alone does not. Anything unexpected: process it anyway.
    return ready <= 0 || count < 2 || fds[1].revents != 0;
}

}  // namespace platform::bluez
