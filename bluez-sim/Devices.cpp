// Device objects: the Device1 object made on a device's first sighting, its address and alias, temporary
// devices swept when unseen, and RemoveDevice.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "SimulatorInternal.h"
#include "platform/sim/WorldConfig.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;

namespace {

constexpr auto kTemporaryLifetime = std::chrono::seconds(30);
constexpr auto kSweepPeriod = std::chrono::seconds(5);

}  // namespace

std::string devicePath(const std::string& address) {
    std::string path = kAdapterPath + "/dev_" + address;
    std::replace(path.begin(), path.end(), ':', '_');
    return path;
}

std::string Impl::addressFor(const AdvertisementReport& r) const {
    if (r.address) {
        std::string a = *r.address;
        for (char& c : a) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return a;
    }
    auto it = setup.devices.find(r.device);
    if (it != setup.devices.end()) {
        return it->second.address;
    }
    return platform::sim::defaultAddress(r.device);
}

std::string Impl::aliasOf(const Device& d) {
    if (d.alias) {
        return *d.alias;
    }
    if (d.name) {
        return *d.name;
    }
    std::string dashed = d.address;
    std::replace(dashed.begin(), dashed.end(), ':', '-');
    return dashed;
}

Impl::Device* Impl::find(const std::string& key) {
    auto it = devices.find(key);
    return it == devices.end() ? nullptr : it->second.get();
}

Impl::Device* Impl::createDevice(const AdvertisementReport& r) {
    const std::string address = addressFor(r);
    const std::string path = devicePath(address);
    if (devices_by_path.count(path) != 0) {
        // Two devices with one address: the first keeps it.
        return nullptr;
    }
    auto owned = std::make_unique<Device>();
    Device& d = *owned;
    d.key = r.device;
    d.address = address;
    d.path = path;
    d.node = std::make_unique<ObjectNode>(tree, path);
    ObjectNode& n = *d.node;
    Device* dp = &d;
    n.addProperty<std::string>(kDevice, "Address", address);
    n.addProperty<std::string>(kDevice, "AddressType", "random");
    n.addProperty<std::string>(kDevice, "Alias", aliasOf(d), [dp](sdbus::PropertySetCall& call) {
        std::string alias;
        call >> alias;
        dp->alias = alias.empty() ? std::nullopt : std::optional<std::string>(alias);
        dp->node->set(kDevice, "Alias", aliasOf(*dp));
    });
    n.addProperty<bool>(kDevice, "Paired", false);
    n.addProperty<bool>(kDevice, "Bonded", false);
    n.addProperty<bool>(kDevice, "Trusted", false, [dp](sdbus::PropertySetCall& call) {
        bool value = false;
        call >> value;
        dp->node->set(kDevice, "Trusted", value);
    });
    n.addProperty<bool>(kDevice, "Blocked", false, [dp](sdbus::PropertySetCall& call) {
        bool value = false;
        call >> value;
        dp->node->set(kDevice, "Blocked", value);
    });
    n.addProperty<bool>(kDevice, "LegacyPairing", false);
    n.addProperty<bool>(kDevice, "Connected", false);
    n.addProperty<std::vector<std::string>>(kDevice, "UUIDs", {});
    n.addProperty<sdbus::ObjectPath>(kDevice, "Adapter", sdbus::ObjectPath(kAdapterPath));
    n.addProperty<bool>(kDevice, "ServicesResolved", false);
    n.addOptional<std::string>(kDevice, "Name");
    n.addOptional<int16_t>(kDevice, "RSSI");
    n.addOptional<int16_t>(kDevice, "TxPower");
    n.addOptional<std::map<uint16_t, sdbus::Variant>>(kDevice, "ManufacturerData");
    n.addOptional<std::map<std::string, sdbus::Variant>>(kDevice, "ServiceData");
    method(n, kDevice, "Connect", "", "", [this, dp](sdbus::MethodCall& call) { connect(*dp, call, false); });
    method(n, kDevice, "Disconnect", "", "", [this, dp](sdbus::MethodCall& call) { disconnect(*dp, call); });
    method(n, kDevice, "Pair", "", "", [this, dp](sdbus::MethodCall& call) { connect(*dp, call, true); });
    method(n, kDevice, "CancelPairing", "", "",
           [this](sdbus::MethodCall& call) { replyError(call, bluezError("DoesNotExist", "Does Not Exist")); });
    devices_by_path[path] = &d;
    devices[d.key] = std::move(owned);
    return &d;
}

// Temporary devices are forgotten 30 s after they were last seen.
void Impl::armSweep() {
    if (sweep_armed) {
        return;
    }
    sweep_armed = true;
    loop.after(kSweepPeriod, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->sweep();
        }
    });
}

void Impl::sweep() {
    sweep_armed = false;
    const auto now = Clock::now();
    std::vector<Device*> gone;
    for (auto& [key, device] : devices) {
        if (device->temporary && device->link == Link::Idle && now - device->last_seen > kTemporaryLifetime) {
            gone.push_back(device.get());
        }
    }
    for (Device* d : gone) {
        removeDevice(*d);
    }
    if (!devices.empty()) {
        armSweep();
    }
}

void Impl::removeDeviceCall(sdbus::MethodCall& call) {
    sdbus::ObjectPath path;
    call >> path;
    auto it = devices_by_path.find(path);
    if (it == devices_by_path.end()) {
        return replyError(call, bluezError("DoesNotExist", "Does Not Exist"));
    }
    Device& d = *it->second;
    if (d.linked()) {
        // Down first; the reply follows the removal.
        d.remove_calls.push_back(call);
        if (d.link == Link::Connected) {
            beginDisconnect(d);
        }
        return;
    }
    if (d.link != Link::Idle) {
        cancelAttempt(d);
    }
    removeDevice(d);
    replyOk(call);
}

// Unexports a device and its attributes, and forgets it.
void Impl::removeDevice(Device& d) {
    failRequests(d, linkLost());
    for (ConnectCall& c : d.connect_calls) {
        replyError(c.call, failed("br-connection-canceled"));
    }
    d.connect_calls.clear();
    removeTree(d);
    tree.remove(*d.node);
    devices_by_path.erase(d.path);
    const std::string key = d.key;
    devices.erase(key);
}

}  // namespace bluezsim
