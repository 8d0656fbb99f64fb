#pragma once

#include <stdexcept>
#include <string>

/// The library reports every failure by throwing one of these; all derive from `BaseException`,
/// which derives from `std::runtime_error`.
namespace Tavrin::Exception {

class BaseException : public std::runtime_error {
public:
    explicit BaseException(const std::string& message);
    ~BaseException() override = default;
};

/// "Object has not been initialized.": a handle that is bound to no backend object.
class NotInitialized : public BaseException {
public:
    NotInitialized();
};

/// "Peripheral is not connected.": a GATT operation on a disconnected peripheral.
class NotConnected : public BaseException {
public:
    NotConnected();
};

/// "Underlying reference to object is invalid.": an event named an object the library does not know.
class InvalidReference : public BaseException {
public:
    InvalidReference();
};

class ServiceNotFound : public BaseException {
public:
    explicit ServiceNotFound(std::string uuid);
};

class CharacteristicNotFound : public BaseException {
public:
    explicit CharacteristicNotFound(std::string uuid);
};

class DescriptorNotFound : public BaseException {
public:
    explicit DescriptorNotFound(std::string uuid);
};

/// "The requested operation is not supported."
class OperationNotSupported : public BaseException {
public:
    OperationNotSupported();
};

/// "The requested operation has failed.", or "Operation Failed: " followed by the operation's name.
class OperationFailed : public BaseException {
public:
    OperationFailed();
    explicit OperationFailed(const std::string& message);
};

class WinRTException : public BaseException {
public:
    WinRTException(int error_code, const std::string& error);
};

class CoreBluetoothException : public BaseException {
public:
    explicit CoreBluetoothException(const std::string& message);
};

}  // namespace Tavrin::Exception
