// Pairing's shared vocabulary: the radios' pairing errors, in bluetoothd's words.

#include "platform/Radio.h"

namespace platform::radio {

NSError pairingError(PairingError code) {
    switch (code) {
        case PairingError::AuthenticationFailed:
            return NSError{kPairingErrorDomain, static_cast<long>(code), "Authentication Failed"};
        case PairingError::Canceled:
            return NSError{kPairingErrorDomain, static_cast<long>(code), "Authentication Canceled"};
        case PairingError::Rejected:
            return NSError{kPairingErrorDomain, static_cast<long>(code), "Authentication Rejected"};
        case PairingError::TimedOut:
            return NSError{kPairingErrorDomain, static_cast<long>(code), "Authentication Timeout"};
        case PairingError::AlreadyPaired:
            return NSError{kPairingErrorDomain, static_cast<long>(code), "Already Exists"};
        case PairingError::InProgress:
            return NSError{kPairingErrorDomain, static_cast<long>(code), "In Progress"};
        case PairingError::NotConnected:
            return NSError{kPairingErrorDomain, static_cast<long>(code), "Not Connected"};
        case PairingError::NotSupported:
            break;
    }
    return NSError{kPairingErrorDomain, static_cast<long>(PairingError::NotSupported), "Not Supported"};
}

}  // namespace platform::radio
