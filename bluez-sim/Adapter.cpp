// The adapter: hci0 exported once the radio tells its state, removed when the controller goes, its Adapter1
// properties and methods, and power switched by the world or by a client's Set of Powered.

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
    } else if (on != powered) {
        setPowered(on);
    }
}

void Impl::exportAdapter(bool on) {
    powered = on;
    adapter = std::make_unique<ObjectNode>(tree, kAdapterPath);
    ObjectNode& a = *adapter;
    a.addProperty<std::string>(kAdapter, "Address", kAdapterAddress);
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
        if (value != powered) {
            set_power(value);
            setPowered(value);
        }
    });
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
        removeDevice(d);
    }
    tree.remove(*adapter);
    adapter.reset();
    powered = false;
    discovering = false;
}

void Impl::setPowered(bool on) {
    if (!on) {
        // The radio has dropped the scan and every link without a word; discovery sessions and filters end.
        scanning = false;
        sessions.clear();
        remerge();
        if (discovering) {
            discovering = false;
            adapter->set(kAdapter, "Discovering", false);
        }
        for (auto& [key, device] : devices) {
            dropLink(*device, true);
            forgetSighting(*device);
            if (!device->remove_calls.empty()) {
                // Not here: this may run inside a property Set, where no object may go.
                loop.post([weak = weak_from_this(), key = key] {
                    auto self = weak.lock();
                    Device* d = self ? self->find(key) : nullptr;
                    if (d != nullptr && d->link == Link::Idle) {
                        self->finishRemoval(*d);
                    }
                });
            }
        }
    }
    powered = on;
    adapter->set(kAdapter, "Powered", on);
}

}  // namespace bluezsim
