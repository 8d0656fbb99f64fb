// Links: a central's connect and cancel, bluetoothd's Connect shared by the centrals that want one device, and
// the ways a link ends.

#include "Core.h"

namespace platform::bluez {

void Core::connect(uint64_t id, const std::string& address) {
    const auto it = centrals_.find(id);
    if (it == centrals_.end()) {
        return;
    }
    auto& central = it->second;
    const auto link = central.links.find(address);
    if (link != central.links.end() && link->second.phase == Phase::Connected) {
        central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioConnected(address); });
        return;
    }
    if (link != central.links.end() && link->second.phase == Phase::Connecting) {
        return;
    }
    if (!byAddress_.count(address)) {
        const NSError error = unknownDeviceError();
        central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioConnectFailed(address, error); });
        return;
    }
    // A disconnection of this central's still under way is superseded, silently, as the platform's is.
    central.links[address].phase = Phase::Connecting;
    auto& rt = runtime_[address];
    if (rt.disconnecting) {
        rt.connectWhenDown = true;
    } else if (!rt.connectInFlight) {
        rt.connectRetries = 0;
        startConnect(address);
    }
}

void Core::cancelConnection(uint64_t id, const std::string& address) {
    const auto it = centrals_.find(id);
    if (it == centrals_.end()) {
        return;
    }
    auto& central = it->second;
    const auto link = central.links.find(address);
    if (link == central.links.end()) {
        return;
    }
    const bool others = anyLink(address, id);
    switch (link->second.phase) {
        case Phase::Connecting:
            central.links.erase(link);
            if (others) {
                central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioDisconnected(address, nullptr); });
                return;
            }
            if (auto& rt = runtime_[address]; rt.awaitingOther || rt.connectWhenDown) {
                // Nothing of ours is under way at bluetoothd: another program's attempt, or a link still going
                // down, is not ours to cancel.
                rt.awaitingOther = false;
                rt.connectWhenDown = false;
                rt.connectInFlight = false;
                central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioDisconnected(address, nullptr); });
                return;
            }
            // Disconnect() cancels bluetoothd's pending Connect; its late answer is stale, and a connect asked
            // for again sends a Connect of its own.
            runtime_[address].connectInFlight = false;
            disconnectDevice(address, [id, address](Core& core, const NSError*) REQUIRES(core.mutex_) {
                const auto c = core.centrals_.find(id);
                if (c != core.centrals_.end() && !c->second.links.count(address)) {
                    c->second.outbox->event(
                        [&](radio::RadioCentralEvents& l) { l.radioDisconnected(address, nullptr); });
                }
            });
            return;
        case Phase::Connected:
            if (others) {
                finishLink(id, address, nullptr, lostError("The device was disconnected."));
                return;
            }
            link->second.phase = Phase::Disconnecting;
            disconnectDevice(address, [id, address](Core& core, const NSError* error) REQUIRES(core.mutex_) {
                Link* current = core.findLink(id, address);
                if (!current || current->phase != Phase::Disconnecting) {
                    return;
                }
                if (error) {
                    current->phase = Phase::Connected;  // the link is still up
                    return;
                }
                const DeviceObject* device = core.deviceByAddress(address);
                if (!device || !device->connected) {
                    core.finishLink(id, address, nullptr, lostError("The device was disconnected."));
                }
                // Otherwise Connected=false follows the reply.
            });
            return;
        case Phase::Disconnecting:
            return;
    }
}

void Core::setLinkLimits(uint64_t id, const std::string& address, const radio::LinkLimits& limits) {
    if (centrals_.count(id)) {
        limits_[{id, address}] = limits;
    }
}

radio::LinkLimits Core::limitsFor(uint64_t id, const std::string& address) const {
    const auto it = limits_.find({id, address});
    return it == limits_.end() ? radio::LinkLimits{} : it->second;
}

Clock::duration Core::connectTimeout(const std::string& address) const {
    Clock::duration longest = kConnectTimeout - kConnectBackstop;
    for (const auto& [id, central] : centrals_) {
        if (central.links.count(address)) {
            longest = std::max<Clock::duration>(longest, limitsFor(id, address).connection);
        }
    }
    return longest + kConnectBackstop;
}

bool Core::anyLinkConnecting(const std::string& address) const {
    for (const auto& [id, central] : centrals_) {
        const auto link = central.links.find(address);
        if (link != central.links.end() && link->second.phase == Phase::Connecting) {
            return true;
        }
    }
    return false;
}

