// The extension module `tavrin._tavrin`; the package `tavrin` re-exports it.
#include "Bindings.h"
#include "Gil.h"
#include "Interrupt.h"

PYBIND11_MODULE(_tavrin, m) {
    m.doc() = "Tavrin's handles, exceptions and logger (use the package `tavrin`).";
    tavrin_py::Gate::init();
    tavrin_py::initInterrupts();
    tavrin_py::bindExceptions(m);
    tavrin_py::bindLogging(m);
    tavrin_py::bindLoopQueue(m);
    tavrin_py::bindPairing(m);
    tavrin_py::bindHandles(m);
    // Called by the package at interpreter exit, before the interpreter goes away: from then on the
    // library's threads no longer enter Python (callbacks are skipped); those inside get `limit_ms`.
    m.def(
        "_close", [](int limit_ms) { tavrin_py::Gate::close(limit_ms); }, pybind11::arg("limit_ms") = 5000);
}
