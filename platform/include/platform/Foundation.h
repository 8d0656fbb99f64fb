#pragma once
// Stand-in for the Foundation services the backend uses: errors, exceptions, device UUIDs and NSLog, and the
// containment of exceptions that must not escape into the platform's own threads.

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace platform {

/// How a thread is ended before its function returns (pthread_exit, a cancellation): an unwinding that every
/// `catch (...)` sees and must pass on, or the process aborts. An exiting language runtime ends this way a thread
/// that asks to run its code, maybe in the middle of a caller's callback; so each `catch (...)` that a caller's code
/// may run under lets it through first: `catch (const ThreadEnd&) { throw; }`.
#if defined(__GLIBCXX__)
using ThreadEnd = abi::__forced_unwind;
#else
struct ThreadEnd {};  // no such unwinding to let through
#endif

/// An error passed to a delegate callback. Callbacks receive `const NSError*`, null when there is no error.
struct NSError {
    std::string domain;
    long code = 0;
    std::string description;
};

/// Raised where the platform raises (an invalid UUID text, a refused descriptor write).
class NSException : public std::exception {
public:
    NSException(std::string name, std::string reason);
    const std::string& name() const noexcept { return name_; }
    const std::string& reason() const noexcept { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }

private:
    std::string name_;
    std::string reason_;
};

/// A device's stable identifier; `UUIDString()` is upper case.
class NSUUID {
public:
    explicit NSUUID(std::string text = {});
    const std::string& UUIDString() const noexcept { return text_; }
    bool operator==(const NSUUID& other) const { return text_ == other.text_; }

private:
    std::string text_;
};

// What a %@ placeholder of NSLog becomes. CoreBluetooth.h adds the overloads for its own types.
inline std::string NSLogDescription(const std::string& text) { return text; }
inline std::string NSLogDescription(const char* text) { return text ? text : "(null)"; }
inline std::string NSLogDescription(const std::optional<std::string>& text) { return text ? *text : "(null)"; }
inline std::string NSLogDescription(const NSUUID& uuid) { return uuid.UUIDString(); }
std::string NSLogDescription(const NSError* error);

/// Receives each console line's message (placeholders filled, no prefix, no trailing newline).
using NSLogSink = std::function<void(const std::string& message)>;

/// Installs a sink for console lines (tests); an empty sink restores standard error. Thread-safe.
void NSLogSetSink(NSLogSink sink);

/// Writes one finished message: to the sink if one is installed, else to standard error with the
/// console's prefix (date, time with milliseconds, process name, [pid:tid]).
void NSLogWrite(std::string message);

/// Fills each %@ of `format` with the next argument's description (an absent value: "(null)").
std::string NSLogFormat(const char* format, const std::vector<std::string>& descriptions);

/// One console line. A trailing newline in the format is not doubled.
template <typename... Args>
void NSLog(const char* format, const Args&... args) {
    NSLogWrite(NSLogFormat(format, std::vector<std::string>{NSLogDescription(args)...}));
}

/// Writes one console line for the exception being handled; call it only from a catch block. `where`
/// finishes the sentence ("in a central manager event", "on queue main"):
///   NSException:    *** Uncaught exception '<name>' <where>, reason: '<reason>'
///   std::exception: *** Uncaught exception <where>: <what>
///   anything else:  *** Uncaught exception of unknown type <where>
/// Never throws: a line that cannot be made (out of memory) is lost.
void NSLogUncaughtException(const char* where) noexcept;

/// Runs a caller's or a radio's code that must not take the calling thread down with it: an exception
/// escaping `f` is written to the console (NSLogUncaughtException) and goes no further. Only the thread's
/// end (ThreadEnd) passes through.
template <typename F>
void contain(const char* where, F&& f) {
    try {
        std::forward<F>(f)();
    } catch (const ThreadEnd&) {
        throw;
    } catch (...) {
        NSLogUncaughtException(where);
    }
}

/// The same, for a `where` made at run time (kept by the caller, so that running `f` allocates nothing).
template <typename F>
void contain(const std::string& where, F&& f) {
    contain(where.c_str(), std::forward<F>(f));
}

}  // namespace platform
