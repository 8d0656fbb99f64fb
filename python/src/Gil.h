#pragma once
// How the library's threads enter Python, and how the interpreter's exit keeps them out.
//
// The one rule that keeps the module free of deadlocks: no thread holds the GIL while it waits for
// anything of the library. So every call into the library releases the GIL first, and a library
// thread takes the GIL only to run Python code (a callback, a sink, a reference count) and gives it
// back before it returns to the library.

#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace tavrin_py {

namespace py = pybind11;

/// How the interpreter, exiting, ends a thread that asks it for the GIL (pthread_exit): an unwinding that every
/// `catch (...)` must let through, up to the thread's start. The thread holds no GIL then, so nothing on the way
/// may touch a Python object: code that calls Python for the library holds only plain references across the call,
/// dropped after it returns (leaked if it never does, with the interpreter).
#if defined(__GLIBCXX__)
using ThreadEnd = abi::__forced_unwind;
#else
struct ThreadEnd {};  // no such unwinding to let through
#endif

/// Counts the library threads that are about to run or are running Python. Once the interpreter starts to
/// exit (`close()`), no new entry is granted: callbacks are skipped and Python references still held by the
/// library are leaked rather than freed without an interpreter.
class Gate {
  public:
    /// Notes the interpreter this module lives in; called once from the module's init.
    static void init();
    /// False once the interpreter is exiting; otherwise the caller must call `leave()`.
    static bool enter();
    static void leave();
    /// Called at exit, GIL held: refuses new entries, then waits (GIL released, at most `limit_ms`) for
    /// the running ones to leave.
    static void close(int limit_ms);
};

/// Takes the GIL on any thread: a Python thread that released it, or a library thread, which gets a
/// Python thread state of its own the first time and keeps it until it ends. Nested use is allowed.
/// Only inside a granted `Gate` entry.
class Acquire {
  public:
    Acquire();
    ~Acquire();
    Acquire(const Acquire&) = delete;
    Acquire& operator=(const Acquire&) = delete;

    /// The interpreter took the GIL from this thread to end it (ThreadEnd): there is none to give back.
    void lost() { nested_ = true; }

  private:
    bool nested_ = false;  // nothing to give back on leaving
};

/// A Python object owned by the library's side (a callback in a std::function): copied freely without the
/// GIL, and released under the GIL by whichever thread drops the last copy.
class PyRef {
  public:
    explicit PyRef(py::object object) : object_(object.release().ptr()) {}
    ~PyRef();
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    py::handle get() const { return object_; }

  private:
    PyObject* object_;
};

/// Deletions that must not run under the GIL (see ReleasingDelete), put off while this thread runs Python
/// for the library: runPython does them once it has given the GIL back, rather than giving the GIL up and
/// taking it again for each handle a callback drops.
class Deferred {
  public:
    /// Whether this thread is inside runPython; then `add` keeps `object` for `destroy` until it leaves.
    static bool active();
    static void add(void* object, void (*destroy)(void*));
    /// runPython's depth on this thread; leaving, without the GIL, does the deletions put off.
    static void enter();
    static void leave();
};

/// Runs `body` (Python code) under the GIL on whatever thread calls it. A Python exception becomes a
/// std::runtime_error carrying its text, thrown once the GIL is given back, so that the library logs it as
/// any callback's failure and its queue goes on. Does nothing once the interpreter is exiting.
template <typename Body>
void runPython(Body&& body) {
    if (!Gate::enter()) {
        return;
    }
    Deferred::enter();
    struct Leave {
        ~Leave() {
            Deferred::leave();
            Gate::leave();
        }
    } leave;
    std::string failure;
    {
        Acquire gil;
        try {
            body();
        } catch (py::error_already_set& e) {
            failure = std::string("Python callback raised ") + e.what();
        } catch (const ThreadEnd&) {
            gil.lost();
            throw;
        }
    }
    if (!failure.empty()) {
        throw std::runtime_error(failure);
    }
}

/// Deletes a library handle with the GIL released: dropping the last handle may join a library thread,
/// and that thread may be waiting for the GIL to run a callback.
template <typename T>
struct ReleasingDelete {
    void operator()(T* handle) const {
        if (!PyGILState_Check()) {
            delete handle;
        } else if (Deferred::active()) {
            Deferred::add(handle, [](void* object) { delete static_cast<T*>(object); });
        } else {
            py::gil_scoped_release release;
            delete handle;
        }
    }
};

/// Calls `fn()`; the caller holds the GIL. Holds no Python object across the call (see ThreadEnd).
inline void callNone(py::handle fn) {
    PyObject* result = PyObject_CallNoArgs(fn.ptr());
    if (result == nullptr) {
        throw py::error_already_set();
    }
    Py_DECREF(result);
}

/// Calls `fn(argument)` without the argument tuple pybind11 would make, and drops `argument` (a new reference,
/// or null when making it failed) once the call has returned; the caller holds the GIL.
inline void callOne(py::handle fn, PyObject* argument) {
    if (argument == nullptr) {
        throw py::error_already_set();
    }
    PyObject* result = PyObject_CallOneArg(fn.ptr(), argument);
    Py_DECREF(argument);
    if (result == nullptr) {
        throw py::error_already_set();
    }
    Py_DECREF(result);
}

}  // namespace tavrin_py
