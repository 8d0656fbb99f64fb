#pragma once
// How library code logs and fires callers' callbacks.
//
//   TAVRIN_LOG(::Tavrin::Logging::Level::Warning, "Bluetooth is not enabled.");
//   TAVRIN_LOG(Logging::Level::Error, "value {}", 42);
//   TAVRIN_GUARDED(callback_on_scan_start_)();
//   TAVRIN_GUARDED(callback_on_scan_found_)(peripheral);
//
// Both record module "Tavrin" and the call site's file, line and function name.

#include <exception>
#include <utility>

#include <fmt/format.h>

#include <tavrin/Logging.h>

#include "foundation/ThreadEnd.h"

namespace Tavrin::Logging::detail {

/// Formats the message (always through fmt, even without arguments) and hands the record to the logger.
template <typename... Args>
void log_record(Level level, const char* file, unsigned line, const char* function, fmt::format_string<Args...> format,
                Args&&... args) {
    Logger::get()->log(level, "Tavrin", file, line, function, fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace Tavrin::Logging::detail

#define TAVRIN_LOG(level, ...) \
    ::Tavrin::Logging::detail::log_record((level), __FILE__, static_cast<unsigned>(__LINE__), __func__, __VA_ARGS__)

namespace Tavrin::detail {

/// One guarded call of a callback holder (a `zem::safe_callback` or a plain `std::function`): calls
/// it if it holds a callable, and logs at Error, instead of passing on, whatever it throws. Throws nothing
/// but the thread's end (ThreadEnd).
template <typename Holder>
class guarded_call {
  public:
    guarded_call(Holder& holder, const char* file, unsigned line, const char* function)
        : holder_(holder), file_(file), line_(line), function_(function) {}

    template <typename... Args>
    void operator()(Args&&... args) const {
        try {
            if (holder_) {
                holder_(std::forward<Args>(args)...);
            }
        } catch (const ThreadEnd&) {
            throw;
        } catch (const std::exception& e) {
            report("Exception during callback: {}", e.what());
        } catch (...) {
            report("Unknown exception during callback");
        }
    }

  private:
    template <typename... Args>
    void report(fmt::format_string<Args...> format, Args&&... args) const {
        try {
            Logging::detail::log_record(Logging::Level::Error, file_, line_, function_, format,
                                        std::forward<Args>(args)...);
        } catch (const ThreadEnd&) {
            throw;
        } catch (...) {
            // Out of memory while logging: the event queue must still go on.
        }
    }

    Holder& holder_;
    const char* file_;
    unsigned line_;
    const char* function_;
};

template <typename Holder>
guarded_call<Holder> guarded(Holder& holder, const char* file, unsigned line, const char* function) {
    return guarded_call<Holder>(holder, file, line, function);
}

}  // namespace Tavrin::detail

#define TAVRIN_GUARDED(holder) ::Tavrin::detail::guarded((holder), __FILE__, static_cast<unsigned>(__LINE__), __func__)
