#pragma once
// The description of a simulated world, as a world file gives it (defaults as in the file format).

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/CBTypes.h"

namespace platform::sim {

/// What one kind of request gets instead of its answer.
enum class Fault {
    Error,   // the callback carries an error
    Silent,  // no callback ever
    Drop,    // the link is lost instead
};

/// Request kind -> fault. Keys: peripheral "discover_services"; service "discover_characteristics";
/// characteristic "discover_descriptors", "read", "write", "subscribe", "unsubscribe"; descriptor "read", "write".
using Faults = std::map<std::string, Fault>;

struct DescriptorConfig {
    std::string uuid;
    std::optional<std::string> value;  // bytes
    Faults faults;
};

struct NotificationConfig {
    unsigned every_ms = 1000;
    std::vector<std::string> values;  // bytes each
};

struct CharacteristicConfig {
    std::string uuid;
    CBCharacteristicProperties properties = 0;
    std::optional<std::string> value;  // bytes
    std::optional<NotificationConfig> notifications;
    Faults faults;
    std::vector<DescriptorConfig> descriptors;
};

struct ServiceConfig {
    std::string uuid;
    Faults faults;
    std::vector<CharacteristicConfig> characteristics;
};

struct AdvertisingConfig {
    unsigned interval_ms = 100;
    int rssi = -60;
    std::optional<bool> connectable;
    std::optional<int> tx_power;
    std::optional<std::string> manufacturer_data;                                  // bytes
    std::optional<std::vector<std::pair<std::string, std::string>>> service_data;  // uuid text -> bytes, in order
    std::optional<std::vector<std::string>> service_uuids;
};

enum class ConnectOutcome { Connect, Fail, Hang };
enum class DisconnectBehaviour { Disconnect, Hang };

struct ConnectionConfig {
    ConnectOutcome outcome = ConnectOutcome::Connect;
    unsigned delay_ms = 20;
    std::optional<unsigned> drop_after_ms;
    DisconnectBehaviour disconnect = DisconnectBehaviour::Disconnect;
    unsigned disconnect_delay_ms = 10;
    unsigned interval_ms = 15;
    unsigned packets_per_interval = 6;
};

struct PeripheralConfig {
    std::string identifier;  // reported in upper case
    /// The Bluetooth address "AA:BB:CC:DD:EE:FF" (upper case); absent: derived from the identifier (see
    /// deviceAddress).
    std::optional<std::string> address;
    std::optional<std::string> name;
    std::optional<std::string> model;  // "plug"
    unsigned mtu = 23;
    unsigned latency_ms = 5;
    AdvertisingConfig advertising;
    ConnectionConfig connection;
    Faults faults;
    std::vector<ServiceConfig> services;
};

struct AdapterConfig {
    CBManagerState state = CBManagerState::PoweredOn;
    CBManagerAuthorization authorization = CBManagerAuthorization::AllowedAlways;
    std::optional<unsigned> state_delay_ms = 2;  // absent: the state stays unknown
};

struct WorldConfig {
    AdapterConfig adapter;
    std::vector<PeripheralConfig> peripherals;
};

/// A world file that cannot be read or does not match the schema. `what()` is one line naming the
/// source, the JSON path and the problem.
class WorldFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// Parses and validates a world file's text; `source` names it in error messages. Throws WorldFileError.
WorldConfig parseWorld(std::string_view json, const std::string& source);
/// Reads and parses a world file. Throws WorldFileError.
WorldConfig loadWorldFile(const std::string& path);
/// The Bluetooth address a device goes by: its `address`, else the identifier's last 12 hexadecimal digits in
/// pairs (C3A1F5E2-7B4D-4E8A-9F61-2D5B8C0E7A13 -> 2D:5B:8C:0E:7A:13), upper case.
std::string deviceAddress(const PeripheralConfig& config);
/// The address derived from an identifier alone, as deviceAddress does without an `address`.
std::string defaultAddress(const std::string& identifier);
/// The embedded default world's JSON text.
std::string_view defaultWorldJson();

}  // namespace platform::sim
