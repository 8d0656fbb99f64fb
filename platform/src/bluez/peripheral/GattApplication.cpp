// A local service's objects on the bus, their Flags, and their methods: ReadValue and WriteValue with bluetoothd's
// options, StartNotify and StopNotify, and the answers in the errors bluetoothd turns into ATT error codes.

#include "GattApplication.h"

#include <cstdio>

#include "PeripheralBus.h"

namespace platform::bluez::peripheral {

namespace {

const char* const kService = "org.bluez.GattService1";
const char* const kCharacteristic = "org.bluez.GattCharacteristic1";
const char* const kDescriptor = "org.bluez.GattDescriptor1";

bool has(radio::AttributePermissions permissions, radio::AttributePermissions bit) {
    return (permissions & bit) != 0;
}

// The flag of one access by the security its permissions ask for.
std::string secured(const char* access, bool authentication, bool encryption) {
    if (authentication) {
        return std::string("encrypt-authenticated-") + access;
    }
    if (encryption) {
        return std::string("encrypt-") + access;
    }
    return access;
}

bool isClientConfiguration(const CBUUID& uuid) {
    static const CBUUID cccd = CBUUID::UUIDWithString("2902");
    return uuid == cccd;
}

// bluetoothd's options: keys in any case, values of the types it sends; others are left alone.
struct Options {
    std::string device;
    uint16_t offset = 0;
    uint16_t mtu = 23;
    std::optional<std::string> type;
};

Options readOptions(const std::map<std::string, sdbus::Variant>& options) {
    Options out;
    for (const auto& [key, value] : options) {
        const std::string type = value.peekValueType();
        if (key == "device" && type == "o") {
            out.device = value.get<sdbus::ObjectPath>();
        } else if (key == "offset" && type == "q") {
            out.offset = value.get<uint16_t>();
        } else if (key == "mtu" && type == "q") {
            out.mtu = value.get<uint16_t>();
        } else if (key == "type" && type == "s") {
            out.type = value.get<std::string>();
        }
    }
    return out;
}

}  // namespace

std::vector<std::string> characteristicFlags(const radio::LocalCharacteristic& c) {
    using namespace radio;
    std::vector<std::string> flags;
    const auto p = c.properties;
    const auto m = c.permissions;
    if (p & CBCharacteristicPropertyBroadcast) {
        flags.push_back("broadcast");
    }
    if (p & CBCharacteristicPropertyRead) {
        flags.push_back(secured("read", has(m, AttributePermissionReadAuthenticationRequired),
                                has(m, AttributePermissionReadEncryptionRequired)));
    }
    if (p & CBCharacteristicPropertyWriteWithoutResponse) {
        flags.push_back("write-without-response");
    }
    if (p & CBCharacteristicPropertyWrite) {
        flags.push_back(secured("write", has(m, AttributePermissionWriteAuthenticationRequired),
                                has(m, AttributePermissionWriteEncryptionRequired)));
    }
    const bool notifyAuthentication = has(m, AttributePermissionNotifyAuthenticationRequired);
    const bool notifyEncryption = has(m, AttributePermissionNotifyEncryptionRequired);
    if (p & CBCharacteristicPropertyNotify) {
        flags.push_back(secured("notify", notifyAuthentication, notifyEncryption));
    }
    if (p & CBCharacteristicPropertyIndicate) {
        flags.push_back(secured("indicate", notifyAuthentication, notifyEncryption));
    }
    if (p & CBCharacteristicPropertyAuthenticatedSignedWrites) {
        flags.push_back("authenticated-signed-writes");
    }
    if (p & CBCharacteristicPropertyExtendedProperties) {
        flags.push_back("extended-properties");
    }
    if (flags.empty()) {
        flags.push_back("read");
    }
    return flags;
}

std::vector<std::string> descriptorFlags(const radio::LocalDescriptor& d) {
    using namespace radio;
    std::vector<std::string> flags;
    const auto m = d.permissions;
    if (has(m, AttributePermissionReadable) || !has(m, AttributePermissionWriteable)) {
        flags.push_back(secured("read", has(m, AttributePermissionReadAuthenticationRequired),
                                has(m, AttributePermissionReadEncryptionRequired)));
    }
    if (has(m, AttributePermissionWriteable)) {
        flags.push_back(secured("write", has(m, AttributePermissionWriteAuthenticationRequired),
                                has(m, AttributePermissionWriteEncryptionRequired)));
    }
    return flags;
}

sdbus::Error attErrorReply(CBATTError code) {
    const auto value = static_cast<long>(code);
    switch (code) {
        case CBATTError::ReadNotPermitted:
        case CBATTError::WriteNotPermitted:
            // bluetoothd picks the code by the request: read or write not permitted.
            return sdbus::Error("org.bluez.Error.NotPermitted", "Not permitted");
        case CBATTError::RequestNotSupported:
            return sdbus::Error("org.bluez.Error.NotSupported", "Not supported");
        case CBATTError::InvalidOffset:
            return sdbus::Error("org.bluez.Error.InvalidOffset", "Invalid offset");
        case CBATTError::InsufficientAuthorization:
            return sdbus::Error("org.bluez.Error.NotAuthorized", "Not authorized");
        case CBATTError::InvalidAttributeValueLength:
            return sdbus::Error("org.bluez.Error.InvalidValueLength", "Invalid value length");
        default:
            break;
    }
    if (value >= 0x80 && value <= 0x9f) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02lx", static_cast<unsigned long>(value));
        return sdbus::Error("org.bluez.Error.Failed", text);
    }
    // Any name bluetoothd does not know is "unlikely error" to the central.
    return sdbus::Error("org.tavrin.Error.Unlikely", "Unlikely error");
}

