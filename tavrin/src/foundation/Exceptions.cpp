#include <tavrin/Exceptions.h>

#include <fmt/format.h>

namespace Tavrin::Exception {

BaseException::BaseException(const std::string& message) : std::runtime_error(message) {}

NotInitialized::NotInitialized() : BaseException("Object has not been initialized.") {}

NotConnected::NotConnected() : BaseException("Peripheral is not connected.") {}

InvalidReference::InvalidReference() : BaseException("Underlying reference to object is invalid.") {}

ServiceNotFound::ServiceNotFound(std::string uuid) : BaseException("Service with UUID " + uuid + " not found.") {}

CharacteristicNotFound::CharacteristicNotFound(std::string uuid)
    : BaseException("Characteristic with UUID " + uuid + " not found") {}

DescriptorNotFound::DescriptorNotFound(std::string uuid)
    : BaseException("Descriptor with UUID " + uuid + " not found") {}

OperationNotSupported::OperationNotSupported() : BaseException("The requested operation is not supported.") {}

OperationFailed::OperationFailed() : BaseException("The requested operation has failed.") {}

OperationFailed::OperationFailed(const std::string& message) : BaseException("Operation Failed: " + message) {}

WinRTException::WinRTException(int error_code, const std::string& error)
    : BaseException(fmt::format("WinRT Exception. Error code {}: {}", error_code, error)) {}

CoreBluetoothException::CoreBluetoothException(const std::string& message)
    : BaseException(fmt::format("CoreBluetooth Exception: {}", message)) {}

}  // namespace Tavrin::Exception
