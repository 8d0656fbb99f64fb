#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace Tavrin::Logging {

/// Severity of a record; a lower number is more severe.
enum class Level : int32_t {
    None = 0,
    Fatal = 1,
    Error = 2,
    Warning = 3,
    Info = 4,
    Debug = 5,
    Verbose = 6,
};

/// The process-wide logger. Records above the current level are dropped; the rest go to one
/// replaceable sink. Every member is safe to call from any thread; records reach the sink one at a time.
///
/// The sink runs on the thread that logs (the caller's, or the library's event queue), with the
/// logger's recursive lock held so that records never interleave; it may log or change the level
/// itself. It must not wait for a lock that another thread may hold while calling into the library,
/// since that thread may be logging too.
class Logger {
  public:
    /// level, module, file, line, function, message
    using Callback = std::function<void(Level, const std::string&, const std::string&, unsigned int, const std::string&,
                                        const std::string&)>;

    /// The single instance, created on first use.
    static Logger* get();

    void set_level(Level level);
    Level get_level();

    /// Replaces the sink. An empty callable silences all output. From inside the sink, the new sink
    /// serves the next record and the running one is released once it returns.
    void set_callback(Callback callback);
    bool has_callback();

    /// Hands the record to the sink unless its level is above the current one. Never throws on
    /// account of the sink: what the sink throws is swallowed.
    void log(Level level, const std::string& module, const std::string& file, unsigned int line,
             const std::string& function, const std::string& message);

    /// "NONE", "FATAL", ... "VERBOSE"; the empty string for any other value.
    static std::string level_to_str(Level level);

    /// Sink printing "[LEVEL] module: file:line in function: message" lines to standard output.
    void log_default_stdout();
    /// File sink appending to "tavrin_<local time>" in the working directory. Throws fmt's
    /// format error if the local time cannot be formed.
    void log_default_file();
    /// File sink appending to `path`; the file is opened and closed for each record.
    void log_default_file(std::string path);

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

  private:
    Logger();
    ~Logger() = default;

    Level level_;  // guarded by mutex_
    // Guarded by mutex_. Each sink has its own allocation, which a running record keeps alive, so a
    // sink replaced from inside its own call is neither moved nor overwritten while it runs.
    std::shared_ptr<const Callback> callback_;
    std::recursive_mutex mutex_;
};

}  // namespace Tavrin::Logging

/// Entry for code outside the library to feed records into the library's logger.
namespace logfwd {

/// Same numbers and meaning as `Tavrin::Logging::Level`.
enum class level : int32_t {
    None = 0,
    Fatal = 1,
    Error = 2,
    Warning = 3,
    Info = 4,
    Debug = 5,
    Verbose = 6,
};

/// Logs through `Tavrin::Logging::Logger` with the module rewritten to "Tavrin->" + module.
void receive(level lvl, const std::string& module, const std::string& file, unsigned int line,
             const std::string& function, const std::string& message);

}  // namespace logfwd