GattApplication::GattApplication(sdbus::IConnection& connection, std::string root, const radio::LocalService& service,
                                 GattSink& sink)
    : sink_(sink), root_(std::move(root)), serviceId_(service.id) {
    rootObject_ = sdbus::createObject(connection, root_);
    rootObject_->addObjectManager();
    rootObject_->finishRegistration();

    const std::string servicePath = root_ + "/service";
    serviceObject_ = sdbus::createObject(connection, servicePath);
    const std::string uuid = uuidText(service.uuid);
    const bool primary = service.primary;
    serviceObject_->registerProperty(kService, "UUID", "s", [uuid](sdbus::PropertyGetReply& r) { r << uuid; });
    serviceObject_->registerProperty(kService, "Primary", "b", [primary](sdbus::PropertyGetReply& r) { r << primary; });
    serviceObject_->finishRegistration();

    // bluetoothd numbers the attributes in the order the listing of the application gives them, and the bus
    // library lists an object's children last made first: so they are made last first.
    const auto& characteristics = service.characteristics;
    for (size_t i = characteristics.size(); i-- > 0;) {
        const auto& c = characteristics[i];
        Attribute& a = attributes_[c.id];
        a.id = c.id;
        a.path = servicePath + "/char" + std::to_string(i);
        a.permissions = c.permissions;
        if (!(c.properties & CBCharacteristicPropertyRead)) {
            a.permissions &= ~radio::AttributePermissionReadable;
        }
        a.fixed = c.value;
        if (c.value) {
            a.value.assign(c.value->begin(), c.value->end());
        }
        a.object = sdbus::createObject(connection, a.path);
        exportCharacteristic(a, c, servicePath);
        for (size_t j = c.descriptors.size(); j-- > 0;) {
            const auto& d = c.descriptors[j];
            if (isClientConfiguration(d.uuid)) {
                continue;  // bluetoothd serves the client configuration itself
            }
            Attribute& da = attributes_[d.id];
            da.id = d.id;
            da.descriptor = true;
            da.path = a.path + "/desc" + std::to_string(j);
            da.permissions = d.permissions;
            da.fixed = d.value;
            if (d.value) {
                da.value.assign(d.value->begin(), d.value->end());
            }
            da.object = sdbus::createObject(connection, da.path);
            exportDescriptor(da, d, a.path);
        }
    }
}

GattApplication::~GattApplication() {
    // Leaves first, so that bluetoothd never finds a parent gone before its children.
    attributes_.clear();
    serviceObject_.reset();
    rootObject_.reset();
}

bool GattApplication::contains(radio::LocalAttributeId attribute) const {
    return attribute == serviceId_ || attributes_.count(attribute) != 0;
}

bool GattApplication::refused(sdbus::MethodCall& call) const {
    if (sink_.fromDaemon(call)) {
        return false;
    }
    answerError(call, sdbus::Error("org.bluez.Error.NotAuthorized", "Only bluetoothd may call this object"));
    return true;
}

void GattApplication::exportCharacteristic(Attribute& a, const radio::LocalCharacteristic& c,
                                           const std::string& servicePath) {
    auto& o = *a.object;
    Attribute* ap = &a;
    const std::string uuid = uuidText(c.uuid);
    const sdbus::ObjectPath service(servicePath);
    const std::vector<std::string> flags = characteristicFlags(c);
    o.registerProperty(kCharacteristic, "UUID", "s", [uuid](sdbus::PropertyGetReply& r) { r << uuid; });
    o.registerProperty(kCharacteristic, "Service", "o", [service](sdbus::PropertyGetReply& r) { r << service; });
    o.registerProperty(kCharacteristic, "Flags", "as", [flags](sdbus::PropertyGetReply& r) { r << flags; });
    o.registerProperty(kCharacteristic, "Value", "ay", [ap](sdbus::PropertyGetReply& r) { r << ap->value; });
    o.registerMethod(kCharacteristic, "ReadValue", "a{sv}", "ay", [this, ap](sdbus::MethodCall call) {
        if (!refused(call)) {
            readValue(*ap, call);
        }
    });
    o.registerMethod(kCharacteristic, "WriteValue", "aya{sv}", "", [this, ap](sdbus::MethodCall call) {
        if (!refused(call)) {
            writeValue(*ap, call);
        }
    });
    if (c.properties & (CBCharacteristicPropertyNotify | CBCharacteristicPropertyIndicate)) {
        o.registerProperty(kCharacteristic, "Notifying", "b", [ap](sdbus::PropertyGetReply& r) { r << ap->notifying; });
        o.registerMethod(kCharacteristic, "StartNotify", "", "", [this, ap](sdbus::MethodCall call) {
            if (!refused(call)) {
                setNotifying(*ap, call, true);
            }
        });
        o.registerMethod(kCharacteristic, "StopNotify", "", "", [this, ap](sdbus::MethodCall call) {
            if (!refused(call)) {
                setNotifying(*ap, call, false);
            }
        });
        // An indication's confirmation: the value arrived.
        o.registerMethod(kCharacteristic, "Confirm", "", "", [this](sdbus::MethodCall call) {
            if (!refused(call)) {
                answer(call);
            }
        });
    }
    o.finishRegistration();
}

