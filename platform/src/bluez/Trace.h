#pragma once
// The BlueZ radio's trace: every call it makes, every reply, error and signal it handles, and its state changes,
// when TAVRIN_BLUEZ_TRACE is set to anything but "0" or empty. Off, a trace point costs one test of a flag.

#include <fmt/format.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "platform/Foundation.h"
#include "platform/Trace.h"

namespace platform::bluez {

class Trace {
  public:
    Trace() {
        const char* on = std::getenv("TAVRIN_BLUEZ_TRACE");
        on_ = on && *on && std::string(on) != "0";
    }

    bool on() const { return on_; }

    template <typename... Args>
    void operator()(fmt::format_string<Args...> format, Args&&... args) const {
        if (on_) {
            write(format, std::forward<Args>(args)...);
        }
    }

  private:
    template <typename... Args>
    static void write(fmt::format_string<Args...> format, Args&&... args) {
        try {
            TraceWrite("BlueZ: " + fmt::format(format, std::forward<Args>(args)...));
        } catch (const ThreadEnd&) {
            throw;
        } catch (...) {
        }
    }

    bool on_ = false;
};

}  // namespace platform::bluez
