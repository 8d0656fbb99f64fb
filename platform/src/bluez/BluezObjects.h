#pragma once
// bluetoothd's objects as the BlueZ radio mirrors them: plain values read out of D-Bus property maps, and the
// pure helpers that turn them into the radio's terms. Nothing here touches the bus; everything is tolerant of
// missing properties and of properties of an unexpected type (they are ignored).

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/CBTypes.h"
#include "platform/Foundation.h"
#include "platform/Radio.h"

namespace platform::bluez {

using PropMap = std::map<std::string, sdbus::Variant>;
using InterfaceMap = std::map<std::string, PropMap>;

inline constexpr const char* kBluezService = "org.bluez";
inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
inline constexpr const char* kDeviceInterface = "org.bluez.Device1";
inline constexpr const char* kServiceInterface = "org.bluez.GattService1";
inline constexpr const char* kCharacteristicInterface = "org.bluez.GattCharacteristic1";
inline constexpr const char* kDescriptorInterface = "org.bluez.GattDescriptor1";

struct AdapterObject {
    std::string path;
    bool powered = false;
    std::optional<std::vector<std::string>> roles;
    // "on", "off", "on-disabling", "off-enabling", "off-blocked"; empty from a bluetoothd without it.
    std::string powerState;
};

struct DeviceObject {
    std::string path;
    std::string adapter;  // the adapter's object path
    std::string address;
    std::optional<std::string> name;
    std::optional<int> rssi;
    std::optional<int> txPower;
    std::optional<std::vector<std::pair<uint16_t, std::string>>> manufacturerData;
    std::optional<std::vector<std::pair<std::string, std::string>>> serviceData;
    std::optional<std::vector<std::string>> uuids;
    std::vector<CBUUID> serviceUuids;  // uuids read as UUIDs, those that are valid
    bool connected = false;
    bool servicesResolved = false;
    // bluetoothd's UUIDs lists the device's GATT services instead of its advertised ones once their services were
    // ever resolved: seen here, or before this program looked, which shows only for a paired or bonded device
    // (bluetoothd keeps their services from one run to the next).
    bool resolvedOnce = false;
    bool paired = false;
    bool bonded = false;
    std::string addressType;  // "public" or "random"; empty until bluetoothd said
    bool uuidsListServices() const { return resolvedOnce || paired || bonded; }
    // The last report made of the device while what it reports is unchanged: sent again as the same object.
    radio::AdvertisementReportPtr report;
    // What each scanning central has had of the device, by the number of its scan: kept here, so that an
    // advertisement costs no lookup by address. A device with a new address starts afresh.
    struct ScanMark {
        uint64_t central = 0;
        uint64_t rssiScan = 0;      // the scan in which an RSSI was last reported for it
        uint64_t reportedScan = 0;  // the scan in which it was last reported to the central
    };
    std::vector<ScanMark> scanMarks;
};

enum class AttributeKind { Service, Characteristic, Descriptor };

struct AttributeObject {
    AttributeKind kind = AttributeKind::Service;
    std::string path;
    std::string device;  // the device's object path
    uint16_t handle = 0;
    uint16_t parent = 0;  // the service of a characteristic, the characteristic of a descriptor
    std::optional<std::string> uuid;
    bool primary = true;
    uint32_t properties = 0;
    std::optional<unsigned> mtu;
    // Present where bluetoothd offers the characteristic's write socket (it has write without response) or its
    // notify socket (it has notify); true while someone holds it.
    std::optional<bool> writeAcquired;
    std::optional<bool> notifyAcquired;
};

/// Reads a property of type T; absent when missing or of another type.
template <typename T>
std::optional<T> property(const PropMap& props, const std::string& name) {
    const auto it = props.find(name);
    if (it == props.end()) {
        return std::nullopt;
    }
    try {
        if (!it->second.containsValueOfType<T>()) {
            return std::nullopt;
        }
        return it->second.get<T>();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

/// "/org/bluez/hci0/dev_AA_BB/service000f/char0010" -> the adapter part "/org/bluez/hci0", or empty.
std::string adapterPathOf(const std::string& path);
/// The device part of a device or attribute path, or empty.
std::string devicePathOf(const std::string& path);
/// The last path element's name, e.g. "hci0".
std::string lastElement(const std::string& path);
/// The handle in an attribute path's element ("service000f" -> 0x000f); absent when it has none.
std::optional<uint16_t> handleOf(const std::string& element, const char* prefix);

/// Natural order of adapter names: hci2 before hci10.
bool naturalLess(const std::string& a, const std::string& b);

/// Applies an interface's properties (from InterfacesAdded, GetManagedObjects or PropertiesChanged) and the
/// names a PropertiesChanged invalidated. Return whether advertisement fields or the RSSI were among them.
void applyAdapter(AdapterObject& adapter, const PropMap& props);
struct DeviceChange {
    bool rssi = false;              // an RSSI was reported
    bool advertisement = false;     // some advertised field was reported
    bool reportChanged = false;     // something a report carries now differs from before
    bool connected = false;         // Connected changed
    bool servicesResolved = false;  // ServicesResolved changed
};

/// The Device1 properties the radio reads, as one batch of changes: what a property map holds (each only
/// when of the expected type), and the optional ones invalidated.
struct DeviceUpdate {
    enum Invalidated : unsigned { Rssi = 1, TxPower = 2, Name = 4, ManufacturerData = 8, ServiceData = 16, Uuids = 32 };
    std::optional<std::string> address;
    std::optional<std::string> adapter;
    std::optional<std::string> name;
    std::optional<int16_t> rssi;
    std::optional<int16_t> txPower;
    std::optional<std::vector<std::pair<uint16_t, std::string>>> manufacturerData;
    std::optional<std::vector<std::pair<std::string, std::string>>> serviceData;
    std::optional<std::vector<std::string>> uuids;
    std::optional<bool> connected;
    std::optional<bool> servicesResolved;
    std::optional<bool> paired;
    std::optional<bool> bonded;
    std::optional<std::string> addressType;
    unsigned invalidated = 0;  // Invalidated bits
};
DeviceUpdate deviceUpdate(const PropMap& props, const std::vector<std::string>& invalidated);
/// Reads the rest of a Device1 PropertiesChanged (after the interface name) straight from the message, without
/// an intermediate map of variants. Throws sdbus::Error on a body of the wrong shape.
DeviceUpdate readDeviceUpdate(sdbus::Message& message);
DeviceChange applyDevice(DeviceObject& device, DeviceUpdate&& update);
DeviceChange applyDevice(DeviceObject& device, const PropMap& props, const std::vector<std::string>& invalidated);

/// The GattCharacteristic1 properties a PropertiesChanged may bring the radio.
struct CharacteristicUpdate {
    std::optional<std::string> value;
    std::optional<uint16_t> mtu;
    std::optional<bool> writeAcquired;
    std::optional<bool> notifyAcquired;
};
CharacteristicUpdate characteristicUpdate(const PropMap& props);
/// As readDeviceUpdate, for a GattCharacteristic1 PropertiesChanged.
CharacteristicUpdate readCharacteristicUpdate(sdbus::Message& message);
/// Appends the array of bytes (ay) the message is positioned at to `out`; nothing at the message's end.
void readBytes(sdbus::Message& message, std::string& out);
/// Builds an attribute from its path and interface properties; absent when the path names no attribute.
std::optional<AttributeObject> makeAttribute(const std::string& path, AttributeKind kind, const PropMap& props);

/// BlueZ's 128-bit UUID text as a CBUUID, in its short form when it lies on the Bluetooth Base UUID.
std::optional<CBUUID> uuidFromBluez(const std::string& text);
/// A CBUUID as BlueZ writes it: 128-bit, lower case.
std::string uuidToBluez(const CBUUID& uuid);
/// GattCharacteristic1.Flags -> property bits.
uint32_t propertiesFromFlags(const std::vector<std::string>& flags);

/// A D-Bus error as the platform's error: the error name as domain, the message as text, and the ATT error
/// code as code where bluetoothd's message names one.
NSError errorFromDBus(const std::string& name, const std::string& message);

}  // namespace platform::bluez
