#include "Gil.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace tavrin_py {

namespace {

PyInterpreterState* g_interpreter = nullptr;  // set once at init, before any library thread can run Python

// Entering and leaving are atomic counts, since every callback does both: the mutex is taken only to wake
// close() when the last thread inside leaves after it.
struct GateState {
    std::mutex mutex;
    std::condition_variable idle;
    std::atomic<bool> closed{false};
    std::atomic<int> inside{0};
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
    // Counted first, then checked: close() sets `closed` first, then counts, so one of the two sees the other.
    g.inside.fetch_add(1);
    if (g.closed.load()) {
        leave();
        return false;
    }
    return true;
}

void Gate::leave() {
    GateState& g = gate();
    if (g.inside.fetch_sub(1) == 1 && g.closed.load()) {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.idle.notify_all();
    }
}

void Gate::close(int limit_ms) {
    GateState& g = gate();
    py::gil_scoped_release release;
    g.closed.store(true);
    std::unique_lock<std::mutex> lock(g.mutex);
    g.idle.wait_for(lock, std::chrono::milliseconds(limit_ms), [&g] { return g.inside.load() == 0; });
}

namespace {

struct DeferredState {
    int depth = 0;
    std::vector<std::pair<void*, void (*)(void*)>> objects;
};

thread_local DeferredState t_deferred;

}  // namespace

bool Deferred::active() {
    return t_deferred.depth > 0;
}

void Deferred::add(void* object, void (*destroy)(void*)) {
    t_deferred.objects.emplace_back(object, destroy);
}

void Deferred::enter() {
    ++t_deferred.depth;
}

void Deferred::leave() {
    --t_deferred.depth;
    // Only once the GIL is given back; a deletion may run Python again (a callback it frees), which may put
    // off more.
    if (PyGILState_Check()) {
        return;
    }
    while (!t_deferred.objects.empty()) {
        auto [object, destroy] = t_deferred.objects.back();
        t_deferred.objects.pop_back();
        destroy(object);
    }
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
