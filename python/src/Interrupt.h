#pragma once
// Blocking calls that a signal ends (Ctrl-C).
//
// Python runs a signal's handler on the main thread, and only between its own instructions: a main thread that waits
// in the library would run it (and raise its KeyboardInterrupt) only once the call is over, after its whole time
// limit. So a blocking call made on the main thread runs on a worker of the module, with the GIL released, while the
// main thread waits for it in short slices and runs the handlers between them. When a handler raises, the call is
// cancelled as the operation allows (a connect is withdrawn, a pairing cancelled), its outcome is dropped, and the
// handler's exception is raised at once. Calls made on any other thread run where they are called.

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "Bindings.h"

namespace tavrin_py {

/// What an interrupted call leaves to do on the workers; the next interruptible call waits for it first.
struct Cancel {
    /// Run at once, beside the call, to cut it short.
    std::function<void()> now;
    /// Run once the call has returned, if it succeeded (a connect made after all is disconnected).
    std::function<void()> after;
};

namespace detail {

struct Job {
    std::function<void()> run;  // dropped on the worker once run, with what it holds
    Cancel cancel;
    std::mutex mutex;
    std::condition_variable over;
    bool done = false;         // guarded by mutex
    bool abandoned = false;    // guarded by mutex; a signal ended the wait: the outcome is nobody's
    std::exception_ptr error;  // guarded by mutex; what `run` threw
};

/// Whether this is the interpreter's main thread, which runs the signal handlers.
bool onMainThread();
/// GIL held. Runs `job` on a worker and waits; false when a signal handler raised (its exception is set). Otherwise
/// rethrows what the call threw.
bool runInterruptibly(const std::shared_ptr<Job>& job);

}  // namespace detail

/// Notes the main thread; called once from the module's init.
void initInterrupts();

/// Runs `task` on a worker, as what an interrupted call left to do (the next interruptible call waits for it).
void runUnsettled(std::function<void()> task);

/// GIL held: sleeps for `duration`; on the main thread a raising signal handler ends it (false, its exception set).
bool sleepInterruptibly(std::chrono::milliseconds duration);

/// Calls `call()` with the GIL released and returns what it returns; on the main thread a raising signal handler
/// ends the wait at once (see above), throwing its exception. `call` must hold its arguments by value: an
/// interrupted one runs on after this has returned.
template <typename Call>
auto interruptible(Call call, Cancel cancel = {}) -> std::invoke_result_t<Call&> {
    using Result = std::invoke_result_t<Call&>;
    if (!detail::onMainThread()) {
        py::gil_scoped_release release;
        return call();
    }
    auto job = std::make_shared<detail::Job>();
    job->cancel = std::move(cancel);
    if constexpr (std::is_void_v<Result>) {
        job->run = [call = std::move(call)]() mutable { call(); };
        if (!detail::runInterruptibly(job)) {
            throw py::error_already_set();
        }
    } else {
        auto result = std::make_shared<std::optional<Result>>();
        job->run = [call = std::move(call), result]() mutable { result->emplace(call()); };
        if (!detail::runInterruptibly(job)) {
            throw py::error_already_set();
        }
        return std::move(**result);
    }
}

}  // namespace tavrin_py
