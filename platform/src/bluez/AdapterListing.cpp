// The adapters bluetoothd has, listed once and synchronously: how many adapter handles a program gets.

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "BluezObjects.h"
#include "BluezRadio.h"

namespace platform::bluez {

namespace {

constexpr auto kListingLimit = std::chrono::seconds(2);
const char* const kAdapterInterfaceName = "org.bluez.Adapter1";

}  // namespace

std::vector<AdapterListing> listAdapters() {
    using Properties = std::map<std::string, sdbus::Variant>;
    std::vector<AdapterListing> adapters;
    try {
        auto connection = sdbus::createSystemBusConnection();
        // Asked first, so that a machine without bluetoothd is not kept waiting on bus activation.
        auto bus = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        bool owned = false;
        bus->callMethod("NameHasOwner")
            .onInterface("org.freedesktop.DBus")
            .withTimeout(kListingLimit)
            .withArguments(std::string("org.bluez"))
            .storeResultsTo(owned);
        if (!owned) {
            return {};
        }
        auto root = sdbus::createProxy(*connection, "org.bluez", "/");
        std::map<sdbus::ObjectPath, std::map<std::string, Properties>> objects;
        root->callMethod("GetManagedObjects")
            .onInterface("org.freedesktop.DBus.ObjectManager")
            .withTimeout(kListingLimit)
            .storeResultsTo(objects);
        for (const auto& [path, interfaces] : objects) {
            const auto adapter = interfaces.find(kAdapterInterfaceName);
            // Only bluetoothd's own tree counts, as for the radio itself.
            if (adapter == interfaces.end() || path.rfind("/org/bluez/", 0) != 0) {
                continue;
            }
            AdapterListing entry;
            entry.name = lastElement(path);
            const Properties& properties = adapter->second;
            if (const auto a = properties.find("Address");
                a != properties.end() && a->second.containsValueOfType<std::string>()) {
                entry.address = a->second.get<std::string>();
            }
            if (const auto p = properties.find("Powered");
                p != properties.end() && p->second.containsValueOfType<bool>()) {
                entry.powered = p->second.get<bool>();
            }
            adapters.push_back(std::move(entry));
        }
    } catch (const sdbus::Error&) {
        return {};
    }
    std::sort(adapters.begin(), adapters.end(),
              [](const AdapterListing& a, const AdapterListing& b) { return naturalLess(a.name, b.name); });
    return adapters;
}

}  // namespace platform::bluez
