// The library's logger from Python: its level, the built-in sinks, and a Python sink.
//
// The library calls its sink with the logger's lock held, on whatever thread logs. A Python sink run there
// would take the GIL under that lock, while a Python thread holding the GIL may be about to log. So the
// library's sink only queues the record, and one Python thread (started by the package, see logging.py)
// hands the records to the Python sink in order, outside every lock of the library.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <tavrin/Logging.h>

#include "Bindings.h"
#include "Conversions.h"
#include "Gil.h"

namespace tavrin_py {

namespace {

using Tavrin::Logging::Level;
using Tavrin::Logging::Logger;

struct Record {
    Level level;
    std::string module;
    std::string file;
    unsigned int line;
    std::string function;
    std::string message;
};

struct SinkQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Record> records;   // guarded by mutex
    std::shared_ptr<PyRef> sink;  // guarded by mutex; the Python sink that records are queued for
    bool delivering = false;      // guarded by mutex; the pump is running the sink
    bool closed = false;          // guarded by mutex; the interpreter is exiting
};

SinkQueue& queue() {
    // Never destroyed: the library may log from its threads during static destruction.
    static SinkQueue* q = new SinkQueue();
    return *q;
}

void setPythonSink(py::object callable) {
    SinkQueue& q = queue();
    std::shared_ptr<PyRef> old;
    {
        py::gil_scoped_release release;
        if (callable.is_none()) {
            Logger::get()->set_callback(nullptr);
        } else {
            Logger::get()->set_callback([](Level level, const std::string& module, const std::string& file,
                                           unsigned int line, const std::string& function, const std::string& message) {
                SinkQueue& sq = queue();
                {
                    std::lock_guard<std::mutex> lock(sq.mutex);
                    if (sq.closed) {
                        return;
                    }
                    sq.records.push_back(Record{level, module, file, line, function, message});
                }
                sq.changed.notify_all();
            });
        }
    }
    // The reference is made and the old one dropped under the GIL, which this thread holds again here.
    auto made = callable.is_none() ? nullptr : std::make_shared<PyRef>(callable);
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        old = std::move(q.sink);
        q.sink = std::move(made);
        if (!q.sink) {
            q.records.clear();
        }
    }
    q.changed.notify_all();
}

// Runs on the package's log thread until the interpreter exits: waits (GIL released) for records and
// hands each to the Python sink. What the sink raises is swallowed, as the library does with its sinks.
void pump() {
    SinkQueue& q = queue();
    for (;;) {
        Record record;
        std::shared_ptr<PyRef> sink;
        {
            py::gil_scoped_release release;
            std::unique_lock<std::mutex> lock(q.mutex);
            q.changed.wait(lock, [&q] { return q.closed || (!q.records.empty() && q.sink); });
            if (q.closed) {
                return;
            }
            record = std::move(q.records.front());
            q.records.pop_front();
            sink = q.sink;
            q.delivering = true;
        }
        try {
            sink->get()(static_cast<int>(record.level), record.module, record.file, record.line, record.function,
                        record.message);
        } catch (py::error_already_set&) {
            // Swallowed: a sink that fails must not stop the records after it.
        }
        sink.reset();
        {
            std::lock_guard<std::mutex> lock(q.mutex);
            q.delivering = false;
        }
        q.changed.notify_all();
    }
}

// Waits (GIL released) until every record queued so far has reached the Python sink; false after `timeout` (seconds
// or a timedelta, see durationFromPython). None, float("inf") (a wait's usual "for ever" in Python), or one longer
// than milliseconds hold, waits as long as it takes.
bool flush(const py::object& timeout) {
    using std::chrono::milliseconds;
    const bool forEver =
        timeout.is_none() || (PyFloat_Check(timeout.ptr()) && std::isinf(PyFloat_AS_DOUBLE(timeout.ptr())) &&
                              PyFloat_AS_DOUBLE(timeout.ptr()) > 0);
    const milliseconds limit = forEver ? milliseconds::max() : durationFromPython(timeout, "the timeout");
    SinkQueue& q = queue();
    py::gil_scoped_release release;
    std::unique_lock<std::mutex> lock(q.mutex);
    const auto flushed = [&q] { return q.closed || !q.sink || (q.records.empty() && !q.delivering); };
    // The clock's deadline overflows long before milliseconds::max(): a limit of a billion seconds is no limit.
    if (limit >= std::chrono::seconds(1000000000)) {
        q.changed.wait(lock, flushed);
        return true;
    }
    return q.changed.wait_for(lock, std::max(limit, milliseconds(0)), flushed);
}

void closeSinkQueue() {
    SinkQueue& q = queue();
    {
        py::gil_scoped_release release;
        Logger::get()->set_callback(nullptr);
    }
    std::shared_ptr<PyRef> old;
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        q.closed = true;
        q.records.clear();
        old = std::move(q.sink);
    }
    q.changed.notify_all();
}

}  // namespace

void bindLogging(py::module_& m) {
    py::module_ logging = m.def_submodule("_logging", "The library's logger.");
    py::enum_<Level>(logging, "Level")
        .value("NONE", Level::None)
        .value("FATAL", Level::Fatal)
        .value("ERROR", Level::Error)
        .value("WARNING", Level::Warning)
        .value("INFO", Level::Info)
        .value("DEBUG", Level::Debug)
        .value("VERBOSE", Level::Verbose);
    logging.def(
        "set_level", [](Level level) { Logger::get()->set_level(level); }, py::call_guard<py::gil_scoped_release>());
    logging.def(
        "get_level", [] { return Logger::get()->get_level(); }, py::call_guard<py::gil_scoped_release>());
    logging.def(
        "has_callback", [] { return Logger::get()->has_callback(); }, py::call_guard<py::gil_scoped_release>());
    logging.def("set_callback", &setPythonSink);
    logging.def(
        "log_default_stdout", [] { Logger::get()->log_default_stdout(); }, py::call_guard<py::gil_scoped_release>());
    logging.def(
        "log_default_file", [](const std::string& path) { Logger::get()->log_default_file(path); },
        py::call_guard<py::gil_scoped_release>());
    logging.def(
        "log",
        [](Level level, const std::string& module, const std::string& message) {
            Logger::get()->log(level, module, "", 0, "", message);
        },
        py::call_guard<py::gil_scoped_release>());
    logging.def("_pump", &pump);
    logging.def("flush", &flush, py::arg("timeout") = 5.0);
    logging.def("_close", &closeSinkQueue);
}

}  // namespace tavrin_py
