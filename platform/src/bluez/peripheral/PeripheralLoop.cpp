// The peripheral session's thread: tasks, timers and the wait in poll() for the bus.

#include "PeripheralLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "platform/Foundation.h"

namespace platform::bluez::peripheral {

PeripheralLoop::PeripheralLoop(std::unique_ptr<sdbus::IConnection> connection)
    : connection_(std::move(connection)), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wakeFd_ < 0) {
        throw std::runtime_error(std::string("cannot make the peripheral loop's wake descriptor: ") +
                                 std::strerror(errno));
    }
}

PeripheralLoop::~PeripheralLoop() {
    stop();
    if (thread_.joinable()) {
        thread_.detach();  // this is the loop's own thread, returning from run()
    }
    // Tasks, timers and what was kept may hold the connection's messages and objects: they go before it.
    kept_.clear();
    timers_.clear();
    order_.clear();
    {
        MutexLock lock(tasksMutex_);
        tasks_.clear();
    }
    connection_.reset();
    ::close(wakeFd_);
}

void PeripheralLoop::start() {
    thread_ = std::thread([self = shared_from_this()] {
        self->threadId_ = std::this_thread::get_id();
        self->run();
    });
}

void PeripheralLoop::stop() {
    stopped_ = true;
    {
        MutexLock lock(tasksMutex_);
        stopping_ = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    if (thread_.joinable() && !onLoopThread()) {
        thread_.join();
    }
}

void PeripheralLoop::post(Task task) {
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
        const uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    }
}

uint64_t PeripheralLoop::after(Clock::duration delay, Task task) {
    const uint64_t id = ++nextTimer_;
    const auto when = Clock::now() + delay;
    timers_[id] = Timer{when, std::move(task)};
    order_.emplace(when, id);
    return id;
}

void PeripheralLoop::cancel(uint64_t timer) {
    const auto it = timers_.find(timer);
    if (it != timers_.end()) {
        order_.erase({it->second.when, timer});
        timers_.erase(it);
    }
}

bool PeripheralLoop::takeTasks(std::vector<Task>& into) {
    MutexLock lock(tasksMutex_);
    if (stopping_) {
        return false;
    }
    into.swap(tasks_);
    return true;
}

void PeripheralLoop::runDueTimers() {
    const auto end = order_.upper_bound({Clock::now(), std::numeric_limits<uint64_t>::max()});
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
        contain("in the BlueZ peripheral's timer", task);
    }
}

int PeripheralLoop::timeoutMs(int busTimeout) const {
    int timeout = busTimeout;
    if (!order_.empty()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(order_.begin()->first - Clock::now()).count();
        const int ms = static_cast<int>(std::clamp<long long>(wait, 0, 60000));
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    return timeout;
}

void PeripheralLoop::run() {
    std::vector<Task> batch;
    for (;;) {
        try {
            while (!stopped_ && connection_->processPendingRequest()) {
            }
        } catch (const std::exception& e) {
            // The connection broke: nothing more comes from the bus; the session learns it from its calls.
            NSLog("BlueZ peripheral: the bus connection failed: %@", std::string(e.what()));
            return;
        }
        batch.clear();
        if (!takeTasks(batch)) {
            return;
        }
        for (Task& task : batch) {
            contain("in the BlueZ peripheral's loop", task);
        }
        runDueTimers();
        if (!batch.empty()) {
            continue;  // a task may have queued messages or more tasks: look again before waiting
        }
        const auto poll = connection_->getEventLoopPollData();
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {poll.fd, static_cast<short>(poll.events), 0}};
        const int ready = ::poll(fds, 2, timeoutMs(poll.getPollTimeout()));
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            uint64_t drained = 0;
            [[maybe_unused]] const auto got = ::read(wakeFd_, &drained, sizeof drained);
        }
    }
}

}  // namespace platform::bluez::peripheral
