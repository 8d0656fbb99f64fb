// The simulator's public face and its plumbing: the radio session it opens and whose events it hands to the
// loop, replies (signals flushed first), the access check every method passes, and clients leaving the bus.
// The concerns live in their own files; SimulatorInternal.h holds what they share.

#include "BluezSimulator.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SimulatorInternal.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;

void Impl::replyOk(const sdbus::MethodCall& call) {
    tree.flush();
    try {
        call.createReply().send();
    } catch (const sdbus::Error&) {
        // The caller is gone or asked for no reply.
    }
}

void Impl::replyError(const sdbus::MethodCall& call, const sdbus::Error& error) {
    tree.flush();
    try {
        call.createErrorReply(error).send();
    } catch (const sdbus::Error&) {
    }
}

// A method of ours: refused for a process without permission, as the bus policy would.
void Impl::method(ObjectNode& node, const std::string& iface, const std::string& name, const std::string& in,
                  const std::string& out, std::function<void(sdbus::MethodCall&)> body) {
    node.addMethod(iface, name, in, out, [this, body = std::move(body)](sdbus::MethodCall call) {
        try {
            tree.checkAllowed();
        } catch (const sdbus::Error& refused) {
            replyError(call, refused);
            return;
        }
        body(call);
    });
}

void Impl::deviceMethod(ObjectNode& node, Device* d, const std::string& iface, const std::string& name,
                        const std::string& in, const std::string& out, std::function<void(sdbus::MethodCall&)> body) {
    method(node, iface, name, in, out, [this, d, path = node.path(), body = std::move(body)](sdbus::MethodCall& call) {
        if (d->departed) {
            return replyError(call, unknownObject(path));
        }
        body(call);
    });
}

void Impl::later(std::function<void(Impl&)> task) {
    loop.post([weak = weak_from_this(), task = std::move(task)] {
        if (auto self = weak.lock()) {
            task(*self);
        }
    });
}

void Impl::after(std::chrono::milliseconds delay, std::function<void(Impl&)> task) {
    loop.after(delay, [weak = weak_from_this(), task = std::move(task)] {
        if (auto self = weak.lock()) {
            task(*self);
        }
    });
}

// --- Radio events, handed to the loop. ---

class Impl::Listener : public platform::radio::RadioCentralEvents {
  public:
    Listener(EventLoop& loop, Impl* impl) : loop_(loop), impl_(impl) {}
    void radioStateChanged(CBManagerState state) override {
        loop_.post([impl = impl_, state] { impl->onState(state); });
    }
    void radioDiscovered(const std::vector<platform::radio::Sighting>& batch) override {
        std::vector<platform::radio::AdvertisementReportPtr> reports;
        reports.reserve(batch.size());
        for (const auto& sighting : batch) {
            reports.push_back(sighting.report->shared_from_this());
        }
        loop_.post([impl = impl_, reports = std::move(reports)] {
            for (const auto& report : reports) {
                impl->onDiscovered(*report);
            }
        });
    }
    void radioConnected(const std::string& device) override {
        loop_.post([impl = impl_, device] { impl->onConnected(device); });
    }
    void radioConnectFailed(const std::string& device, const NSError& /*error*/) override {
        loop_.post([impl = impl_, device] { impl->onConnectFailed(device); });
    }
    void radioDisconnected(const std::string& device, const NSError* error) override {
        loop_.post([impl = impl_, device, lost = error != nullptr] { impl->onDisconnected(device, lost); });
    }
    void radioNotified(const std::string& device, AttributeHandle characteristic, const std::string& value) override {
        loop_.post([impl = impl_, device, characteristic, value] { impl->onNotified(device, characteristic, value); });
    }
    void radioPaired(const std::string& device) override {
        loop_.post([impl = impl_, device] { impl->onPaired(device); });
    }

  private:
    EventLoop& loop_;
    Impl* impl_;  // outlives the session: the simulator closes it before it goes
};

