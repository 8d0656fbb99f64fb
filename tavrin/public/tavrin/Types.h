#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace Tavrin {

/// How a peripheral's address is to be read; `Unspecified` where the radio does not tell.
enum class AddressType : int32_t {
    Public = 0,
    Random = 1,
    Unspecified = 2,
};

/// How a subscription's notifications reach the program.
enum class Delivery : int32_t {
    /// Through the system's Bluetooth service, which shows each value to every program subscribed to the
    /// characteristic. The default.
    Shared = 0,
    /// Through a stream of this program's own where the system offers one (on Linux, a socket from
    /// bluetoothd), at a fraction of the CPU per value. While it lasts no other program can subscribe to the
    /// characteristic, and a value the device sends before it has confirmed the subscription is lost. Where
    /// the system has no such stream (indications, other platforms) or another program is subscribed
    /// already, the values come as with `Shared`.
    Exclusive = 1,
};

/// What one received advertisement says about a peripheral.
/// Byte strings (`manufacturer_data` values, `service_data` values) may hold any byte, zero included.
struct advertising_data_t {
    std::string identifier;
    AddressType address_type = AddressType::Unspecified;
    std::string address;
    bool connectable = false;
    int16_t rssi = 0;
    /// -32768 when the advertisement carries no transmit power level.
    int16_t tx_power = INT16_MIN;
    /// Company identifier -> the bytes that follow it.
    std::map<uint16_t, std::string> manufacturer_data;
    /// Service UUID (lower-case 36-character text) -> service data bytes; empty for a listed service without data.
    std::map<std::string, std::string> service_data;
};

}  // namespace Tavrin
