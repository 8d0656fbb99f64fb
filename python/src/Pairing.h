#pragma once
// The program's pairing agent from Python: a class holding Python callables, made into the library's agent
// when it is installed.

#include <tavrin/PairingAgent.h>

#include "Bindings.h"

namespace tavrin_py {

/// `tavrin.PairingAgent`: the capability and the callables (None where the agent has no answer).
struct PyPairingAgent {
    Tavrin::IoCapability capability = Tavrin::IoCapability::KeyboardDisplay;
    py::object request_passkey = py::none();
    py::object display_passkey = py::none();
    py::object confirm = py::none();
    py::object authorize = py::none();
    py::object cancel = py::none();
};

/// The library's agent calling these callables (as they are now); called with the GIL held.
Tavrin::PairingAgent libraryAgent(const PyPairingAgent& agent);

}  // namespace tavrin_py
