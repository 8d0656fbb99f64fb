#include "BluezObjects.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace platform::bluez {

namespace {

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    std::string::size_type start = 1;
    while (start <= path.size()) {
        const auto end = path.find('/', start);
        parts.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return parts;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The index of the "dev_" element in a path under /org/bluez/hciN, or 0.
std::size_t deviceElement(const std::vector<std::string>& parts) {
    if (parts.size() >= 4 && parts[0] == "org" && parts[1] == "bluez" && startsWith(parts[3], "dev_")) {
        return 3;
    }
    return 0;
}

std::string join(const std::vector<std::string>& parts, std::size_t count) {
    std::string path;
    for (std::size_t i = 0; i < count; ++i) {
        path += "/" + parts[i];
    }
    return path;
}

std::string bytes(const std::vector<uint8_t>& data) {
    return std::string(data.begin(), data.end());
}

}  // namespace

std::string adapterPathOf(const std::string& path) {
    const auto parts = split(path);
    if (parts.size() >= 3 && parts[0] == "org" && parts[1] == "bluez") {
        return join(parts, 3);
    }
    return {};
}

std::string devicePathOf(const std::string& path) {
    const auto parts = split(path);
    return deviceElement(parts) ? join(parts, 4) : std::string{};
}

std::string lastElement(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<uint16_t> handleOf(const std::string& element, const char* prefix) {
    const std::string p(prefix);
    if (!startsWith(element, p) || element.size() != p.size() + 4) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (std::size_t i = p.size(); i < element.size(); ++i) {
        const char c = element[i];
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                       ? c - '0'
                                                       : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    return static_cast<uint16_t>(value);
}

bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            // Compare numbers by value: strip leading zeros, then length, then digits.
            std::size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0')
                ++si;
            while (sj + 1 < ej && b[sj] == '0')
                ++sj;
            if (ei - si != ej - sj) {
                return ei - si < ej - sj;
            }
            const int cmp = a.compare(si, ei - si, b, sj, ej - sj);
            if (cmp != 0) {
                return cmp < 0;
            }
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) {
                return a[i] < b[j];
            }
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

void applyAdapter(AdapterObject& adapter, const PropMap& props) {
    if (const auto powered = property<bool>(props, "Powered")) {
        adapter.powered = *powered;
    }
    if (const auto roles = property<std::vector<std::string>>(props, "Roles")) {
        adapter.roles = *roles;
    }
}

DeviceChange applyDevice(DeviceObject& device, const PropMap& props, const std::vector<std::string>& invalidated) {
    DeviceChange change;
    if (const auto address = property<std::string>(props, "Address")) {
        device.address = *address;
    }
    if (const auto adapter = property<sdbus::ObjectPath>(props, "Adapter")) {
        device.adapter = *adapter;
    }
    if (const auto name = property<std::string>(props, "Name")) {
        device.name = *name;
        change.advertisement = true;
    }
    if (const auto rssi = property<int16_t>(props, "RSSI")) {
        device.rssi = *rssi;
        change.rssi = true;
    }
    if (const auto tx = property<int16_t>(props, "TxPower")) {
        device.txPower = *tx;
        change.advertisement = true;
    }
    if (const auto data = property<std::map<uint16_t, sdbus::Variant>>(props, "ManufacturerData")) {
        std::vector<std::pair<uint16_t, std::string>> entries;
        for (const auto& [company, value] : *data) {
            try {
                if (value.containsValueOfType<std::vector<uint8_t>>()) {
                    entries.emplace_back(company, bytes(value.get<std::vector<uint8_t>>()));
                }
            } catch (const std::exception&) {
            }
        }
        device.manufacturerData = std::move(entries);
        change.advertisement = true;
    }
    if (const auto data = property<std::map<std::string, sdbus::Variant>>(props, "ServiceData")) {
        std::vector<std::pair<std::string, std::string>> entries;
        for (const auto& [uuid, value] : *data) {
            try {
                if (value.containsValueOfType<std::vector<uint8_t>>()) {
                    entries.emplace_back(uuid, bytes(value.get<std::vector<uint8_t>>()));
                }
            } catch (const std::exception&) {
            }
        }
        device.serviceData = std::move(entries);
        change.advertisement = true;
    }
    if (const auto uuids = property<std::vector<std::string>>(props, "UUIDs")) {
        device.uuids = *uuids;
        change.advertisement = true;
    }
    if (const auto connected = property<bool>(props, "Connected")) {
        change.connected = *connected != device.connected;
        device.connected = *connected;
    }
    if (const auto resolved = property<bool>(props, "ServicesResolved")) {
        change.servicesResolved = *resolved != device.servicesResolved;
        device.servicesResolved = *resolved;
        device.resolvedOnce = device.resolvedOnce || *resolved;
    }
    for (const auto& name : invalidated) {
        if (name == "RSSI") {
            device.rssi.reset();
        } else if (name == "TxPower") {
            device.txPower.reset();
        } else if (name == "Name") {
            device.name.reset();
        } else if (name == "ManufacturerData") {
            device.manufacturerData.reset();
        } else if (name == "ServiceData") {
            device.serviceData.reset();
        } else if (name == "UUIDs") {
            device.uuids.reset();
        }
    }
    return change;
}

std::optional<AttributeObject> makeAttribute(const std::string& path, AttributeKind kind, const PropMap& props) {
    const auto parts = split(path);
    const std::size_t dev = deviceElement(parts);
    if (!dev) {
        return std::nullopt;
    }
    AttributeObject attribute;
    attribute.kind = kind;
    attribute.path = path;
    attribute.device = join(parts, dev + 1);
    std::optional<uint16_t> handle, parent;
    switch (kind) {
        case AttributeKind::Service:
            if (parts.size() != dev + 2)
                return std::nullopt;
            handle = handleOf(parts[dev + 1], "service");
            parent = uint16_t{0};
            break;
        case AttributeKind::Characteristic:
            if (parts.size() != dev + 3)
                return std::nullopt;
            parent = handleOf(parts[dev + 1], "service");
            handle = handleOf(parts[dev + 2], "char");
            break;
        case AttributeKind::Descriptor:
            if (parts.size() != dev + 4)
                return std::nullopt;
            parent = handleOf(parts[dev + 2], "char");
            handle = handleOf(parts[dev + 3], "desc");
            break;
    }
    if (!handle || !parent) {
        return std::nullopt;
    }
    attribute.handle = *handle;
    attribute.parent = *parent;
    attribute.uuid = property<std::string>(props, "UUID");
    if (const auto primary = property<bool>(props, "Primary")) {
        attribute.primary = *primary;
    }
    if (const auto flags = property<std::vector<std::string>>(props, "Flags")) {
        attribute.properties = propertiesFromFlags(*flags);
    }
    if (const auto mtu = property<uint16_t>(props, "MTU")) {
        attribute.mtu = *mtu;
    }
    return attribute;
}

std::optional<CBUUID> uuidFromBluez(const std::string& text) {
    const std::string base = "-0000-1000-8000-00805f9b34fb";
    try {
        if (text.size() == 36 && text.compare(8, base.size(), base) == 0) {
            const std::string head = text.substr(0, 8);
            return CBUUID::UUIDWithString(head.compare(0, 4, "0000") == 0 ? head.substr(4) : head);
        }
        return CBUUID::UUIDWithString(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string uuidToBluez(const CBUUID& uuid) {
    std::string text;
    char buffer[3];
    const auto& data = uuid.data();
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        std::snprintf(buffer, sizeof buffer, "%02x", data[i]);
        text += buffer;
    }
    return text;
}

uint32_t propertiesFromFlags(const std::vector<std::string>& flags) {
    // Plain tables, no statics to destroy: the radio's loop may still run while the program's statics go.
    static constexpr std::pair<const char*, uint32_t> bits[] = {
        {"broadcast", CBCharacteristicPropertyBroadcast},
        {"read", CBCharacteristicPropertyRead},
        {"write-without-response", CBCharacteristicPropertyWriteWithoutResponse},
        {"write", CBCharacteristicPropertyWrite},
        {"notify", CBCharacteristicPropertyNotify},
        {"indicate", CBCharacteristicPropertyIndicate},
        {"authenticated-signed-writes", CBCharacteristicPropertyAuthenticatedSignedWrites},
        {"extended-properties", CBCharacteristicPropertyExtendedProperties},
        {"reliable-write", CBCharacteristicPropertyExtendedProperties},
        {"writable-auxiliaries", CBCharacteristicPropertyExtendedProperties},
    };
    uint32_t properties = 0;
    for (const auto& flag : flags) {
        for (const auto& [name, bit] : bits) {
            if (flag == name) {
                properties |= bit;
            }
        }
    }
    return properties;
}

NSError errorFromDBus(const std::string& name, const std::string& message) {
    // bluetoothd names the ATT error in its text; the code makes it usable without parsing.
    static constexpr std::pair<const char*, long> codes[] = {
        {"Read not permitted", 0x02},
        {"Write not permitted", 0x03},
        {"Not paired", 0x05},
        {"Invalid offset", 0x07},
        {"Invalid Length", 0x0D},
        {"Operation Not Authorized", 0x08},
        {"Operation is not supported", 0x06},
    };
    long code = 0;
    const std::string att = "Operation failed with ATT error: 0x";
    if (message.compare(0, att.size(), att) == 0) {
        code = std::strtol(message.c_str() + att.size(), nullptr, 16);
    } else {
        for (const auto& [text, value] : codes) {
            if (message == text) {
                code = value;
            }
        }
    }
    return NSError{name.empty() ? std::string("org.freedesktop.DBus.Error.Failed") : name, code,
                   message.empty() ? name : message};
}

}  // namespace platform::bluez
