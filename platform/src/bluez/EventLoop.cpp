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

uint64_t EventLoop::watch(int fd, short events, WatchHandler handler) {
    const uint64_t id = ++nextWatch_;
    watches_[id] = Watch{fd, events, std::move(handler)};
    return id;
}

void EventLoop::setWatchEvents(uint64_t watch, short events) {
    const auto it = watches_.find(watch);
    if (it != watches_.end()) {
        it->second.events = events;
    }
}

void EventLoop::unwatch(uint64_t watch) {
    if (watch) {
        watches_.erase(watch);
    }
}

void EventLoop::prepare(int fd, short events, short watchMask) {
    polled_.clear();
    polledWatches_.clear();
    polled_.push_back({wakeFd_, POLLIN, 0});
    busPolled_ = fd >= 0;
    readsHeldBack_ = (watchMask & POLLIN) == 0;
    // The bus keeps its place even when not polled (a negative descriptor is skipped), so watches start at 2.
    polled_.push_back({busPolled_ ? fd : -1, events, 0});
    for (const auto& [id, w] : watches_) {
        polled_.push_back({w.fd, static_cast<short>(w.events & watchMask), 0});
        polledWatches_.push_back(id);
    }
}

bool EventLoop::wait(int timeoutMs) {
    ready_ = ::poll(polled_.data(), static_cast<nfds_t>(polled_.size()), timeoutMs);
    if (ready_ > 0 && (polled_[0].revents & POLLIN)) {
        uint64_t drained = 0;
        [[maybe_unused]] const auto got = ::read(wakeFd_, &drained, sizeof drained);
    }
    if (readsHeldBack_) {
        // The sockets' reads waited with the bus: whatever came meanwhile is read in this pass, not after a wake
        // of its own (a reader finds nothing and returns at once).
        for (std::size_t i = 0; i < polledWatches_.size(); ++i) {
            const auto it = watches_.find(polledWatches_[i]);
            if (it != watches_.end() && (it->second.events & POLLIN)) {
                polled_[i + 2].revents |= POLLIN;
                ready_ = std::max(ready_, 1);
            }
        }
    }
    // The bus needs processing when its descriptor is ready or a deadline (possibly its own) passed; a wake for
    // a task or a watched socket alone does not. Anything unexpected: process it anyway.
    return ready_ <= 0 || !busPolled_ || polled_[1].revents != 0;
}

int EventLoop::runReady(Core& core) {
    int taken = 0;
    if (ready_ <= 0) {
        return taken;
    }
    ready_ = 0;
    for (std::size_t i = 0; i < polledWatches_.size(); ++i) {
        const short revents = polled_[i + 2].revents;
        if (revents == 0) {
            continue;
        }
        const auto it = watches_.find(polledWatches_[i]);
        if (it == watches_.end()) {
            continue;  // unwatched by a handler before it
        }
        // A copy: the handler may unwatch itself.
        const WatchHandler handler = it->second.handler;
        contain("in the BlueZ radio's socket", [&] { taken += handler(core, revents); });
    }
    return taken;
}

}  // namespace platform::bluez
