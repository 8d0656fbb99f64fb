#pragma once
// The platform's error vocabulary: the codes of its two error domains, and the errors built from them. Radios
// and the façade name a code here rather than a bare number.

#include <string>
#include <utility>

#include "platform/Foundation.h"

namespace platform {

/// The domain of link and radio failures.
inline constexpr const char* CBErrorDomain = "CBErrorDomain";
/// The domain of what a device refused: the code is the ATT error code it answered with.
inline constexpr const char* CBATTErrorDomain = "CBATTErrorDomain";

/// Codes of CBErrorDomain.
enum class CBError : long {
    Unknown = 0,
    InvalidParameters = 1,
    InvalidHandle = 2,
    NotConnected = 3,
    OutOfSpace = 4,
    OperationCancelled = 5,
    ConnectionTimeout = 6,
    PeripheralDisconnected = 7,
    UUIDNotAllowed = 8,
    AlreadyAdvertising = 9,
    ConnectionFailed = 10,
    ConnectionLimitReached = 11,
    UnknownDevice = 12,
    OperationNotSupported = 13,
    PeerRemovedPairingInformation = 14,
    EncryptionTimedOut = 15,
    TooManyLEPairedDevices = 16,
};

/// Codes of CBATTErrorDomain: the ATT protocol's error codes. A device may answer with a code of its own
/// (0x80 and up), which is kept as it came.
enum class CBATTError : long {
    Success = 0,
    InvalidHandle = 1,
    ReadNotPermitted = 2,
    WriteNotPermitted = 3,
    InvalidPdu = 4,
    InsufficientAuthentication = 5,
    RequestNotSupported = 6,
    InvalidOffset = 7,
    InsufficientAuthorization = 8,
    PrepareQueueFull = 9,
    AttributeNotFound = 10,
    AttributeNotLong = 11,
    InsufficientEncryptionKeySize = 12,
    InvalidAttributeValueLength = 13,
    UnlikelyError = 14,
    InsufficientEncryption = 15,
    UnsupportedGroupType = 16,
    InsufficientResources = 17,
};

/// An error of CBErrorDomain.
inline NSError CBErrorMake(CBError code, std::string description) {
    return NSError{CBErrorDomain, static_cast<long>(code), std::move(description)};
}

/// An error of CBATTErrorDomain.
inline NSError CBATTErrorMake(CBATTError code, std::string description) {
    return NSError{CBATTErrorDomain, static_cast<long>(code), std::move(description)};
}

}  // namespace platform
