#include "Conversions.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace tavrin_py {

namespace {

using std::chrono::milliseconds;
using Rep = milliseconds::rep;

std::string typeName(py::handle value) {
    return Py_TYPE(value.ptr())->tp_name;
}

milliseconds fromTimedelta(py::handle value) {
    // At most 999999999 days, so the sum fits; a timedelta's seconds and microseconds are never negative.
    const auto days = value.attr("days").cast<int64_t>();
    const auto seconds = value.attr("seconds").cast<int64_t>();
    const auto microseconds = value.attr("microseconds").cast<int64_t>();
    const int64_t count = days * 86400000 + seconds * 1000 + microseconds / 1000;
    if (count == 0 && days == 0 && seconds == 0 && microseconds > 0) {
        return milliseconds(1);
    }
    return milliseconds(count);
}

milliseconds fromSeconds(double seconds, py::handle value, const std::string& what) {
    if (!std::isfinite(seconds)) {
        throw py::value_error(what + " must be a finite number of seconds, not " + py::repr(value).cast<std::string>());
    }
    const double count = seconds * 1000.0;
    const double bound = static_cast<double>(std::numeric_limits<Rep>::max());  // 2^63
    if (count >= bound) {
        return milliseconds::max();
    }
    if (count <= -bound) {
        return milliseconds::min();
    }
    if (count > 0.0 && count < 1.0) {
        return milliseconds(1);
    }
    return milliseconds(static_cast<Rep>(count));
}

milliseconds fromWholeSeconds(py::handle value) {
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) {
        throw py::error_already_set();
    }
    int overflow = 0;
    const long long seconds = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (seconds == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    constexpr Rep kMost = std::numeric_limits<Rep>::max() / 1000;
    if (overflow > 0 || seconds > kMost) {
        return milliseconds::max();
    }
    if (overflow < 0 || seconds < -kMost) {
        return milliseconds::min();
    }
    return milliseconds(static_cast<Rep>(seconds) * 1000);
}

}  // namespace

milliseconds durationFromPython(py::handle value, const std::string& what) {
    if (py::isinstance(value, py::module_::import("datetime").attr("timedelta"))) {
        return fromTimedelta(value);
    }
    if (PyFloat_Check(value.ptr())) {
        return fromSeconds(PyFloat_AS_DOUBLE(value.ptr()), value, what);
    }
    // Whole seconds: int and what acts as one (not bool, which is no duration).
    if (PyIndex_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
        return fromWholeSeconds(value);
    }
    throw py::type_error(what + " must be seconds (an int or a float) or a datetime.timedelta, not " + typeName(value));
}

void requireCallable(py::handle fn, const std::string& what, bool none_removes) {
    if (fn.is_none() ? none_removes : PyCallable_Check(fn.ptr()) != 0) {
        return;
    }
    throw py::type_error(what + " must be callable" + (none_removes ? " or None" : "") + ", not " + typeName(fn));
}

}  // namespace tavrin_py
