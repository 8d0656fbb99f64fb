#include "EventLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace bluezsim {

EventLoop::EventLoop(sdbus::IConnection& connection) : connection_(connection) {
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    signal_fd_ = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (wake_fd_ < 0 || signal_fd_ < 0) {
        throw std::runtime_error(std::string("cannot create the event loop's descriptors: ") + std::strerror(errno));
    }
}

EventLoop::~EventLoop() {
    ::close(wake_fd_);
    ::close(signal_fd_);
}

void EventLoop::post(Task task) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(posted_mutex_);
        wake = posted_.empty();
        posted_.push_back(std::move(task));
    }
    if (wake) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
    }
}

void EventLoop::after(Clock::duration delay, Task task) {
    timers_.push_back(Timer{Clock::now() + delay, timer_sequence_++, std::move(task)});
    std::push_heap(timers_.begin(), timers_.end(), later);
}

uint64_t EventLoop::watch(int fd, short events, std::function<void(short revents)> ready) {
    const uint64_t id = ++next_watch_;
    watches_[id] = Watch{fd, events, std::move(ready)};
    return id;
}

void EventLoop::setEvents(uint64_t id, short events) {
    auto it = watches_.find(id);
    if (it != watches_.end()) {
        it->second.events = events;
    }
}

void EventLoop::unwatch(uint64_t id) {
    watches_.erase(id);
}

void EventLoop::discardPosted() {
    std::vector<Task> dropped;
    std::lock_guard<std::mutex> lock(posted_mutex_);
    dropped.swap(posted_);
}

// A task that throws has a fault of its own; the others still run.
void EventLoop::runContained(const Task& task) {
    try {
        task();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavrin-bluez-sim: %s\n", e.what());
    }
}

bool EventLoop::later(const Timer& a, const Timer& b) {
    return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
}

// One round: every message the connection has, the posted tasks, the due timers, then the idle work.
bool EventLoop::runRound() {
    bool worked = false;
    while (connection_.processPendingRequest()) {
        worked = true;
    }
    std::vector<Task> batch;
    {
        std::lock_guard<std::mutex> lock(posted_mutex_);
        batch.swap(posted_);
    }
    for (Task& task : batch) {
        runContained(task);
        worked = true;
    }
    const auto now = Clock::now();
    while (!timers_.empty() && timers_.front().due <= now) {
        std::pop_heap(timers_.begin(), timers_.end(), later);
        Task task = std::move(timers_.back().task);
        timers_.pop_back();
        runContained(task);
        worked = true;
    }
    if (idle_) {
        idle_();
    }
    return worked;
}

void EventLoop::run(const std::function<bool()>& until) {
    quit_ = false;
    if (stopped_) {
        return;
    }
    for (;;) {
        runRound();
        if (quit_ || (until && until())) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(posted_mutex_);
            if (!posted_.empty()) {
                continue;
            }
        }
        const auto poll_data = connection_.getEventLoopPollData();
        int timeout = poll_data.getPollTimeout();
        if (!timers_.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(timers_.front().due - Clock::now());
            // Rounded up, so that the timer is due when the wait ends.
            const int ms = static_cast<int>(std::max<int64_t>(0, left.count() + 1));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
        std::vector<pollfd> fds = {{poll_data.fd, poll_data.events, 0}, {wake_fd_, POLLIN, 0}, {signal_fd_, POLLIN, 0}};
        std::vector<uint64_t> watched;
        for (const auto& [id, w] : watches_) {
            fds.push_back({w.fd, w.events, 0});
            watched.push_back(id);
        }
        const int ready = ::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout);
        if (ready < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        for (size_t i = 0; ready > 0 && i < watched.size(); ++i) {
            const short revents = fds[i + 3].revents;
            // A callback may end this watch or another one: each is looked up again.
            auto it = watches_.find(watched[i]);
            if (revents != 0 && it != watches_.end()) {
                const auto callback = it->second.ready;
                runContained([&] { callback(revents); });
            }
        }
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof count);
        }
        if (ready > 0 && (fds[2].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            [[maybe_unused]] const ssize_t n = ::read(signal_fd_, &info, sizeof info);
            stopped_ = true;
            return;
        }
    }
}

}  // namespace bluezsim
