// The error vocabulary: the error names and messages bluetoothd answers with, and what it answers for the ATT
// errors a device gives. The BlueZ radio reads these names from a table of its own; SimulatorInternal.h says
// why the two are not shared.

#include <cstdio>
#include <string>

#include "SimulatorInternal.h"

namespace bluezsim {

sdbus::Error bluezError(const char* name, const std::string& message) {
    return sdbus::Error(std::string("org.bluez.Error.") + name, message);
}
sdbus::Error failed(const std::string& message) {
    return bluezError("Failed", message);
}
sdbus::Error inProgress() {
    return bluezError("InProgress", "In Progress");
}
sdbus::Error notSupported() {
    return bluezError("NotSupported", "Operation is not supported");
}
sdbus::Error invalidArguments() {
    return bluezError("InvalidArguments", "Invalid arguments in method call");
}
sdbus::Error notReady() {
    return bluezError("NotReady", "Resource Not Ready");
}
sdbus::Error notConnected() {
    return failed("Not connected");
}
sdbus::Error busy() {
    return bluezError("InProgress", "Operation already in progress");
}
sdbus::Error unknownObject(const std::string& path) {
    return sdbus::Error("org.freedesktop.DBus.Error.UnknownObject", "Unknown object '" + path + "'");
}

namespace {

sdbus::Error attFailure(long code) {
    char text[64];
    std::snprintf(text, sizeof text, "Operation failed with ATT error: 0x%02lx",
                  static_cast<unsigned long>(code) & 0xFFu);
    return failed(text);
}

}  // namespace

sdbus::Error linkLost() {
    return attFailure(0x0E);
}

sdbus::Error attError(long code) {
    switch (code) {
        case 0x02:
            return bluezError("NotPermitted", "Read not permitted");
        case 0x03:
            return bluezError("NotPermitted", "Write not permitted");
        case 0x05:
        case 0x0C:
        case 0x0F:
            return bluezError("NotPermitted", "Not paired");
        case 0x06:
            return notSupported();
        case 0x07:
            return bluezError("InvalidArguments", "Invalid offset");
        case 0x08:
            return bluezError("NotAuthorized", "Operation Not Authorized");
        case 0x0D:
            return bluezError("InvalidArguments", "Invalid Length");
        default:
            return attFailure(code);
    }
}

sdbus::Error requestError(const NSError& error) {
    return error.domain == platform::CBATTErrorDomain ? attError(error.code) : linkLost();
}

}  // namespace bluezsim
