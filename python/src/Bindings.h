#pragma once
// The parts of the extension module, each binding one concern into `_tavrin`.

#include <pybind11/pybind11.h>

namespace tavrin_py {

namespace py = pybind11;

void bindExceptions(py::module_& m);
void bindLogging(py::module_& m);
void bindPairing(py::module_& m);
void bindHandles(py::module_& m);
void bindLoopQueue(py::module_& m);

}  // namespace tavrin_py
