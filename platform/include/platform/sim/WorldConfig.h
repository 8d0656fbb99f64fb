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
    // "subscribe" only: the device answers, but first notifies its current value, as a device that starts
    // notifying when the configuration arrives rather than when its answer leaves.
    NotifyEarly,
};

/// Request kind -> fault. Keys: peripheral "discover_services"; service "discover_characteristics";
/// characteristic "discover_descriptors", "read", "write", "subscribe", "unsubscribe"; descriptor "read", "write".
using Faults = std::map<std::string, Fault>;

/// What an attribute asks of the link before it answers: a link without it is refused with an ATT error
/// (insufficient encryption, insufficient authentication). A device with `pairing` lets the host raise the link
/// to it by pairing; one without never pairs.
enum class Security { None, Encryption, Authentication };

/// How a device pairs, as its own input and output decide.
enum class PairingMethod {
    JustWorks,          // no question asked; the key is not authenticated
    Passkey,            // the device shows `passkey`, which the host's user types
    NumericComparison,  // both show `passkey`; the host's user confirms they match
    DisplayPasskey,     // the host shows `passkey` (the number it draws), which the device's user types
};

struct PairingConfig {
    PairingMethod method = PairingMethod::JustWorks;
    uint32_t passkey = 0;  // 0-999999
    bool bonded = false;   // the adapter holds a bond with it from the start
    // Once connected without a bond, the device asks the host to pair (a security request): the host pairs
    // through its default agent, which is asked to authorize a just-works pairing.
    bool security_request = false;
};

struct DescriptorConfig {
    std::string uuid;
    std::optional<std::string> value;  // bytes
    Faults faults;
    Security security = Security::None;
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
    Security security = Security::None;
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
    std::optional<std::string> manufacturer_data;     // bytes
    std::vector<std::string> more_manufacturer_data;  // further entries after the first, bytes each
    std::optional<std::vector<std::pair<std::string, std::string>>> service_data;  // uuid text -> bytes, in order
    std::optional<std::vector<std::string>> service_uuids;
};

enum class ConnectOutcome { Connect, Fail, Hang };
/// The kind of a device's Bluetooth address, as tavrin-bluez-sim serves it.
enum class AddressType { Random, Public };
enum class DisconnectBehaviour { Disconnect, Hang };
/// Whether tavrin-bluez-sim signals the Connected=true of a link that came up. Silent: it sets the property without
/// its PropertiesChanged, as bluetoothd does when it marks an LE link connected on the ATT socket and then finds the
/// kernel's connection event about a link connected already; the link's end is signalled as usual. The simulated
/// radio has no such signal and ignores it.
enum class ConnectedSignal { Emitted, Silent };

struct ConnectionConfig {
    ConnectOutcome outcome = ConnectOutcome::Connect;
    /// The first this many connection attempts to the device fail as `Fail` does; later ones go as `outcome` says.
    unsigned fail_first = 0;
    ConnectedSignal connected_signal = ConnectedSignal::Emitted;
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
    AddressType address_type = AddressType::Random;
    std::optional<std::string> name;
    std::optional<std::string> model;  // "plug"
    unsigned mtu = 23;
    unsigned latency_ms = 5;
    /// False: the device refuses prepared writes, so a write with response too long for one request fails
    /// (tavrin-bluez-sim).
    bool prepared_writes = true;
    /// Absent: the device never pairs (and the sim radio reports pairing unsupported for it).
    std::optional<PairingConfig> pairing;
    AdvertisingConfig advertising;
    ConnectionConfig connection;
    /// The adapters (by name) that hear the device in tavrin-bluez-sim; absent: every adapter.
    std::optional<std::vector<std::string>> heard_by;
    Faults faults;
    std::vector<ServiceConfig> services;
};

/// A fault of one kind of the adapter's own requests (tavrin-bluez-sim): keys "start_discovery" (kind Error)
/// and "set_discovery_filter" (Error, Silent).
struct AdapterFault {
    Fault kind = Fault::Error;
    std::optional<unsigned> times;  // how many such requests meet it; absent: every one
};
inline bool operator==(const AdapterFault& a, const AdapterFault& b) {
    return a.kind == b.kind && a.times == b.times;
}
using AdapterFaults = std::map<std::string, AdapterFault>;

struct AdapterConfig {
    CBManagerState state = CBManagerState::PoweredOn;
    CBManagerAuthorization authorization = CBManagerAuthorization::AllowedAlways;
    std::optional<unsigned> state_delay_ms = 2;  // absent: the state stays unknown
    AdapterFaults faults;
};

/// The timers tavrin-bluez-sim keeps as bluetoothd does; a world may shorten them (tests).
struct BluetoothdConfig {
    unsigned att_timeout_ms = 30000;        // an unanswered ATT request costs the link after this
    unsigned disconnect_timer_ms = 2000;    // Disconnect() keeps the link this long
    unsigned temporary_timeout_ms = 30000;  // a temporary device goes this long after it was last seen
};

/// One adapter tavrin-bluez-sim serves; the simulated radio keeps its one adapter whatever the file lists.
struct ControllerConfig {
    std::string name;     // "hci1"
    std::string address;  // "AA:BB:CC:DD:EE:FF", upper case
};

struct WorldConfig {
    AdapterConfig adapter;
    BluetoothdConfig bluetoothd;
    /// The adapters tavrin-bluez-sim serves, all over the one world (they share its power); empty: hci0 alone.
    std::vector<ControllerConfig> adapters;
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
