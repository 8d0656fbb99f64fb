#pragma once
// How a thread is ended before its function returns (pthread_exit, a cancellation): an unwinding that every
// `catch (...)` sees and must pass on, or the process aborts. An exiting language runtime ends this way a thread
// that asks to run its code, maybe in the middle of a caller's callback; so each `catch (...)` that a caller's code
// (a callback, a log sink) may run under lets it through first: `catch (const ThreadEnd&) { throw; }`.

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace Tavrin::detail {

#if defined(__GLIBCXX__)
using ThreadEnd = abi::__forced_unwind;
#else
struct ThreadEnd {};  // no such unwinding to let through
#endif

}  // namespace Tavrin::detail