void GattApplication::exportDescriptor(Attribute& a, const radio::LocalDescriptor& d,
                                       const std::string& characteristicPath) {
    auto& o = *a.object;
    Attribute* ap = &a;
    const std::string uuid = uuidText(d.uuid);
    const sdbus::ObjectPath characteristic(characteristicPath);
    const std::vector<std::string> flags = descriptorFlags(d);
    o.registerProperty(kDescriptor, "UUID", "s", [uuid](sdbus::PropertyGetReply& r) { r << uuid; });
    o.registerProperty(kDescriptor, "Characteristic", "o",
                       [characteristic](sdbus::PropertyGetReply& r) { r << characteristic; });
    o.registerProperty(kDescriptor, "Flags", "as", [flags](sdbus::PropertyGetReply& r) { r << flags; });
    o.registerProperty(kDescriptor, "Value", "ay", [ap](sdbus::PropertyGetReply& r) { r << ap->value; });
    o.registerMethod(kDescriptor, "ReadValue", "a{sv}", "ay", [this, ap](sdbus::MethodCall call) {
        if (!refused(call)) {
            readValue(*ap, call);
        }
    });
    o.registerMethod(kDescriptor, "WriteValue", "aya{sv}", "", [this, ap](sdbus::MethodCall call) {
        if (!refused(call)) {
            writeValue(*ap, call);
        }
    });
    o.finishRegistration();
}

void GattApplication::readValue(Attribute& a, sdbus::MethodCall& call) {
    std::map<std::string, sdbus::Variant> options;
    call >> options;
    const Options o = readOptions(options);
    if (!(a.permissions & radio::AttributePermissionReadable)) {
        return answerError(call, attErrorReply(CBATTError::ReadNotPermitted));
    }
    if (a.fixed) {
        if (o.offset > a.fixed->size()) {
            return answerError(call, attErrorReply(CBATTError::InvalidOffset));
        }
        const std::vector<uint8_t> part(a.fixed->begin() + o.offset, a.fixed->end());
        return answer(call, [&part](sdbus::MethodReply& r) { r << part; });
    }
    radio::ReadRequest request;
    request.central = sink_.centralAt(o.device);
    request.attribute = a.id;
    request.offset = o.offset;
    request.mtu = o.mtu;
    sink_.read(std::move(request), std::move(call));
}

void GattApplication::writeValue(Attribute& a, sdbus::MethodCall& call) {
    std::vector<uint8_t> value;
    std::map<std::string, sdbus::Variant> options;
    call >> value >> options;
    const Options o = readOptions(options);
    if (!(a.permissions & radio::AttributePermissionWriteable)) {
        return answerError(call, attErrorReply(CBATTError::WriteNotPermitted));
    }
    radio::WriteRequest request;
    request.central = sink_.centralAt(o.device);
    request.attribute = a.id;
    request.offset = o.offset;
    request.value.assign(value.begin(), value.end());
    request.mtu = o.mtu;
    // bluetoothd 5.66 names no type; it waits for the answer only to a write with response on a characteristic
    // without write-without-response, and sends the others without wanting a reply.
    request.withResponse = !call.doesntExpectReply() && (!o.type || *o.type != "command");
    sink_.write(std::move(request), std::move(call));
}

void GattApplication::setNotifying(Attribute& a, sdbus::MethodCall& call, bool on) {
    const bool changed = a.notifying != on;
    a.notifying = on;
    if (changed) {
        a.object->emitPropertiesChangedSignal(kCharacteristic, {"Notifying"});
    }
    answer(call);
    if (changed) {
        sink_.notifying(a.id, on);
    }
}

bool GattApplication::updateValue(radio::LocalAttributeId characteristic, const std::string& value) {
    auto it = attributes_.find(characteristic);
    if (it == attributes_.end() || it->second.descriptor) {
        return false;
    }
    Attribute& a = it->second;
    a.value.assign(value.begin(), value.end());
    a.object->emitPropertiesChangedSignal(kCharacteristic, {"Value"});
    return true;
}

std::vector<radio::LocalAttributeId> GattApplication::dropSubscriptions() {
    std::vector<radio::LocalAttributeId> dropped;
    for (auto& [id, a] : attributes_) {
        if (a.notifying) {
            a.notifying = false;
            a.object->emitPropertiesChangedSignal(kCharacteristic, {"Notifying"});
            dropped.push_back(id);
        }
    }
    return dropped;
}

}  // namespace platform::bluez::peripheral
