// Device objects: the Device1 object made on a device's first sighting, its address and alias, temporary
// devices forgotten when unseen (a device with a private address stays temporary, connected or not), and
// RemoveDevice.

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

// A random address whose two top bits are 00 (non-resolvable) or 01 (resolvable) is private; 11 is static.
bool isPrivate(const std::string& address, bool public_address) {
    if (public_address) {
        return false;
    }
    const int top = std::stoi(address.substr(0, 2), nullptr, 16);
    return (top >> 6) == 0 || (top >> 6) == 1;
}

}  // namespace

std::string devicePath(const std::string& address, const std::string& adapter) {
    std::string path = "/org/bluez/" + adapter + "/dev_" + address;
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
    const std::string path = devicePath(address, setup.adapter);
    if (devices_by_path.count(path) != 0) {
        // Two devices with one address: the first keeps it.
        return nullptr;
    }
    // A removed device of this address still holding its objects lets them go now (sightings come outside any
    // property Set).
    departed.erase(std::remove_if(departed.begin(), departed.end(),
                                  [&path](const std::unique_ptr<Device>& old) { return old->path == path; }),
                   departed.end());
    auto owned = std::make_unique<Device>();
    Device& d = *owned;
    d.key = r.device;
    d.address = address;
    d.path = path;
    auto known = setup.devices.find(r.device);
    const bool public_address = known != setup.devices.end() && known->second.public_address;
    d.private_address = isPrivate(address, public_address);
    d.node = std::make_unique<ObjectNode>(tree, path);
    ObjectNode& n = *d.node;
    Device* dp = &d;
    n.addProperty<std::string>(kDevice, "Address", address);
    n.addProperty<std::string>(kDevice, "AddressType", public_address ? "public" : "random");
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
    n.addProperty<sdbus::ObjectPath>(kDevice, "Adapter", sdbus::ObjectPath(adapterPath()));
    n.addProperty<bool>(kDevice, "ServicesResolved", false);
    n.addOptional<std::string>(kDevice, "Name");
    n.addOptional<int16_t>(kDevice, "RSSI");
    n.addOptional<int16_t>(kDevice, "TxPower");
    n.addOptional<std::map<uint16_t, sdbus::Variant>>(kDevice, "ManufacturerData");
    n.addOptional<std::map<std::string, sdbus::Variant>>(kDevice, "ServiceData");
    deviceMethod(n, dp, kDevice, "Connect", "", "", [this, dp](sdbus::MethodCall& call) { connect(*dp, call, false); });
    deviceMethod(n, dp, kDevice, "Disconnect", "", "", [this, dp](sdbus::MethodCall& call) { disconnect(*dp, call); });
    deviceMethod(n, dp, kDevice, "Pair", "", "", [this, dp](sdbus::MethodCall& call) { pairDevice(*dp, call); });
    deviceMethod(n, dp, kDevice, "CancelPairing", "", "",
                 [this, dp](sdbus::MethodCall& call) { cancelPairing(*dp, call); });
    devices_by_path[path] = &d;
    devices[d.key] = std::move(owned);
    return &d;
}

// A sighting, or the end of a link: a temporary device's time starts again.
void Impl::seen(Device& d) {
    if (!d.temporary) {
        return;
    }
    d.expires = Clock::now() + std::chrono::milliseconds(setup.timers.temporary_timeout_ms);
    if (!d.expiry_armed) {
        armExpiry(d);
    }
}

void Impl::armExpiry(Device& d) {
    d.expiry_armed = true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(d.expires - Clock::now());
    after(std::max(left, std::chrono::milliseconds(0)) + std::chrono::milliseconds(1),
          [key = d.key](Impl& self) { self.expire(key); });
}

// A temporary device unseen for the timeout goes, but never while connected: its time starts again when the
// link goes down.
void Impl::expire(const std::string& key) {
    Device* d = find(key);
    if (d == nullptr) {
        return;
    }
    d->expiry_armed = false;
    if (!d->temporary || d->connected) {
        return;
    }
    if (Clock::now() < d->expires) {
        return armExpiry(*d);
    }
    if (d->link == Link::Connecting) {
        central->cancelConnection(d->key);
    }
    removeDevice(*d, false);
}

// Powering off through the Powered property first removes the temporary devices, connected ones too.
void Impl::removeTemporaryDevices() {
    std::vector<Device*> gone;
    for (auto& [key, device] : devices) {
        if (device->temporary) {
            gone.push_back(device.get());
        }
    }
    for (Device* d : gone) {
        if (d->link != Link::Idle) {
            central->cancelConnection(d->key);
        }
        removeDevice(*d, false);
    }
}

void Impl::removeDeviceCall(sdbus::MethodCall& call) {
    sdbus::ObjectPath path;
    call >> path;
    auto it = devices_by_path.find(path);
    if (it == devices_by_path.end()) {
        return replyError(call, bluezError("DoesNotExist", "Does Not Exist"));
    }
    if (!powered) {
        return replyError(call, notReady());
    }
    Device& d = *it->second;
    if (!d.private_address) {
        d.temporary = true;
    }
    // The bond goes with the device.
    if (d.bonding) {
        replyError(d.bonding->call, bluezError("AuthenticationCanceled", "Authentication Canceled"));
        d.bonding.reset();
        central->cancelPairing(d.key);
    }
    if (d.paired) {
        d.paired = false;
        central->unpair(d.key, [](const NSError*) {});
    }
    if (d.linked()) {
        // Down first: answered with the Disconnect() calls, then the device goes.
        d.disconnect_calls.push_back(call);
        d.remove_when_down = true;
        if (d.link == Link::Connected) {
            beginDisconnect(d);
        }
        return;
    }
    if (d.link != Link::Idle) {
        cancelAttempt(d);
    }
    removeDevice(d, true);
    replyOk(call);
}

void Impl::removeDevice(Device& d, bool answer) {
    const sdbus::Error lost = linkLost();
    failRequests(d, answer ? &lost : nullptr);
    if (answer) {
        for (ConnectCall& c : d.connect_calls) {
            replyError(c.call, failed("br-connection-canceled"));
        }
    }
    d.connect_calls.clear();
    d.disconnect_calls.clear();
    d.departed = true;
    unexportTree(d);
    tree.remove(*d.node);
    devices_by_path.erase(d.path);
    auto it = devices.find(d.key);
    departed.push_back(std::move(it->second));
    devices.erase(it);
    // Its objects go at the next round: never inside the dispatch of a property Set.
    later([](Impl& self) { self.departed.clear(); });
}

}  // namespace bluezsim
