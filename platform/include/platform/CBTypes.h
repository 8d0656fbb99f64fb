#pragma once
// The platform's plain value types: states, property bits, UUIDs and the advertisement dictionary. Shared by
// the CoreBluetooth-shaped façade and the radios behind it.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

enum class CBManagerState : int {
    Unknown = 0,
    Resetting = 1,
    Unsupported = 2,
    Unauthorized = 3,
    PoweredOff = 4,
    PoweredOn = 5,
};

enum class CBManagerAuthorization : int {
    NotDetermined = 0,
    Restricted = 1,
    Denied = 2,
    AllowedAlways = 3,
};

enum class CBPeripheralState : int {
    Disconnected = 0,
    Connecting = 1,
    Connected = 2,
    Disconnecting = 3,
};

enum class CBCharacteristicWriteType : int {
    WithResponse = 0,
    WithoutResponse = 1,
};

/// Characteristic property bits.
using CBCharacteristicProperties = uint32_t;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyBroadcast = 0x01;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyRead = 0x02;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyWriteWithoutResponse = 0x04;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyWrite = 0x08;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyNotify = 0x10;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyIndicate = 0x20;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyAuthenticatedSignedWrites = 0x40;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyExtendedProperties = 0x80;

/// A Bluetooth UUID: 16 bytes and the form it was made from (16, 32 or 128 bits).
class CBUUID {
  public:
    /// Accepts, after an optional "0x", 4, 8 or 36 hexadecimal digits (36 with hyphens at 8-4-4-4-12).
    /// Throws NSException ("String <text> does not represent a valid UUID") for anything else.
    static CBUUID UUIDWithString(const std::string& text);

    CBUUID();  // the 128-bit zero UUID

    /// Upper case, in the form it was made from: 4, 8 or 36 characters.
    std::string UUIDString() const;
    bool isEqual(const CBUUID& other) const noexcept { return bytes_ == other.bytes_; }
    bool operator==(const CBUUID& other) const noexcept { return bytes_ == other.bytes_; }
    bool operator!=(const CBUUID& other) const noexcept { return bytes_ != other.bytes_; }
    bool operator<(const CBUUID& other) const noexcept { return bytes_ < other.bytes_; }

    const std::array<uint8_t, 16>& data() const noexcept { return bytes_; }
    /// 16, 32 or 128.
    int bits() const noexcept { return bits_; }

  private:
    std::array<uint8_t, 16> bytes_{};
    int bits_ = 128;
};

/// The advertisement dictionary: absent keys are absent, not zero.
struct AdvertisementData {
    std::optional<bool> isConnectable;
    std::optional<int> txPowerLevel;
    /// Company identifier (little-endian), then payload.
    std::optional<std::string> manufacturerData;
    /// Not one of the platform's keys: every manufacturer entry the radio received, each as `manufacturerData`
    /// (whose value is the first of them), in the radio's order; absent when it had at most one.
    std::optional<std::vector<std::string>> manufacturerDataEntries;
    /// In the order the device gave them.
    std::optional<std::vector<std::pair<CBUUID, std::string>>> serviceData;
    std::optional<std::vector<CBUUID>> serviceUUIDs;
    std::optional<std::string> localName;
};

}  // namespace platform
