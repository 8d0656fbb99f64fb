#include "BluezObjects.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <type_traits>

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
    if (const auto state = property<std::string>(props, "PowerState")) {
        adapter.powerState = *state;
    }
}

namespace {

// One property's value in a map of variants (GetManagedObjects, InterfacesAdded, tests).
class VariantValue {
  public:
    explicit VariantValue(const sdbus::Variant& value) : value_(value), type_(value.peekValueType()) {}

    bool is(const char* signature) const { return type_ == signature; }
    template <typename T>
    T basic() const {
        return value_.get<T>();
    }
    std::string string() const { return value_.get<std::string>(); }
    std::string objectPath() const { return value_.get<sdbus::ObjectPath>(); }
    std::string bytes() const { return bytesOf(value_.get<std::vector<uint8_t>>()); }
    std::vector<std::string> strings() const { return value_.get<std::vector<std::string>>(); }
    // A dictionary of byte arrays (ManufacturerData, ServiceData); entries of another type are left out.
    template <typename Key>
    std::vector<std::pair<Key, std::string>> byteDict() const {
        std::vector<std::pair<Key, std::string>> entries;
        for (const auto& [key, value] : value_.get<std::map<Key, sdbus::Variant>>()) {
            if (value.template containsValueOfType<std::vector<uint8_t>>()) {
                entries.emplace_back(key, bytesOf(value.template get<std::vector<uint8_t>>()));
            }
        }
        return entries;
    }

  private:
    static std::string bytesOf(const std::vector<uint8_t>& data) { return std::string(data.begin(), data.end()); }

    const sdbus::Variant& value_;
    const std::string type_;
};

}  // namespace

void readBytes(sdbus::Message& message, std::string& out) {
    if (!message.enterContainer("y")) {
        message.clearFlags();
        return;  // no array at all
    }
    uint8_t byte = 0;
    while (message >> byte) {
        out.push_back(static_cast<char>(byte));
    }
    message.clearFlags();
    message.exitContainer();
}

namespace {

// One property's value inside a message, read in place: the message is positioned at its variant. A value
// that is not read is skipped by finish().
class MessageValue {
  public:
    explicit MessageValue(sdbus::Message& message) : message_(message) {
        std::string type;
        message_.peekType(type, contents_);
    }

    bool is(const char* signature) const { return contents_ == signature; }
    template <typename T>
    T basic() {
        T value{};
        enter();
        message_ >> value;
        message_.exitVariant();
        return value;
    }
    std::string string() {
        char* text = nullptr;
        enter();
        message_ >> text;
        message_.exitVariant();
        return text ? std::string(text) : std::string();
    }
    std::string objectPath() { return basic<sdbus::ObjectPath>(); }
    std::string bytes() {
        std::string data;
        enter();
        readBytes(message_, data);
        message_.exitVariant();
        return data;
    }
    std::vector<std::string> strings() {
        std::vector<std::string> texts;
        enter();
        message_.enterContainer("s");
        char* text = nullptr;
        while (message_ >> text) {
            texts.emplace_back(text);
        }
        message_.clearFlags();
        message_.exitContainer();
        message_.exitVariant();
        return texts;
    }
    template <typename Key>
    std::vector<std::pair<Key, std::string>> byteDict() {
        constexpr bool numeric = std::is_same_v<Key, uint16_t>;
        const char* entry = numeric ? "qv" : "sv";
        std::vector<std::pair<Key, std::string>> entries;
        enter();
        message_.enterContainer(numeric ? "{qv}" : "{sv}");
        while (message_.enterDictEntry(entry)) {
            Key key{};
            if constexpr (numeric) {
                message_ >> key;
            } else {
                char* text = nullptr;
                message_ >> text;
                key = text ? text : "";
            }
            MessageValue inner(message_);
            if (inner.is("ay")) {
                entries.emplace_back(std::move(key), inner.bytes());
            }
            inner.finish();
            message_.exitDictEntry();
        }
        message_.clearFlags();
        message_.exitContainer();
        message_.exitVariant();
        // As a map of them would: ordered by key, the first of equal keys kept. Usually one entry, in order.
        const auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
        if (!std::is_sorted(entries.begin(), entries.end(), by_key)) {
            std::stable_sort(entries.begin(), entries.end(), by_key);
        }
        entries.erase(std::unique(entries.begin(), entries.end(),
                                  [](const auto& a, const auto& b) { return a.first == b.first; }),
                      entries.end());
        return entries;
    }

    // Skips the value unless it was read.
    void finish() {
        if (!read_) {
            sdbus::Variant skipped;
            message_ >> skipped;
        }
    }

  private:
    void enter() {
        message_.enterVariant(contents_);
        read_ = true;
    }

