#include "platform/Dispatch.h"

#include <pthread.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Foundation.h"

namespace platform {

dispatch_queue_attr_t dispatch_queue_attr_make_with_qos_class(dispatch_queue_attr_t attr, dispatch_qos_class_t qos,
                                                              int relative_priority) {
    attr.qos = qos;
    attr.relative_priority = relative_priority;
    return attr;
}

dispatch_queue_t dispatch_queue_create(const std::string& label, dispatch_queue_attr_t attr) {
    return std::make_shared<DispatchQueue>(label, attr);
}

namespace {

using Clock = std::chrono::steady_clock;
using Task = std::function<void()>;

struct Timer {
    Clock::time_point due;
    uint64_t sequence;  // keeps timers due at the same instant in submission order
    Task task;
};

// Orders the heap so that its front is the earliest timer.
struct LaterFirst {
    bool operator()(const Timer& a, const Timer& b) const {
        return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
    }
};

// Wakes the queue's thread. A semaphore rather than a condition variable: a thread woken from a condition
// variable takes its mutex back marked contended, so its next unlock costs a system call even when nobody
// waits, and a busy queue is woken once per batch of events. Posting costs one only when the thread sleeps.
class Wakeup {
  public:
    Wakeup() { sem_init(&sem_, 0, 0); }
    ~Wakeup() { sem_destroy(&sem_); }
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    void post() { sem_post(&sem_); }
    void wait() {
        while (sem_wait(&sem_) != 0 && errno == EINTR) {
        }
    }
    // Returns at `due` at the latest (steady_clock is the monotonic clock here).
    void waitUntil(Clock::time_point due) {
        const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
        timespec at{};
        at.tv_sec = static_cast<time_t>(since / 1000000000);
        at.tv_nsec = static_cast<long>(since % 1000000000);
        while (sem_clockwait(&sem_, CLOCK_MONOTONIC, &at) != 0 && errno == EINTR) {
        }
    }

  private:
    sem_t sem_;
};

}  // namespace

// Shared between the handle and the queue's thread, so that a queue destroyed from one of its own
// tasks can let its thread finish without either touching freed memory.
struct DispatchQueue::Impl {
    std::string label;
    std::string where;  // "on queue <label>": how a task's escaping exception is placed in its console line
    dispatch_queue_attr_t attr;

    std::mutex mutex;
    Wakeup wake;                 // the thread waits on it while it has nothing due
    std::vector<Task> ready;     // guarded by mutex: due tasks, in order
    std::vector<Timer> timers;   // guarded by mutex: a heap, earliest first
    uint64_t next_sequence = 0;  // guarded by mutex
    // Guarded by mutex: the thread waits, or is about to, and nobody has posted `wake` since. Whoever clears it
    // posts, so one wait takes one post; a post that crosses a wait ending at its deadline costs one idle turn.
    bool idle = false;
    std::atomic<bool> stopping{false};  // written under mutex; read lock-free between tasks
    std::thread thread;

    // Called with `mutex` held: due timers join the ready tasks, in the order they fell due.
    void promote_due_timers(Clock::time_point now) {
        while (!timers.empty() && timers.front().due <= now) {
            std::pop_heap(timers.begin(), timers.end(), LaterFirst{});
            ready.push_back(std::move(timers.back().task));
            timers.pop_back();
        }
    }

