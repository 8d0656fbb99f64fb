// An advertisement's properties in bluetoothd's terms: Type, LocalName, ServiceUUIDs, ManufacturerData (one entry
// per company), ServiceData, Includes ["tx-power"], Discoverable and Duration; absent fields are left out.

#include "Advertisement.h"

#include <cstdint>
#include <map>
#include <vector>

#include "PeripheralBus.h"

namespace platform::bluez::peripheral {

namespace {
const char* const kAdvertisement = "org.bluez.LEAdvertisement1";

std::vector<uint8_t> bytes(const std::string& data, size_t from = 0) {
    return std::vector<uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(from), data.end());
}
}  // namespace

Advertisement::Advertisement(sdbus::IConnection& connection, std::string path, const radio::LocalAdvertisement& data,
                             std::function<bool(const sdbus::MethodCall&)> fromDaemon, std::function<void()> released)
    : path_(std::move(path)), object_(sdbus::createObject(connection, path_)) {
    auto& o = *object_;
    const std::string type = data.connectable ? "peripheral" : "broadcast";
    o.registerProperty(kAdvertisement, "Type", "s", [type](sdbus::PropertyGetReply& r) { r << type; });
    if (data.connectable) {
        // bluetoothd refuses flags on a broadcaster's advertisement.
        const bool discoverable = data.discoverable;
        o.registerProperty(kAdvertisement, "Discoverable", "b",
                           [discoverable](sdbus::PropertyGetReply& r) { r << discoverable; });
    }
    if (data.localName && !data.localName->empty()) {
        const std::string name = *data.localName;
        o.registerProperty(kAdvertisement, "LocalName", "s", [name](sdbus::PropertyGetReply& r) { r << name; });
    }
    if (!data.serviceUUIDs.empty()) {
        std::vector<std::string> uuids;
        for (const auto& uuid : data.serviceUUIDs) {
            uuids.push_back(uuidText(uuid));
        }
        o.registerProperty(kAdvertisement, "ServiceUUIDs", "as", [uuids](sdbus::PropertyGetReply& r) { r << uuids; });
    }
    std::map<uint16_t, sdbus::Variant> manufacturer;
    for (const auto& entry : data.manufacturerData) {
        if (entry.size() >= 2) {
            const auto company =
                static_cast<uint16_t>(static_cast<uint8_t>(entry[0]) | (static_cast<uint8_t>(entry[1]) << 8));
            manufacturer[company] = sdbus::Variant(bytes(entry, 2));
        }
    }
    if (!manufacturer.empty()) {
        o.registerProperty(kAdvertisement, "ManufacturerData", "a{qv}",
                           [manufacturer](sdbus::PropertyGetReply& r) { r << manufacturer; });
    }
    std::map<std::string, sdbus::Variant> service;
    for (const auto& [uuid, value] : data.serviceData) {
        service[uuidText(uuid)] = sdbus::Variant(bytes(value));
    }
    if (!service.empty()) {
        o.registerProperty(kAdvertisement, "ServiceData", "a{sv}",
                           [service](sdbus::PropertyGetReply& r) { r << service; });
    }
    if (data.includeTxPower) {
        const std::vector<std::string> includes{"tx-power"};
        o.registerProperty(kAdvertisement, "Includes", "as", [includes](sdbus::PropertyGetReply& r) { r << includes; });
    }
    if (data.turnSeconds) {
        const uint16_t seconds = *data.turnSeconds;
        o.registerProperty(kAdvertisement, "Duration", "q", [seconds](sdbus::PropertyGetReply& r) { r << seconds; });
    }
    o.registerMethod(kAdvertisement, "Release", "", "",
                     [fromDaemon = std::move(fromDaemon), released = std::move(released)](sdbus::MethodCall call) {
                         if (!fromDaemon(call)) {
                             return answerError(call, sdbus::Error("org.bluez.Error.NotAuthorized",
                                                                   "Only bluetoothd may call this object"));
                         }
                         answer(call);
                         released();
                     });
    o.finishRegistration();
}

}  // namespace platform::bluez::peripheral