Core::Link* Core::findLink(uint64_t id, const std::string& address) {
    const auto c = centrals_.find(id);
    if (c == centrals_.end()) {
        return nullptr;
    }
    const auto l = c->second.links.find(address);
    return l == c->second.links.end() ? nullptr : &l->second;
}

bool Core::linkUp(uint64_t id, const std::string& address) {
    const Link* link = findLink(id, address);
    return link && link->phase == Phase::Connected;
}

bool Core::anyLink(const std::string& address, uint64_t except) const {
    for (const auto& [id, central] : centrals_) {
        if (id != except && central.links.count(address)) {
            return true;
        }
    }
    return false;
}

void Core::startConnect(const std::string& address) {
    auto& rt = runtime_[address];
    rt.connectInFlight = true;
    const uint64_t callId = ++nextCall_;
    rt.connectCall = callId;
    callBluez(byAddress_.at(address), kDeviceInterface, "Connect", {}, connectTimeout(address),
              [address, callId](Core& core, BusMessage*, const NSError* error)
                  REQUIRES(core.mutex_) { core.connectAnswered(address, callId, error); });
}

void Core::connectAnswered(const std::string& address, uint64_t callId, const NSError* error) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end() || rt->second.connectCall != callId || !rt->second.connectInFlight) {
        return;  // stale: the attempt was abandoned
    }
    if (error && error->domain == "org.bluez.Error.Failed" && error->description == "Operation already in progress") {
        // Another program is connecting the device: that connection is this one's too, once Connected turns true.
        trace_("link {}: another program is connecting it", address);
        rt->second.awaitingOther = true;
        loop_.after(connectTimeout(address), [address, callId, failure = *error](Core& core) REQUIRES(core.mutex_) {
            const auto waiting = core.runtime_.find(address);
            if (waiting != core.runtime_.end() && waiting->second.awaitingOther &&
                waiting->second.connectCall == callId) {
                waiting->second.awaitingOther = false;
                core.connectAnswered(address, callId, &failure);
            }
        });
        return;
    }
    rt->second.connectInFlight = false;
    if (error && isTransientConnectFailure(*error) && rt->second.connectRetries < kConnectRetries &&
        anyLinkConnecting(address)) {
        // The controller gave up on the attempt by itself (often a busy radio, or the device's advertising
        // gap): a new attempt usually succeeds. The backend's limit still bounds them all, by cancelling.
        ++rt->second.connectRetries;
        NSLog("BlueZ radio: connecting %@ failed (%@), trying again (%@ of %@)", address, error->description,
              std::to_string(rt->second.connectRetries), std::to_string(kConnectRetries));
        startConnect(address);
        return;
    }
    rt->second.connectRetries = 0;
    if (error && isTimeout(*error)) {
        // bluetoothd goes on trying after our call timed out: make it stop.
        disconnectDevice(address, nullptr);
    }
    bool waited = false;
    for (auto& [id, central] : centrals_) {
        const auto link = central.links.find(address);
        if (link == central.links.end() || link->second.phase != Phase::Connecting) {
            continue;
        }
        waited = true;
        if (!error) {
            link->second.phase = Phase::Connected;
            central.outbox->setConnected(address, true);
            central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioConnected(address); });
        } else {
            central.links.erase(link);
            central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioConnectFailed(address, *error); });
        }
    }
    trace_("link {}: {}", address, error ? "not connected" : "connected");
    if (!error) {
        if (!waited && !anyLink(address)) {
            disconnectDevice(address, nullptr);  // everyone who asked gave up meanwhile
        } else {
            ensureResolved(address);
        }
    }
}

// Connected turned true while a connect waited on another program's attempt.
void Core::linkCameUp(const std::string& address) {
    const auto rt = runtime_.find(address);
    if (rt != runtime_.end() && rt->second.awaitingOther) {
        rt->second.awaitingOther = false;
        connectAnswered(address, rt->second.connectCall, nullptr);
    }
}