    sdbus::Message& message_;
    std::string contents_;  // the variant's signature
    bool read_ = false;
};

// Calls read(name, value) for each entry of the a{sv} the message is positioned at; an absent dictionary is
// an empty one.
template <typename F>
void readProperties(sdbus::Message& message, F&& read) {
    std::string type, contents;
    message.peekType(type, contents);
    if (type.empty() || type[0] == '\0') {
        return;
    }
    message.enterContainer("{sv}");
    while (message.enterDictEntry("sv")) {
        char* name = nullptr;
        message >> name;
        MessageValue value(message);
        read(std::string_view(name ? name : ""), value);
        value.finish();
        message.exitDictEntry();
    }
    message.clearFlags();
    message.exitContainer();
}

unsigned invalidatedBit(std::string_view name) {
    if (name == "RSSI") {
        return DeviceUpdate::Rssi;
    } else if (name == "TxPower") {
        return DeviceUpdate::TxPower;
    } else if (name == "Name") {
        return DeviceUpdate::Name;
    } else if (name == "ManufacturerData") {
        return DeviceUpdate::ManufacturerData;
    } else if (name == "ServiceData") {
        return DeviceUpdate::ServiceData;
    } else if (name == "UUIDs") {
        return DeviceUpdate::Uuids;
    }
    return 0;
}

// The invalidated names (as) the message is positioned at, as DeviceUpdate bits; absent means none.
unsigned readInvalidated(sdbus::Message& message) {
    std::string type, contents;
    message.peekType(type, contents);
    if (type.empty() || type[0] == '\0') {
        return 0;
    }
    unsigned bits = 0;
    message.enterContainer("s");
    char* name = nullptr;
    while (message >> name) {
        bits |= invalidatedBit(name ? name : "");
    }
    message.clearFlags();
    message.exitContainer();
    return bits;
}

// The one place that says which Device1 property lands where, whatever the value is read from. A value of an
// unexpected type is left alone.
template <typename Value>
void readDeviceProperty(DeviceUpdate& update, std::string_view name, Value& value) {
    // The properties of every advertisement first.
    if (name == "RSSI") {
        if (value.is("n")) {
            update.rssi = value.template basic<int16_t>();
        }
    } else if (name == "ManufacturerData") {
        if (value.is("a{qv}")) {
            update.manufacturerData = value.template byteDict<uint16_t>();
        }
    } else if (name == "ServiceData") {
        if (value.is("a{sv}")) {
            update.serviceData = value.template byteDict<std::string>();
        }
    } else if (name == "Name") {
        if (value.is("s")) {
            update.name = value.string();
        }
    } else if (name == "TxPower") {
        if (value.is("n")) {
            update.txPower = value.template basic<int16_t>();
        }
    } else if (name == "UUIDs") {
        if (value.is("as")) {
            update.uuids = value.strings();
        }
    } else if (name == "Connected") {
        if (value.is("b")) {
            update.connected = value.template basic<bool>();
        }
    } else if (name == "ServicesResolved") {
        if (value.is("b")) {
            update.servicesResolved = value.template basic<bool>();
        }
    } else if (name == "Paired") {
        if (value.is("b")) {
            update.paired = value.template basic<bool>();
        }
    } else if (name == "Bonded") {
        if (value.is("b")) {
            update.bonded = value.template basic<bool>();
        }
    } else if (name == "Address") {
        if (value.is("s")) {
            update.address = value.string();
        }
    } else if (name == "AddressType") {
        if (value.is("s")) {
            update.addressType = value.string();
        }
    } else if (name == "Adapter") {
        if (value.is("o")) {
            update.adapter = value.objectPath();
        }
    }
}

template <typename Value>
void readCharacteristicProperty(CharacteristicUpdate& update, std::string_view name, Value& value) {
    if (name == "Value") {
        if (value.is("ay")) {
            update.value = value.bytes();
        }
    } else if (name == "MTU") {
        if (value.is("q")) {
            update.mtu = value.template basic<uint16_t>();
        }
    } else if (name == "WriteAcquired") {
        if (value.is("b")) {
            update.writeAcquired = value.template basic<bool>();
        }
    } else if (name == "NotifyAcquired") {
        if (value.is("b")) {
            update.notifyAcquired = value.template basic<bool>();
        }
    }
}

// Reads each entry of a property map with `read`; an entry that cannot be read is left out.
template <typename F>
void readMap(const PropMap& props, F&& read) {
    for (const auto& [name, variant] : props) {
        try {
            const VariantValue value(variant);
            read(std::string_view(name), value);
        } catch (const std::exception&) {
        }
    }
}

std::vector<CBUUID> uuidsOf(const std::vector<std::string>& texts) {
    std::vector<CBUUID> uuids;
    uuids.reserve(texts.size());
    for (const auto& text : texts) {
        if (auto uuid = uuidFromBluez(text)) {
            uuids.push_back(std::move(*uuid));
        }
    }
    return uuids;
}

// Sets `field` to `value`; returns whether that changed it.
template <typename T, typename U>
bool assign(std::optional<T>& field, U&& value) {
    if (field && *field == value) {
        return false;
    }
    field = std::forward<U>(value);
    return true;
}

}  // namespace

