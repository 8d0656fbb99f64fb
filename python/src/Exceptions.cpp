// The library's exception family as Python classes under `tavrin`, all deriving from TavrinError, with the
// library's messages.
#include <tavrin/Exceptions.h>

#include "Bindings.h"

namespace tavrin_py {

void bindExceptions(py::module_& m) {
    namespace E = Tavrin::Exception;
    // Registered base first: pybind11 tries the most recently registered translator first.
    auto base = py::register_exception<E::BaseException>(m, "TavrinError", PyExc_RuntimeError);
    py::register_exception<E::NotInitialized>(m, "NotInitialized", base);
    py::register_exception<E::NotConnected>(m, "NotConnected", base);
    py::register_exception<E::InvalidReference>(m, "InvalidReference", base);
    py::register_exception<E::ServiceNotFound>(m, "ServiceNotFound", base);
    py::register_exception<E::CharacteristicNotFound>(m, "CharacteristicNotFound", base);
    py::register_exception<E::DescriptorNotFound>(m, "DescriptorNotFound", base);
    py::register_exception<E::OperationNotSupported>(m, "OperationNotSupported", base);
    py::register_exception<E::OperationFailed>(m, "OperationFailed", base);
    py::register_exception<E::WinRTException>(m, "WinRTException", base);
    py::register_exception<E::CoreBluetoothException>(m, "CoreBluetoothException", base);
}

}  // namespace tavrin_py
