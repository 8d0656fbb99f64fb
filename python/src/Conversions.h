#pragma once
// Values from Python checked where the module takes them, so that a wrong one fails in the caller's call with a
// clear message rather than later, on the library's queue or as a nonsense limit.

#include <chrono>
#include <string>

#include "Bindings.h"

namespace tavrin_py {

/// A duration from Python: seconds as an `int` or a `float`, or a `datetime.timedelta`. A positive duration under
/// 1 ms is 1 ms (never 0, which would read as "no time at all"); one longer than milliseconds hold is
/// milliseconds::max() ("as long as it takes"); zero and negative ones are returned as they are, for the caller to
/// refuse or take. Throws ValueError for NaN and infinities, TypeError for anything else, naming `what`.
std::chrono::milliseconds durationFromPython(py::handle value, const std::string& what);

/// Throws TypeError naming `what` unless `fn` is callable (or None, where `none_removes`).
void requireCallable(py::handle fn, const std::string& what, bool none_removes);

}  // namespace tavrin_py
