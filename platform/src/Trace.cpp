// Where the radios' trace lines go.

#include "platform/Trace.h"

#include <memory>
#include <mutex>

#include "platform/Foundation.h"

namespace platform {

namespace {

std::mutex& sinkMutex() {
    static auto* mutex = new std::mutex;  // immortal: radios may trace while statics are destroyed
    return *mutex;
}

std::shared_ptr<const TraceSink>& sink() {  // guarded by sinkMutex()
    static auto* current = new std::shared_ptr<const TraceSink>;
    return *current;
}

}  // namespace

void TraceSetSink(TraceSink next) {
    std::shared_ptr<const TraceSink> fresh;
    if (next) {
        fresh = std::make_shared<const TraceSink>(std::move(next));
    }
    std::lock_guard<std::mutex> lock(sinkMutex());
    sink().swap(fresh);
}

void TraceWrite(const std::string& line) {
    try {
        std::shared_ptr<const TraceSink> current;
        {
            std::lock_guard<std::mutex> lock(sinkMutex());
            current = sink();
        }
        if (current) {
            (*current)(line);
        } else {
            NSLog("%@", line);
        }
    } catch (const ThreadEnd&) {
        throw;
    } catch (...) {
        // A trace never fails the radio that writes it.
    }
}

}  // namespace platform