void Core::disconnectDevice(const std::string& address, DisconnectDone done) {
    const auto it = byAddress_.find(address);
    if (it == byAddress_.end()) {
        if (done) {
            done(*this, nullptr);
        }
        return;
    }
    runtime_[address].disconnecting = true;
    const uint64_t generation = generation_;
    callBluez(it->second, kDeviceInterface, "Disconnect", {}, kDisconnectTimeout,
              [address, generation, done](Core& core, BusMessage*, const NSError* error) REQUIRES(core.mutex_) {
                  if (generation != core.generation_) {
                      return;
                  }
                  // bluetoothd answers once the link is down, just before Connected=false; without a link it is
                  // down already.
                  const DeviceObject* device = core.deviceByAddress(address);
                  if (!device || !device->connected) {
                      core.linkGone(address);
                  }
                  if (done) {
                      done(core, error);
                  }
              });
}

// bluetoothd's link to the device is down: a connect that waited for it goes now.
void Core::linkGone(const std::string& address) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return;
    }
    rt->second.disconnecting = false;
    if (!rt->second.connectWhenDown) {
        return;
    }
    rt->second.connectWhenDown = false;
    for (const auto& [id, central] : centrals_) {
        const auto link = central.links.find(address);
        if (link != central.links.end() && link->second.phase == Phase::Connecting) {
            if (!rt->second.connectInFlight) {
                startConnect(address);
            }
            return;
        }
    }
}

// Connected went false: every central's link to the device ends; a disconnection asked for is no error. A link
// lost while the adapter is being switched off ends silently, as the state change says it all; bluetoothd signals
// those losses before Powered=false, and a switch-off that does not go through it (rfkill) may not announce itself
// at all, so a loss is told only once it has not turned out to be part of a switch-off.
void Core::linkDown(const std::string& address) {
    trace_("link {}: down", address);
    const bool switchingOff = adapterSwitchingOff();
    for (auto& [id, central] : centrals_) {
        const auto link = central.links.find(address);
        if (link == central.links.end() || link->second.phase == Phase::Connecting) {
            continue;  // a pending Connect is answered by its reply
        }
        if (link->second.phase == Phase::Disconnecting) {
            finishLink(id, address, nullptr, lostError("The link was lost."));
        } else if (switchingOff) {
            finishLink(id, address, nullptr, lostError("The Bluetooth adapter was switched off."), true);
        } else {
            lossesPending_.emplace(std::make_pair(id, address), linkLossError());
        }
    }
    if (!lossesPending_.empty() && !lossTimer_) {
        lossTimer_ = loop_.after(kSwitchOffGrace, [](Core& core) REQUIRES(core.mutex_) { core.reportLosses(); });
    }
    const auto rt = runtime_.find(address);
    if (rt != runtime_.end()) {
        rt->second.ready = false;
        rt->second.mtu = kDefaultMtu;
        rt->second.writes.clear();  // bluetoothd drops what the link had under way
    }
    forgetMtu(address);
    linkGone(address);
}

// A central's link ends: its subscriptions end (as the platform's do on disconnection), its requests are
// answered with `abandoned`, and unless `silent` it hears radioDisconnected(error).
void Core::finishLink(uint64_t id, const std::string& address, const NSError* error, const NSError& abandoned,
                      bool silent) {
    const auto c = centrals_.find(id);
    if (c == centrals_.end()) {
        return;
    }
    endSubscriptions(id, address);
    failRequests([&](const Request& r) { return r.central == id && r.address == address; }, abandoned);
    c->second.links.erase(address);
    c->second.outbox->setConnected(address, false);
    if (!silent) {
        c->second.outbox->event([&](radio::RadioCentralEvents& l) { l.radioDisconnected(address, error); });
    }
}

// The links lost a moment ago, not part of a switch-off after all: each central hears of its loss.
void Core::reportLosses() {
    lossTimer_ = 0;
    const auto losses = std::move(lossesPending_);
    lossesPending_.clear();
    const bool switchingOff = adapterSwitchingOff();
    for (const auto& [key, why] : losses) {
        const auto& [id, address] = key;
        const Link* link = findLink(id, address);
        if (link && link->phase == Phase::Connected) {
            finishLink(id, address, switchingOff ? nullptr : &why, lostError("The link was lost."), switchingOff);
        }
    }
    const auto forgotten = std::move(forgetAfterLoss_);
    forgetAfterLoss_.clear();
    for (const auto& address : forgotten) {
        deviceForgotten(address);
    }
}

bool Core::adapterSwitchingOff() const {
    const auto it = adapters_.find(adapter_);
    if (it == adapters_.end()) {
        return false;
    }
    const std::string& state = it->second.powerState;
    return !it->second.powered || state == "on-disabling" || state == "off" || state == "off-blocked";
}

}  // namespace platform::bluez
