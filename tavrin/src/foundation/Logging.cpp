#include <tavrin/Logging.h>

#include <cstdint>
#include <ctime>
#include <fstream>
#include <utility>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "foundation/ThreadEnd.h"

namespace Tavrin::Logging {

namespace {

std::string format_line(Level level, const std::string& module, const std::string& file, unsigned int line,
                        const std::string& function, const std::string& message) {
    return fmt::format("[{}] {}: {}:{} in {}: {}\n", Logger::level_to_str(level), module, file, line, function,
                       message);
}

Logger::Callback stdout_sink() {
    return [](Level level, const std::string& module, const std::string& file, unsigned int line,
              const std::string& function, const std::string& message) {
        fmt::print("[{}] {}: {}:{} in {}: {}\n", Logger::level_to_str(level), module, file, line, function, message);
    };
}

}  // namespace

Logger* Logger::get() {
    static std::mutex creation_mutex;
    std::scoped_lock lock(creation_mutex);
    static Logger instance;
    return &instance;
}

// The sink is stored directly rather than through set_callback: nobody can see the instance yet, and
// taking mutex_ here, inside get()'s creation lock, would order the two locks against a sink that
// calls get() with mutex_ held.
Logger::Logger() : level_(Level::Info), callback_(std::make_shared<const Callback>(stdout_sink())) {}

void Logger::set_level(Level level) {
    std::scoped_lock lock(mutex_);
    level_ = level;
}

Level Logger::get_level() {
    std::scoped_lock lock(mutex_);
    return level_;
}

void Logger::set_callback(Callback callback) {
    // An empty callable is kept as no sink at all. The old sink is released after the lock; if it is
    // the one running on this thread, the running record still holds it until it returns.
    std::shared_ptr<const Callback> fresh;
    if (callback) {
        fresh = std::make_shared<const Callback>(std::move(callback));
    }
    std::scoped_lock lock(mutex_);
    callback_.swap(fresh);
}

bool Logger::has_callback() {
    std::scoped_lock lock(mutex_);
    return callback_ != nullptr;
}

void Logger::log(Level level, const std::string& module, const std::string& file, unsigned int line,
                 const std::string& function, const std::string& message) {
    std::scoped_lock lock(mutex_);
    if (static_cast<int32_t>(level) > static_cast<int32_t>(level_)) {
        return;
    }
    if (!callback_) {
        return;
    }
    const std::shared_ptr<const Callback> sink = callback_;
    try {
        (*sink)(level, module, file, line, function, message);
    } catch (const detail::ThreadEnd&) {
        throw;
    } catch (...) {
        // A failing sink must not disturb the code that logs.
    }
}

std::string Logger::level_to_str(Level level) {
    switch (level) {
        case Level::None:
            return "NONE";
        case Level::Fatal:
            return "FATAL";
        case Level::Error:
            return "ERROR";
        case Level::Warning:
            return "WARNING";
        case Level::Info:
            return "INFO";
        case Level::Debug:
            return "DEBUG";
        case Level::Verbose:
            return "VERBOSE";
    }
    return "";
}

void Logger::log_default_stdout() {
    set_callback(stdout_sink());
}

void Logger::log_default_file() {
    const std::time_t now = std::time(nullptr);
    const std::tm local = fmt::localtime(now);
    const std::string stamp = fmt::format("{:%Y-%m-%d_%H-%M-%S}", local);
    log_default_file(fmt::format("tavrin_{}", stamp));
}

void Logger::log_default_file(std::string path) {
    set_callback([path = std::move(path)](Level level, const std::string& module, const std::string& file,
                                          unsigned int line, const std::string& function, const std::string& message) {
        // Opened and closed per record, so the file may be moved or removed between records.
        std::ofstream stream(path, std::ios::out | std::ios::app);
        if (!stream) {
            return;
        }
        stream << format_line(level, module, file, line, function, message);
    });
}

}  // namespace Tavrin::Logging

namespace logfwd {

void receive(level lvl, const std::string& module, const std::string& file, unsigned int line,
             const std::string& function, const std::string& message) {
    Tavrin::Logging::Logger::get()->log(static_cast<Tavrin::Logging::Level>(static_cast<int32_t>(lvl)),
                                        fmt::format("Tavrin->{}", module), file, line, function, message);
}

}  // namespace logfwd
