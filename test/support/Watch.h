#pragma once
// Watching a test run: bounded waits, a stopwatch, captured console lines and log records, the text of a
// thrown exception, and limits that never end a wait.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <platform/Foundation.h>
#include <tavrin/Logging.h>
#include <tavrin/TimeLimits.h>

namespace test_support {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// The largest limits a program can give: every wait "as long as it takes".
inline Tavrin::TimeLimits unbounded_limits() {
    constexpr auto kForEver = std::chrono::milliseconds::max();
    Tavrin::TimeLimits limits;
    limits.connection = limits.service_discovery = limits.characteristic_discovery = kForEver;
    limits.descriptor_discovery = limits.request = limits.disconnection = limits.pairing = kForEver;
    return limits;
}

/// Waits (polling every millisecond) until `condition` holds or `limit` passes; returns the last test.
template <typename Condition>
bool eventually(Condition condition, Clock::duration limit = 3s) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

/// Runs `body` on a thread of its own. A hang cannot be unwound (its threads stay stuck), so one that
/// outlasts `limit` is reported and the process leaves at once, failing the test without blocking the suite.
/// What `body` throws is thrown again on the calling thread.
template <typename Body>
void must_finish_within(Clock::duration limit, const char* what, Body body) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::exception_ptr thrown;
    std::thread worker([body, done, &thrown]() mutable {
        try {
            body();
        } catch (...) {
            thrown = std::current_exception();
        }
        *done = true;
    });
    if (!eventually([&] { return done->load(); }, limit)) {
        std::fprintf(stderr, "HANG: %s did not finish within its bound\n", what);
        std::fflush(stderr);
        std::_Exit(1);
    }
    worker.join();
    if (thrown) {
        std::rethrow_exception(thrown);
    }
}

/// Measures how long `body` runs.
template <typename Body>
Clock::duration timed(Body body) {
    const auto start = Clock::now();
    body();
    return Clock::now() - start;
}

inline long long ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

/// Captures console lines (the platform's NSLog) while it lives.
class ConsoleCapture {
  public:
    ConsoleCapture() {
        platform::NSLogSetSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~ConsoleCapture() { platform::NSLogSetSink({}); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }
    /// Number of lines that contain `text`.
    size_t count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }
    bool has(const std::string& text) const { return count(text) > 0; }
    /// True when a line equal to `text` was written.
    bool has_exact(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::find(lines_.begin(), lines_.end(), text) != lines_.end();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;  // guarded by mutex_
};

/// One captured record of the library's logger.
struct LogRecord {
    Tavrin::Logging::Level level;
    std::string module;
    std::string file;
    std::string function;
    std::string message;
};

/// Captures the library's log records while it lives.
class LogCapture {
  public:
    LogCapture() {
        Tavrin::Logging::Logger::get()->set_level(Tavrin::Logging::Level::Verbose);
        Tavrin::Logging::Logger::get()->set_callback([this](Tavrin::Logging::Level level, const std::string& module,
                                                            const std::string& file, unsigned int,
                                                            const std::string& function, const std::string& message) {
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back({level, module, file, function, message});
        });
    }
    ~LogCapture() { Tavrin::Logging::Logger::get()->set_callback({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    /// Records with this message (and, when given, this function name).
    size_t count(const std::string& message, const std::string& function = {}) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<size_t>(std::count_if(records_.begin(), records_.end(), [&](const LogRecord& r) {
            return r.message == message && (function.empty() || r.function == function);
        }));
    }

  private:
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;  // guarded by mutex_
};

/// Runs `body` and returns the text of the `Exception` it throws, or "(nothing thrown)".
template <typename Exception, typename Body>
std::string thrown_text(Body body) {
    try {
        body();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

}  // namespace test_support