DeviceUpdate deviceUpdate(const PropMap& props, const std::vector<std::string>& invalidated) {
    DeviceUpdate update;
    readMap(props, [&](std::string_view name, const VariantValue& value) { readDeviceProperty(update, name, value); });
    for (const auto& name : invalidated) {
        update.invalidated |= invalidatedBit(name);
    }
    return update;
}

DeviceUpdate readDeviceUpdate(sdbus::Message& message) {
    DeviceUpdate update;
    readProperties(message,
                   [&](std::string_view name, MessageValue& value) { readDeviceProperty(update, name, value); });
    update.invalidated = readInvalidated(message);
    return update;
}

CharacteristicUpdate characteristicUpdate(const PropMap& props) {
    CharacteristicUpdate update;
    readMap(props,
            [&](std::string_view name, const VariantValue& value) { readCharacteristicProperty(update, name, value); });
    return update;
}

CharacteristicUpdate readCharacteristicUpdate(sdbus::Message& message) {
    CharacteristicUpdate update;
    readProperties(
        message, [&](std::string_view name, MessageValue& value) { readCharacteristicProperty(update, name, value); });
    // No invalidated name is of interest, but a body of the wrong shape is refused whole.
    std::string type, contents;
    message.peekType(type, contents);
    if (!type.empty() && type[0] != '\0' && (type != "a" || contents != "s")) {
        throw sdbus::Error("org.freedesktop.DBus.Error.InvalidSignature", "PropertiesChanged of the wrong shape");
    }
    return update;
}

DeviceChange applyDevice(DeviceObject& device, DeviceUpdate&& update) {
    DeviceChange change;
    bool changed = false;
    if (update.address) {
        changed |= device.address != *update.address;
        device.address = std::move(*update.address);
    }
    if (update.adapter) {
        device.adapter = std::move(*update.adapter);
    }
    if (update.name) {
        changed |= assign(device.name, std::move(*update.name));
        change.advertisement = true;
    }
    if (update.rssi) {
        changed |= assign(device.rssi, int{*update.rssi});
        change.rssi = true;
    }
    if (update.txPower) {
        changed |= assign(device.txPower, int{*update.txPower});
        change.advertisement = true;
    }
    if (update.manufacturerData) {
        changed |= assign(device.manufacturerData, std::move(*update.manufacturerData));
        change.advertisement = true;
    }
    if (update.serviceData) {
        changed |= assign(device.serviceData, std::move(*update.serviceData));
        change.advertisement = true;
    }
    if (update.uuids) {
        if (assign(device.uuids, std::move(*update.uuids))) {
            device.serviceUuids = uuidsOf(*device.uuids);
            changed = true;
        }
        change.advertisement = true;
    }
    if (update.connected) {
        change.connected = *update.connected != device.connected;
        device.connected = *update.connected;
    }
    const bool listedServices = device.uuidsListServices();
    if (update.servicesResolved) {
        const bool resolved = *update.servicesResolved;
        change.servicesResolved = resolved != device.servicesResolved;
        device.servicesResolved = resolved;
        device.resolvedOnce = device.resolvedOnce || resolved;
        // bluetoothd resolves services only over a link that is up, and may have marked that link connected
        // without signalling it (an LE link whose ATT socket connected first): resolved services are word enough.
        if (resolved && !device.connected && !update.connected) {
            device.connected = true;
            change.connected = true;
        }
    }
    if (update.paired) {
        device.paired = *update.paired;
    }
    if (update.bonded) {
        device.bonded = *update.bonded;
    }
    if (update.addressType) {
        device.addressType = std::move(*update.addressType);
    }
    changed |= listedServices != device.uuidsListServices();
    const auto drop = [&](unsigned bit, auto& field) {
        if ((update.invalidated & bit) && field) {
            field.reset();
            changed = true;
        }
    };
    drop(DeviceUpdate::Rssi, device.rssi);
    drop(DeviceUpdate::TxPower, device.txPower);
    drop(DeviceUpdate::Name, device.name);
    drop(DeviceUpdate::ManufacturerData, device.manufacturerData);
    drop(DeviceUpdate::ServiceData, device.serviceData);
    if ((update.invalidated & DeviceUpdate::Uuids) && device.uuids) {
        device.uuids.reset();
        device.serviceUuids.clear();
        changed = true;
    }
    if (changed) {
        change.reportChanged = true;
        device.report.reset();
    }
    return change;
}

DeviceChange applyDevice(DeviceObject& device, const PropMap& props, const std::vector<std::string>& invalidated) {
    return applyDevice(device, deviceUpdate(props, invalidated));
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
    attribute.writeAcquired = property<bool>(props, "WriteAcquired");
    attribute.notifyAcquired = property<bool>(props, "NotifyAcquired");
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
