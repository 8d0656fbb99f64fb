#include "Interrupt.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "Gil.h"

namespace tavrin_py {

namespace {

unsigned long g_main_thread = 0;  // set once at init

// How long the main thread waits before it runs the signal handlers again: well under what a user notices.
constexpr auto kSlice = std::chrono::milliseconds(10);
// How long an interrupted call waits for its undoing before it raises: a quick one is over by then (a scan stopped, a
// connect withdrawn), a slow one goes on behind the caller, still within what a user notices.
constexpr auto kUndoLimit = std::chrono::milliseconds(100);
// How long an idle worker stays for the next call.
constexpr auto kIdleLimit = std::chrono::seconds(30);

// The workers: threads made as needed, each running one task at a time. Never destroyed: a worker may still run an
// abandoned call at exit.
struct Workers {
    std::mutex mutex;
    std::condition_variable wanted;
    std::deque<std::function<void()>> tasks;  // guarded by mutex
    unsigned idle = 0;                        // guarded by mutex; workers waiting for a task

    // What interrupted calls left to do, still under way; guarded by mutex, `settled` told when it reaches 0.
    unsigned unsettled = 0;
    std::condition_variable settled;

    void submit(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            tasks.push_back(std::move(task));
            if (idle == 0) {
                std::thread([this] { work(); }).detach();
            }
        }
        wanted.notify_one();
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            ++idle;
            const bool got = wanted.wait_for(lock, kIdleLimit, [this] { return !tasks.empty(); });
            --idle;
            if (!got) {
                return;
            }
            std::function<void()> task = std::move(tasks.front());
            tasks.pop_front();
            lock.unlock();
            task();
            task = nullptr;  // what it held goes here, without the GIL
            lock.lock();
        }
    }

    /// A task of an interrupted call, counted until it ends.
    void submitUnsettled(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++unsettled;
        }
        submit([this, task = std::move(task)] {
            try {
                task();
            } catch (const ThreadEnd&) {
                throw;
            } catch (...) {
                // Undoing what nobody waits for: its failure has nobody to go to either.
            }
            std::lock_guard<std::mutex> lock(mutex);
            if (--unsettled == 0) {
                settled.notify_all();
            }
        });
    }
};

Workers& workers() {
    static Workers* w = new Workers();
    return *w;
}

// GIL held: gives the undoing of an interrupted call a moment to end (see kUndoLimit).
void settleBriefly() {
    Workers& w = workers();
    py::gil_scoped_release release;
    std::unique_lock<std::mutex> lock(w.mutex);
    w.settled.wait_for(lock, kUndoLimit, [&w] { return w.unsettled == 0; });
}

/// GIL held: waits in slices until `ready()`, running the signal handlers between slices; false when one raised.
template <typename Ready>
bool waitInterruptibly(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, Ready ready) {
    for (;;) {
        bool got = false;
        {
            py::gil_scoped_release release;
            lock.lock();
            got = changed.wait_for(lock, kSlice, ready);
            lock.unlock();
        }
        if (got) {
            return true;
        }
        if (PyErr_CheckSignals() != 0) {
            return false;
        }
    }
}

}  // namespace

void initInterrupts() {
    g_main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

void runUnsettled(std::function<void()> task) {
    workers().submitUnsettled(std::move(task));
    settleBriefly();
}

bool sleepInterruptibly(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return true;
        }
        {
            py::gil_scoped_release release;
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kSlice));
        }
        if (detail::onMainThread() && PyErr_CheckSignals() != 0) {
            return false;
        }
    }
}

namespace detail {

bool onMainThread() {
    return PyThread_get_thread_ident() == g_main_thread;
}

bool runInterruptibly(const std::shared_ptr<Job>& job) {
    Workers& w = workers();
    // What an interrupted call left to undo comes first: a connect's undoing must not end this call's connect.
    {
        std::unique_lock<std::mutex> lock(w.mutex, std::defer_lock);
        if (!waitInterruptibly(lock, w.settled, [&w] { return w.unsettled == 0; })) {
            return false;
        }
    }
    w.submit([job] {
        std::exception_ptr error;
        try {
            job->run();
        } catch (const ThreadEnd&) {
            throw;
        } catch (...) {
            error = std::current_exception();
        }
        job->run = nullptr;
        bool abandoned = false;
        {
            std::lock_guard<std::mutex> lock(job->mutex);
            job->done = true;
            job->error = error;
            abandoned = job->abandoned;
        }
        job->over.notify_all();
        if (abandoned && job->cancel.after) {
            Workers& ws = workers();
            if (!error && job->cancel.after) {
                ws.submitUnsettled(std::move(job->cancel.after));
            }
            std::lock_guard<std::mutex> lock(ws.mutex);
            if (--ws.unsettled == 0) {
                ws.settled.notify_all();
            }
        }
    });
    std::unique_lock<std::mutex> lock(job->mutex, std::defer_lock);
    if (waitInterruptibly(lock, job->over, [&job] { return job->done; })) {
        if (job->error) {
            std::rethrow_exception(job->error);
        }
        return true;
    }
    // A handler raised: the call is nobody's now. One with something to undo stays counted until it has ended and
    // been undone; the others (a read, a write) end on their own, and nothing waits for them.
    {
        std::lock_guard<std::mutex> guard(job->mutex);
        if (!job->done) {
            job->abandoned = true;
            if (job->cancel.after) {
                std::lock_guard<std::mutex> count(w.mutex);
                ++w.unsettled;
            }
        } else if (!job->error && job->cancel.after) {
            w.submitUnsettled(std::move(job->cancel.after));
        }
        if (!job->done && job->cancel.now) {
            w.submitUnsettled(std::move(job->cancel.now));
        }
    }
    settleBriefly();
    return false;
}

}  // namespace detail

}  // namespace tavrin_py
