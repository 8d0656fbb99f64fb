#include "Gil.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tavrin_py {

namespace {

PyInterpreterState* g_interpreter = nullptr;  // set once at init, before any library thread can run Python

struct GateState {
    std::mutex mutex;
    std::condition_variable idle;
    bool closed = false;  // guarded by mutex
    int inside = 0;       // guarded by mutex
};

GateState& gate() {
    // Never destroyed: library threads may still ask after static destruction has begun.
    static GateState* state = new GateState();
    return *state;
}

// The Python thread state of a library thread, made on its first callback and freed when the thread ends.
struct LibraryThreadState {
    PyThreadState* state = nullptr;
    ~LibraryThreadState() {
        if (state == nullptr || !Gate::enter()) {
            return;  // the interpreter is gone or going: it frees every thread state itself
        }
        PyEval_RestoreThread(state);
        PyThreadState_Clear(state);
        PyThreadState_DeleteCurrent();
        Gate::leave();
    }
};

thread_local LibraryThreadState t_library_state;

}  // namespace

void Gate::init() {
    g_interpreter = PyThreadState_Get()->interp;
}

bool Gate::enter() {
    GateState& g = gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.closed) {
        return false;
    }
    ++g.inside;
    return true;
}

void Gate::leave() {
    GateState& g = gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (--g.inside == 0) {
        g.idle.notify_all();
    }
}

void Gate::close(int limit_ms) {
    GateState& g = gate();
    py::gil_scoped_release release;
    std::unique_lock<std::mutex> lock(g.mutex);
    g.closed = true;
    g.idle.wait_for(lock, std::chrono::milliseconds(limit_ms), [&g] { return g.inside == 0; });
}

Acquire::Acquire() {
    if (PyGILState_Check()) {
        nested_ = true;
        return;
    }
    PyThreadState* state = PyGILState_GetThisThreadState();
    if (state == nullptr) {
        if (t_library_state.state == nullptr) {
            t_library_state.state = PyThreadState_New(g_interpreter);
        }
        state = t_library_state.state;
    }
    PyEval_RestoreThread(state);
}

Acquire::~Acquire() {
    if (!nested_) {
        PyEval_SaveThread();
    }
}

PyRef::~PyRef() {
    if (object_ == nullptr || !Gate::enter()) {
        return;
    }
    {
        Acquire gil;
        Py_DECREF(object_);
    }
    Gate::leave();
}

}  // namespace tavrin_py