    static void run(const std::shared_ptr<Impl>& self);
};

namespace {
// The queue whose task this thread is running, if any.
thread_local const void* current_queue = nullptr;
}  // namespace

void DispatchQueue::Impl::run(const std::shared_ptr<Impl>& self) {
    Impl& q = *self;
    current_queue = &q;
    std::vector<Task> batch;
    std::unique_lock<std::mutex> lock(q.mutex);
    while (!q.stopping) {
        if (!q.timers.empty()) {
            q.promote_due_timers(Clock::now());
        }
        if (!q.ready.empty()) {
            // Take everything due at once: one lock round trip per batch, not per task.
            batch.swap(q.ready);
            lock.unlock();
            for (Task& task : batch) {
                if (q.stopping.load(std::memory_order_acquire)) {
                    break;
                }
                contain(q.where, task);
                // Release the task's captures now, on this thread, while the queue is still current:
                // they may hold the last reference to the queue itself.
                task = nullptr;
            }
            batch.clear();  // tasks dropped by a destruction mid-batch go here, outside the lock
            lock.lock();
            continue;
        }
        q.idle = true;
        const bool timed = !q.timers.empty();
        const Clock::time_point due = timed ? q.timers.front().due : Clock::time_point::max();
        lock.unlock();
        if (timed) {
            q.wake.waitUntil(due);
        } else {
            q.wake.wait();
        }
        lock.lock();
        q.idle = false;
    }
    current_queue = nullptr;
}

DispatchQueue::DispatchQueue(std::string label, dispatch_queue_attr_t attr) : impl_(std::make_shared<Impl>()) {
    impl_->label = std::move(label);
    impl_->where = "on queue " + impl_->label;
    impl_->attr = attr;
    // The thread owns a reference of its own: the Impl outlives the handle if the handle goes first.
    impl_->thread = std::thread([self = impl_] { Impl::run(self); });
    // Thread names are at most 15 characters; a label helps when reading a debugger's thread list.
    const std::string name = impl_->label.substr(0, 15);
    pthread_setname_np(impl_->thread.native_handle(), name.c_str());
}

DispatchQueue::~DispatchQueue() {
    std::vector<Task> dropped;
    std::vector<Timer> dropped_timers;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping.store(true, std::memory_order_release);
        dropped.swap(impl_->ready);
        dropped_timers.swap(impl_->timers);
    }
    impl_->wake.post();
    // Destroyed outside the lock: their captures may do anything, even touch another queue.
    dropped.clear();
    dropped_timers.clear();
    if (isCurrent()) {
        // Inside one of our own tasks: the thread ends when that task returns, holding the Impl alive.
        impl_->thread.detach();
    } else if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
}

const std::string& DispatchQueue::label() const noexcept {
    return impl_->label;
}

dispatch_queue_attr_t DispatchQueue::attributes() const noexcept {
    return impl_->attr;
}

void DispatchQueue::async(std::function<void()> task) {
    if (!task) {
        return;
    }
    Impl& q = *impl_;
    bool wake;
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        if (!q.timers.empty()) {
            // Timers already due go first, so order follows the moment each task fell due.
            q.promote_due_timers(Clock::now());
        }
        q.ready.push_back(std::move(task));
        wake = std::exchange(q.idle, false);
    }
    if (wake) {
        q.wake.post();
    }
}

void DispatchQueue::asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> task) {
    if (!task) {
        return;
    }
    Impl& q = *impl_;
    const Clock::time_point due = Clock::now() + std::max(delay, Clock::duration::zero());
    bool wake;
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        q.timers.push_back(Timer{due, q.next_sequence++, std::move(task)});
        std::push_heap(q.timers.begin(), q.timers.end(), LaterFirst{});
        // Only a new earliest timer changes how long the thread should sleep.
        wake = q.idle && q.timers.front().sequence == q.next_sequence - 1;
        if (wake) {
            q.idle = false;
        }
    }
    if (wake) {
        q.wake.post();
    }
}

void DispatchQueue::sync(const std::function<void()>& task) {
    if (!task) {
        return;
    }
    if (isCurrent()) {
        task();
        return;
    }
    struct State {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;  // guarded by mutex
        std::exception_ptr error;
    };
    // Signals the waiter when the task's wrapper goes away: after it ran, or when a destruction of
    // the queue dropped it unrun, so the waiter never hangs.
    struct Signal {
        std::shared_ptr<State> state;
        ~Signal() {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->done = true;
            state->done_cv.notify_all();
        }
    };
    auto state = std::make_shared<State>();
    std::shared_ptr<Signal> signal(new Signal{state});  // not make_shared: a temporary Signal would signal
    const std::function<void()>* body = &task;
    async([body, state, signal]() mutable {
        try {
            (*body)();
        } catch (const ThreadEnd&) {
            throw;  // the waiter is signalled as the task's wrapper goes
        } catch (...) {
            state->error = std::current_exception();
        }
        signal.reset();
    });
    signal.reset();
    std::unique_lock<std::mutex> lock(state->mutex);
    state->done_cv.wait(lock, [&] { return state->done; });
    if (state->error) {
        std::rethrow_exception(state->error);
    }
}

bool DispatchQueue::isCurrent() const noexcept {
    return current_queue == impl_.get();
}

}  // namespace platform
