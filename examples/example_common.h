#pragma once
// What the examples share: hex text of bytes, the adapter to use, and finding one device.
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include <tavrin/Tavrin.h>

namespace example {

/// Each byte as two hex digits, followed by `separator`.
inline std::string hex(const std::string& bytes, const char* separator = " ") {
    std::string text;
    char digits[3];
    for (unsigned char byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
        text += separator;
    }
    return text;
}

/// The first adapter, or nothing (with a line on standard error) when Bluetooth is off.
inline std::optional<Tavrin::Adapter> first_adapter() {
    if (!Tavrin::Adapter::bluetooth_enabled()) {
        std::cerr << "Bluetooth is not enabled." << std::endl;
        return std::nullopt;
    }
    return Tavrin::Adapter::get_adapters().front();
}

/// Scans for a second and returns the device with this address, or nothing (with a line on
/// standard error).
inline std::optional<Tavrin::Peripheral> find_device(const std::string& address) {
    std::optional<Tavrin::Adapter> adapter = first_adapter();
    if (!adapter) {
        return std::nullopt;
    }
    adapter->scan_for(1000);
    for (Tavrin::Peripheral& peripheral : adapter->scan_get_results()) {
        if (peripheral.address() == address) {
            return peripheral;
        }
    }
    std::cerr << "Device " << address << " not found." << std::endl;
    return std::nullopt;
}

}  // namespace example
