#include "platform/Foundation.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>

#include <fmt/format.h>

namespace platform {

NSException::NSException(std::string name, std::string reason) : name_(std::move(name)), reason_(std::move(reason)) {}

NSUUID::NSUUID(std::string text) : text_(std::move(text)) {
    for (char& c : text_) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
}

std::string NSLogDescription(const NSError* error) {
    return error ? error->description : "(null)";
}

std::string NSLogFormat(const char* format, const std::vector<std::string>& descriptions) {
    std::string text = format ? format : "";
    // The console ends every line itself.
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    std::string out;
    out.reserve(text.size() + 32);
    std::size_t next = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size()) {
            if (text[i + 1] == '@') {
                out += next < descriptions.size() ? descriptions[next] : std::string("(null)");
                ++next;
                ++i;
                continue;
            }
            if (text[i + 1] == '%') {
                out += '%';
                ++i;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

namespace {

// Recursive so that a sink may itself write console lines; held while a line is written so that
// lines never interleave and a sink being replaced is not still running afterwards. Never destroyed: the
// radios' threads outlive the program's statics and may still write a line while they are destroyed.
std::recursive_mutex& console_mutex() {
    static auto* mutex = new std::recursive_mutex;
    return *mutex;
}

// guarded by console_mutex()
std::shared_ptr<NSLogSink>& console_sink() {
    static auto* sink = new std::shared_ptr<NSLogSink>;
    return *sink;
}

std::string console_prefix() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    return fmt::format("{}.{:03} {}[{}:{}] ", stamp, millis, program_invocation_short_name, ::getpid(),
                       static_cast<long>(::syscall(SYS_gettid)));
}

}  // namespace

void NSLogSetSink(NSLogSink sink) {
    std::shared_ptr<NSLogSink> next = sink ? std::make_shared<NSLogSink>(std::move(sink)) : nullptr;
    std::shared_ptr<NSLogSink> previous;
    {
        std::lock_guard<std::recursive_mutex> lock(console_mutex());
        previous = std::exchange(console_sink(), std::move(next));
    }
    // `previous` is released here, or later by a sink call still running on this thread.
}

void NSLogWrite(std::string message) {
    std::lock_guard<std::recursive_mutex> lock(console_mutex());
    // A copy, so a sink that replaces the sink from its own call stays alive until it returns.
    const std::shared_ptr<NSLogSink> sink = console_sink();
    if (sink) {
        try {
            (*sink)(message);
        } catch (const ThreadEnd&) {
            throw;
        } catch (...) {
            // The console never fails its writer.
        }
        return;
    }
    std::string line = console_prefix();
    line += message;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void NSLogUncaughtException(const char* where) noexcept {
    try {
        try {
            throw;
        } catch (const NSException& e) {
            NSLog("*** Uncaught exception '%@' %@, reason: '%@'", e.name(), where, e.reason());
        } catch (const std::exception& e) {
            NSLog("*** Uncaught exception %@: %@", where, e.what());
        } catch (...) {
            NSLog("*** Uncaught exception of unknown type %@", where);
        }
    } catch (...) {
        // Out of memory while making the line: the caller goes on without it.
    }
}

}  // namespace platform