void Impl::start() {
    if (!setup.export_root) {
        listener = std::make_shared<Listener>(loop, this);
        central = radio.openCentral(listener);
        onState(central->state());
        return;
    }
    bluez = std::make_unique<ObjectNode>(tree, "/org/bluez");
    method(*bluez, kAgentManager, "RegisterAgent", "os", "", [this](sdbus::MethodCall& call) { registerAgent(call); });
    method(*bluez, kAgentManager, "UnregisterAgent", "o", "",
           [this](sdbus::MethodCall& call) { unregisterAgent(call); });
    method(*bluez, kAgentManager, "RequestDefaultAgent", "o", "",
           [this](sdbus::MethodCall& call) { requestDefaultAgent(call); });
    // Clients register profiles at start; no profile of theirs is ever used here.
    const auto accept = [this](sdbus::MethodCall& call) { replyOk(call); };
    method(*bluez, kProfileManager, "RegisterProfile", "osa{sv}", "", accept);
    method(*bluez, kProfileManager, "UnregisterProfile", "o", "", accept);
    tree.add(*bluez);

    listener = std::make_shared<Listener>(loop, this);
    central = radio.openCentral(listener);
    onState(central->state());
}

void Impl::close() {
    if (central) {
        central->close();
    }
    loop.discardPosted();
}

void Impl::clientGone(const std::string& client) {
    removeAgent(client);
    // A Pair() whose caller left is cancelled, as bluetoothd's watch on the requestor does.
    for (auto& [key, device] : devices) {
        if (device->bonding && device->bonding->call.getSender() == client) {
            device->bonding.reset();
            central->cancelPairing(device->key);
        }
    }
    auto it = sessions.find(client);
    if (it != sessions.end()) {
        const bool was_discovering = it->second.discovering;
        sessions.erase(it);
        remerge();
        if (was_discovering && adapter) {
            stopScanIfUnused();
        }
    }
    for (auto& [key, device] : devices) {
        for (auto& [handle, c] : device->characteristics) {
            if (c->sessions.count(client) != 0) {
                endNotifySession(*device, *c, client);
            }
            // An acquired socket's registration ends with its client; the socket lasts until it is closed.
            if (c->notify_acquired && c->notify_acquired->owner == client && c->notify_acquired->registered) {
                c->notify_acquired->registered = false;
                c->notify_acquired->call.reset();
                if (c->registered() == 0 && (c->subscribed || c->subscribing)) {
                    unsubscribe(*device, *c);
                }
            }
        }
    }
}

std::vector<Setup> setupsOf(const platform::sim::WorldConfig& world) {
    Setup common;
    for (const auto& p : world.peripherals) {
        common.devices[p.identifier] = {platform::sim::deviceAddress(p),
                                        p.address_type == platform::sim::AddressType::Public,
                                        p.connection.connected_signal == platform::sim::ConnectedSignal::Silent};
    }
    common.timers = world.bluetoothd;
    common.faults = world.adapter.faults;
    if (world.adapters.empty()) {
        return {common};
    }
    std::vector<Setup> setups;
    for (const auto& controller : world.adapters) {
        Setup setup = common;
        setup.adapter = controller.name;
        setup.adapter_address = controller.address;
        setup.export_root = setups.empty();
        setup.heard.emplace();
        for (const auto& p : world.peripherals) {
            if (!p.heard_by ||
                std::find(p.heard_by->begin(), p.heard_by->end(), controller.name) != p.heard_by->end()) {
                setup.heard->insert(p.identifier);
            }
        }
        setups.push_back(std::move(setup));
    }
    return setups;
}

Setup setupOf(const platform::sim::WorldConfig& world) {
    return setupsOf(world).front();
}

BluezSimulator::BluezSimulator(EventLoop& loop, ObjectTree& tree, platform::radio::Radio& radio, Setup setup,
                               std::function<void(bool on)> set_power)
    : impl_(std::make_shared<Impl>(loop, tree, radio, std::move(setup), std::move(set_power))) {}

BluezSimulator::~BluezSimulator() {
    impl_->close();
}

void BluezSimulator::shareAgentsOf(BluezSimulator& host) {
    impl_->agent_host = host.impl_;
    host.impl_->agent_guests.push_back(impl_);
}

void BluezSimulator::start() {
    impl_->start();
}

bool BluezSimulator::stateKnown() const {
    return impl_->state_known;
}

void BluezSimulator::clientGone(const std::string& unique_name) {
    impl_->clientGone(unique_name);
}

}  // namespace bluezsim
