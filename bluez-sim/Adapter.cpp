// The adapter: hci0 exported once the radio tells its state, removed when the controller goes, its Adapter1
// properties and methods, and power switched by the world or by a client's Set of Powered, in bluetoothd's
// order: temporary devices go, PowerState turns transitional, the links go down, the Set is answered, and
// then the new settings (PowerState, Powered, the end of discovery) are signalled.

#include <string>
#include <vector>

#include "SimulatorInternal.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;

void Impl::onState(CBManagerState state) {
    if (state == CBManagerState::Unknown) {
        return;
    }
    state_known = true;
    const bool present = state == CBManagerState::PoweredOn || state == CBManagerState::PoweredOff ||
                         state == CBManagerState::Unauthorized;
    if (!present) {
        // No controller (unsupported), or it went away for a while (resetting).
        removeAdapter();
        return;
    }
    const auto authorization = radio.authorization();
    // A process the radio keeps out is refused everything, as a bus policy that keeps a user from bluetoothd
    // refuses it.
    tree.refuse(state == CBManagerState::Unauthorized || authorization == platform::CBManagerAuthorization::Denied ||
                authorization == platform::CBManagerAuthorization::Restricted);
    const bool on = state != CBManagerState::PoweredOff;
    if (!adapter) {
        exportAdapter(on);
    } else if (on != powered && power_target != on) {
        setPowered(on);
    }
}

void Impl::exportAdapter(bool on) {
    powered = on;
    power_state = on ? "on" : "off";
    adapter = std::make_unique<ObjectNode>(tree, adapterPath());
    ObjectNode& a = *adapter;
    a.addProperty<std::string>(kAdapter, "Address", setup.adapter_address);
    a.addProperty<std::string>(kAdapter, "AddressType", "public");
    a.addProperty<std::string>(kAdapter, "Name", kAdapterName);
    a.addProperty<std::string>(kAdapter, "Alias", adapter_alias, [this](sdbus::PropertySetCall& call) {
        std::string alias;
        call >> alias;
        adapter_alias = alias.empty() ? kAdapterName : alias;
        adapter->set(kAdapter, "Alias", adapter_alias);
    });
    a.addProperty<uint32_t>(kAdapter, "Class", 0);
    a.addProperty<bool>(kAdapter, "Powered", on, [this](sdbus::PropertySetCall& call) {
        bool value = false;
        call >> value;
        setPoweredByClient(value);
    });
    // bluetoothd serves it with its experimental interfaces (-E).
    a.addProperty<std::string>(kAdapter, "PowerState", power_state);
    a.addProperty<bool>(kAdapter, "Discoverable", discoverable, [this](sdbus::PropertySetCall& call) {
        call >> discoverable;
        adapter->set(kAdapter, "Discoverable", discoverable);
    });
    a.addProperty<uint32_t>(kAdapter, "DiscoverableTimeout", discoverable_timeout,
                            [this](sdbus::PropertySetCall& call) {
                                call >> discoverable_timeout;
                                adapter->set(kAdapter, "DiscoverableTimeout", discoverable_timeout);
                            });
    a.addProperty<bool>(kAdapter, "Pairable", pairable, [this](sdbus::PropertySetCall& call) {
        call >> pairable;
        adapter->set(kAdapter, "Pairable", pairable);
    });
    a.addProperty<uint32_t>(kAdapter, "PairableTimeout", pairable_timeout, [this](sdbus::PropertySetCall& call) {
        call >> pairable_timeout;
        adapter->set(kAdapter, "PairableTimeout", pairable_timeout);
    });
    a.addProperty<bool>(kAdapter, "Discovering", false);
    a.addProperty<std::vector<std::string>>(
        kAdapter, "UUIDs", {"00001800-0000-1000-8000-00805f9b34fb", "00001801-0000-1000-8000-00805f9b34fb"});
    a.addProperty<std::vector<std::string>>(kAdapter, "Roles", {"central", "peripheral", "central-peripheral"});
    method(a, kAdapter, "StartDiscovery", "", "", [this](sdbus::MethodCall& call) { startDiscovery(call); });
    method(a, kAdapter, "StopDiscovery", "", "", [this](sdbus::MethodCall& call) { stopDiscovery(call); });
    method(a, kAdapter, "SetDiscoveryFilter", "a{sv}", "",
           [this](sdbus::MethodCall& call) { setDiscoveryFilter(call); });
    method(a, kAdapter, "GetDiscoveryFilters", "", "as", [this](sdbus::MethodCall& call) {
        replyValue(call, std::vector<std::string>{"UUIDs", "RSSI", "Pathloss", "Transport", "DuplicateData",
                                                  "Discoverable", "Pattern"});
    });
    method(a, kAdapter, "RemoveDevice", "o", "", [this](sdbus::MethodCall& call) { removeDeviceCall(call); });
    tree.add(a);
    central->bondedDevices([weak = weak_from_this(), &loop = loop](
                               const platform::NSError*, const std::vector<platform::radio::BondedDevice>& list) {
        loop.post([weak, list] {
            if (auto self = weak.lock()) {
                self->exportBondedDevices(list);
            }
        });
    });
}

void Impl::removeAdapter() {
    if (!adapter) {
        return;
    }
    if (scanning) {
        central->stopScan();
        scanning = false;
    }
    sessions.clear();
    remerge();
    std::vector<std::string> keys;
    for (const auto& [key, device] : devices) {
        keys.push_back(key);
    }
    for (const std::string& key : keys) {
        Device& d = *devices.at(key);
        if (d.link != Link::Idle) {
            central->cancelConnection(d.key);
        }
        dropLink(d, true);
        removeDevice(d, true);
    }
    tree.remove(*adapter);
    adapter.reset();
    powered = false;
    power_target.reset();
    discovering = false;
}

void Impl::setPowerState(const std::string& state) {
    if (state != power_state) {
        power_state = state;
        adapter->set(kAdapter, "PowerState", state);
    }
}

// The controller took every link down: each ends without a word, and removals that waited for it finish.
void Impl::dropAllLinks() {
    std::vector<Device*> all;
    for (auto& [key, device] : devices) {
        all.push_back(device.get());
    }
    for (Device* d : all) {
        dropLink(*d, true);
        finishRemoval(*d);
    }
}

// The radio switched on or off by itself: the links went without a word.
void Impl::setPowered(bool on) {
    if (!on) {
        scanning = false;
        dropAllLinks();
    }
    poweredSettled(on);
}

// A client's Set of Powered. The Set is answered as this returns; what the controller's new settings bring is
// signalled after that.
void Impl::setPoweredByClient(bool on) {
    if (power_target) {
        throw sdbus::Error("org.bluez.Error.Busy", "Busy");
    }
    if (on == powered) {
        return;
    }
    power_target = on;
    if (!on) {
        removeTemporaryDevices();
    }
    setPowerState(on ? "off-enabling" : "on-disabling");
    set_power(on);
    if (!on) {
        // The controller takes the links down before it reports itself off.
        scanning = false;
        dropAllLinks();
    }
    later([on](Impl& self) {
        self.power_target.reset();
        if (self.adapter && on != self.powered) {
            self.poweredSettled(on);
        }
    });
}

// The controller's new settings: PowerState and Powered, and on power-off the end of every discovery session
// and filter.
void Impl::poweredSettled(bool on) {
    powered = on;
    setPowerState(on ? "on" : "off");
    adapter->set(kAdapter, "Powered", on);
    if (!on) {
        endDiscoveries();
    }
}

void Impl::endDiscoveries() {
    scanning = false;
    sessions.clear();
    remerge();
    discoveryStopped();
}

}  // namespace bluezsim
