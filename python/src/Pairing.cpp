// The program's pairing agent from Python. The library asks each question on a thread of its own with none
// of its locks held, so a callable takes the GIL only while it runs and may block (a prompt) as long as it
// likes: the pairing that asked ends at its own limit meanwhile. A callable that raises, or answers what is
// not an answer, throws into the library, which refuses, as for any agent callback that throws.
#include "Pairing.h"

#include <cstdint>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "Conversions.h"
#include "Gil.h"

namespace tavrin_py {

namespace {

using Tavrin::IoCapability;

/// Calls `fn(args...)`, the GIL held, holding only plain references across the call (see ThreadEnd).
template <typename... Args>
py::object call(const std::shared_ptr<PyRef>& fn, const Args&... args) {
    PyObject* arguments = py::make_tuple(args...).release().ptr();
    PyObject* answer = PyObject_Call(fn->get().ptr(), arguments, nullptr);
    Py_DECREF(arguments);
    if (answer == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(answer);
}

/// Calls `fn(args...)` under the GIL and converts its answer with `convert`; throws when Python raised, when
/// the answer does not convert, and when the interpreter is exiting (an answer nobody gave must refuse).
template <typename Result, typename Convert, typename... Args>
Result ask(const std::shared_ptr<PyRef>& fn, const char* name, Convert convert, const Args&... args) {
    Result result{};
    bool answered = false;
    std::string wrong;
    runPython([&] {
        py::object answer = call(fn, args...);
        try {
            result = convert(answer);
            answered = true;
        } catch (const py::cast_error&) {
            wrong = std::string(name) + " answered " + py::repr(answer).cast<std::string>() + ", not an answer";
        }
    });
    if (!wrong.empty()) {
        throw std::runtime_error(wrong);
    }
    if (!answered) {
        throw std::runtime_error(std::string(name) + " was not asked: the interpreter is exiting");
    }
    return result;
}

std::shared_ptr<PyRef> callable(const py::object& fn) {
    return fn.is_none() ? nullptr : std::make_shared<PyRef>(fn);
}

bool truth(const py::object& answer) {
    return py::bool_(answer);
}

}  // namespace

Tavrin::PairingAgent libraryAgent(const PyPairingAgent& agent) {
    Tavrin::PairingAgent result;
    result.capability = agent.capability;
    if (auto fn = callable(agent.request_passkey)) {
        result.request_passkey = [fn](const std::string& address) {
            return ask<uint32_t>(
                fn, "request_passkey", [](const py::object& a) { return a.cast<uint32_t>(); }, address);
        };
    }
    if (auto fn = callable(agent.display_passkey)) {
        result.display_passkey = [fn](const std::string& address, uint32_t passkey) {
            runPython([&] { call(fn, address, passkey); });
        };
    }
    if (auto fn = callable(agent.confirm)) {
        result.confirm = [fn](const std::string& address, uint32_t passkey) {
            return ask<bool>(fn, "confirm", truth, address, passkey);
        };
    }
    if (auto fn = callable(agent.authorize)) {
        result.authorize = [fn](const std::string& address) { return ask<bool>(fn, "authorize", truth, address); };
    }
    if (auto fn = callable(agent.cancel)) {
        result.cancel = [fn](const std::string& address) { runPython([&] { call(fn, address); }); };
    }
    return result;
}

void bindPairing(py::module_& m) {
    py::enum_<IoCapability>(m, "IoCapability")
        .value("DISPLAY_ONLY", IoCapability::DisplayOnly)
        .value("DISPLAY_YES_NO", IoCapability::DisplayYesNo)
        .value("KEYBOARD_ONLY", IoCapability::KeyboardOnly)
        .value("NO_INPUT_NO_OUTPUT", IoCapability::NoInputNoOutput)
        .value("KEYBOARD_DISPLAY", IoCapability::KeyboardDisplay);
    // In the order of the constructor's arguments.
    static const std::pair<const char*, py::object PyPairingAgent::*> kCallables[] = {
        {"request_passkey", &PyPairingAgent::request_passkey},
        {"display_passkey", &PyPairingAgent::display_passkey},
        {"confirm", &PyPairingAgent::confirm},
        {"authorize", &PyPairingAgent::authorize},
        {"cancel", &PyPairingAgent::cancel}};
    py::class_<PyPairingAgent> agent(m, "PairingAgent");
    agent
        .def(py::init([](IoCapability capability, py::object request_passkey, py::object display_passkey,
                         py::object confirm, py::object authorize, py::object cancel) {
                 PyPairingAgent made;
                 made.capability = capability;
                 py::object* given[] = {&request_passkey, &display_passkey, &confirm, &authorize, &cancel};
                 for (size_t i = 0; i < std::size(given); ++i) {
                     requireCallable(*given[i], std::string("PairingAgent.") + kCallables[i].first, true);
                     made.*kCallables[i].second = std::move(*given[i]);
                 }
                 return made;
             }),
             py::arg("capability") = IoCapability::KeyboardDisplay, py::arg("request_passkey") = py::none(),
             py::arg("display_passkey") = py::none(), py::arg("confirm") = py::none(),
             py::arg("authorize") = py::none(), py::arg("cancel") = py::none())
        .def_readwrite("capability", &PyPairingAgent::capability);
    // Each callable is checked as it is set: one that is not callable would only fail when the agent is asked.
    for (const auto& [name, field] : kCallables) {
        agent.def_property(
            name, [field = field](const PyPairingAgent& a) { return a.*field; },
            [name = name, field = field](PyPairingAgent& a, py::object fn) {
                requireCallable(fn, std::string("PairingAgent.") + name, true);
                a.*field = std::move(fn);
            });
    }
}

}  // namespace tavrin_py
