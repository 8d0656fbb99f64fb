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
        findThenConnect(id, address);
        return;
    }
    // A disconnection of this central's still under way is superseded, silently, as the platform's is.
    central.links[address].phase = Phase::Connecting;
    auto& rt = runtime_[address];
    switch (rt.connect) {
        case ConnectState::Idle:
        case ConnectState::Connected:
            rt.connectRetries = 0;
            startConnect(address);
            return;
        case ConnectState::Disconnecting:
            moveTo(address, rt, ConnectState::DisconnectingThenConnect);
            return;
        case ConnectState::Finding:
        case ConnectState::Connecting:
        case ConnectState::AwaitingOther:
        case ConnectState::DisconnectingThenConnect:
            return;  // joins what is under way
    }
}

void Core::findThenConnect(uint64_t id, const std::string& address) {
    auto& central = centrals_.at(id);
    auto& rt = runtime_[address];
    if (computeState() != CBManagerState::PoweredOn ||
        (rt.connect != ConnectState::Idle && rt.connect != ConnectState::Finding)) {
        const NSError error = unknownDeviceError();
        central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioConnectFailed(address, error); });
        return;
    }
    central.links[address].phase = Phase::Connecting;
    if (rt.connect == ConnectState::Finding) {
        return;  // joins the search under way
    }
    moveTo(address, rt, ConnectState::Finding);
    rt.findTimer = loop_.after(connectTimeout(address), [address](Core& core) REQUIRES(core.mutex_) {
        const NSError error = unknownDeviceError();
        core.endFinding(address, &error);
    });
    updateDiscovery();
}

void Core::endFinding(const std::string& address, const NSError* why) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end() || rt->second.connect != ConnectState::Finding) {
        return;
    }
    loop_.cancel(rt->second.findTimer);
    rt->second.findTimer = 0;
    if (why) {
        connectSettled(address, why);
    } else {
        moveTo(address, rt->second, ConnectState::Idle);
    }
    updateDiscovery();
}

// bluetoothd has an object for the device again: a connect that waited for it goes now.
void Core::deviceSeen(const std::string& address) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end() || rt->second.connect != ConnectState::Finding) {
        return;
    }
    loop_.cancel(rt->second.findTimer);
    rt->second.findTimer = 0;
    rt->second.connectRetries = 0;
    startConnect(address);
    updateDiscovery();
}

bool Core::anyFinding() const {
    for (const auto& [address, rt] : runtime_) {
        if (rt.connect == ConnectState::Finding) {
            return true;
        }
    }
    return false;
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
            if (auto& rt = runtime_[address]; rt.connect == ConnectState::Finding) {
                endFinding(address, nullptr);
                central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioDisconnected(address, nullptr); });
                return;
            } else if (rt.connect == ConnectState::AwaitingOther ||
                       rt.connect == ConnectState::DisconnectingThenConnect) {
                // Nothing of ours is under way at bluetoothd: another program's attempt, or a link still going
                // down, is not ours to cancel.
                moveTo(address, rt,
                       rt.connect == ConnectState::AwaitingOther ? ConnectState::Idle : ConnectState::Disconnecting);
                central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioDisconnected(address, nullptr); });
                return;
            }
            // Disconnect() cancels bluetoothd's pending Connect; its late answer is stale (no longer Connecting),
            // and a connect asked for again sends a Connect of its own.
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
    if (!centrals_.count(id)) {
        return;
    }
    // A program may wait "for ever"; the bus's timeouts (in microseconds) and the loop's timers (in the clock's
    // nanoseconds) cannot count that far, and a century is as good as for ever here.
    constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365 * 100);
    limits_[{id, address}] =
        radio::LinkLimits{std::min(limits.connection, kLongest), std::min(limits.serviceDiscovery, kLongest),
                          std::min(limits.request, kLongest)};
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
    moveTo(address, rt, ConnectState::Connecting);
    const uint64_t callId = ++nextCall_;
    rt.connectCall = callId;
    callBluez(byAddress_.at(address), kDeviceInterface, "Connect", {}, connectTimeout(address),
              [address, callId](Core& core, BusMessage*, const NSError* error)
                  REQUIRES(core.mutex_) { core.connectAnswered(address, callId, error); });
}

void Core::connectAnswered(const std::string& address, uint64_t callId, const NSError* error) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end() || rt->second.connectCall != callId || rt->second.connect != ConnectState::Connecting) {
        return;  // stale: the attempt was abandoned
    }
    if (error && error->domain == "org.bluez.Error.Failed" && error->description == "Operation already in progress") {
        // Another program is connecting the device: that connection is this one's too, once Connected turns true.
        trace_("link {}: another program is connecting it", address);
        moveTo(address, rt->second, ConnectState::AwaitingOther);
        loop_.after(connectTimeout(address), [address, callId, failure = *error](Core& core) REQUIRES(core.mutex_) {
            const auto waiting = core.runtime_.find(address);
            if (waiting != core.runtime_.end() && waiting->second.connect == ConnectState::AwaitingOther &&
                waiting->second.connectCall == callId) {
                core.connectSettled(address, &failure);
            }
        });
        return;
    }
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
    connectSettled(address, error);
}

// The attempt is over, ours or the other program's: every central waiting for it hears how it went.
void Core::connectSettled(const std::string& address, const NSError* error) {
    auto& rt = runtime_[address];
    rt.connectRetries = 0;
    moveTo(address, rt, error ? ConnectState::Idle : ConnectState::Connected);
    if (!error) {
        markConnected(address);
    }
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

// bluetoothd's link to the device is up: it answered Connect() (Connected=true is signalled before the answer, when
// it is signalled at all). bluetoothd 5.66 may mark an LE link connected when the ATT socket connects, without a
// signal, and then find the kernel's connection event about a link connected already, and signal nothing either; the
// property reads true all the same. The mirror takes the answer for the signal, so that the services resolved next
// count and the link's end (Connected=false, as usual) is seen as a change.
void Core::markConnected(const std::string& address) {
    const auto path = byAddress_.find(address);
    const auto device = path == byAddress_.end() ? devices_.end() : devices_.find(path->second);
    if (device != devices_.end() && !device->second.connected) {
        trace_("link {}: up, though bluetoothd did not signal Connected", address);
        device->second.connected = true;
    }
}

// Connected turned true (or services were resolved) while a connect waited on another program's attempt.
void Core::linkCameUp(const std::string& address) {
    const auto rt = runtime_.find(address);
    if (rt != runtime_.end() && rt->second.connect == ConnectState::AwaitingOther) {
        connectSettled(address, nullptr);
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
    moveTo(address, runtime_[address], ConnectState::Disconnecting);
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
                  } else if (error) {
                      core.linkStayed(address);
                  }
                  if (done) {
                      done(core, error);
                  }
              });
}

// bluetoothd refused Disconnect() and the link is still up: it is ours again, and a connect that waited for its end
// is answered on it (Connect() on a connected device succeeds at once).
void Core::linkStayed(const std::string& address) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return;
    }
    if (rt->second.connect == ConnectState::Disconnecting) {
        moveTo(address, rt->second, ConnectState::Connected);
    } else if (rt->second.connect == ConnectState::DisconnectingThenConnect) {
        rt->second.connectRetries = 0;
        startConnect(address);
    }
}

// bluetoothd's link to the device is down: a connect that waited for it goes now.
void Core::linkGone(const std::string& address) {
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end()) {
        return;
    }
    switch (rt->second.connect) {
        case ConnectState::Connected:
        case ConnectState::Disconnecting:
            moveTo(address, rt->second, ConnectState::Idle);
            return;
        case ConnectState::DisconnectingThenConnect:
            if (anyLinkConnecting(address)) {
                rt->second.connectRetries = 0;
                startConnect(address);
            } else {
                moveTo(address, rt->second, ConnectState::Idle);
            }
            return;
        case ConnectState::Idle:
        case ConnectState::Finding:
        case ConnectState::Connecting:
        case ConnectState::AwaitingOther:
            return;  // the reply, or the backstop, settles an attempt under way
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
        rt->second.tree = TreeState::Unresolved;
        rt->second.mtu = kDefaultMtu;
        rt->second.writes.clear();  // bluetoothd drops what the link had under way
        closeWriteSockets(address);
        for (auto& [handle, entry] : rt->second.notify) {
            entry.socket.reset();  // ended by bluetoothd already; the subscriptions end with the links
        }
        ++rt->second.linkEpoch;
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

const char* Core::connectStateName(ConnectState state) {
    switch (state) {
        case ConnectState::Idle:
            return "idle";
        case ConnectState::Finding:
            return "finding the device";
        case ConnectState::Connecting:
            return "connecting";
        case ConnectState::AwaitingOther:
            return "awaiting another program's attempt";
        case ConnectState::Connected:
            return "connected";
        case ConnectState::Disconnecting:
            return "disconnecting";
        case ConnectState::DisconnectingThenConnect:
            return "disconnecting, then connecting";
    }
    return "?";
}

// The arrows of the table by ConnectState, but for the dropping of a record, which is no move.
bool Core::connectArrow(ConnectState from, ConnectState to) {
    using S = ConnectState;
    switch (to) {
        case S::Finding:
            return from == S::Idle;
        case S::Connecting:
            return from == S::Idle || from == S::Connected || from == S::Connecting || from == S::Finding ||
                   from == S::DisconnectingThenConnect;
        case S::Connected:
            return from == S::Connecting || from == S::AwaitingOther || from == S::Disconnecting;
        case S::AwaitingOther:
            return from == S::Connecting;
        case S::Idle:
            return from != S::Idle;
        case S::Disconnecting:
            return true;
        case S::DisconnectingThenConnect:
            return from == S::Disconnecting;
    }
    return false;
}

void Core::moveTo(const std::string& address, DeviceRuntime& rt, ConnectState to) {
    if (!connectArrow(rt.connect, to)) {
        NSLog("BlueZ radio: %@: connect state %@ has no arrow to %@", address, connectStateName(rt.connect),
              connectStateName(to));
    }
    if (rt.connect != to) {
        trace_("link {}: {} -> {}", address, connectStateName(rt.connect), connectStateName(to));
    }
    rt.connect = to;
}

void Core::dropRuntime(const std::optional<std::string>& address) {
    for (auto it = address ? runtime_.find(*address) : runtime_.begin(); it != runtime_.end();) {
        if (it->second.connect != ConnectState::Idle) {
            trace_("link {}: {} -> idle (forgotten)", it->first, connectStateName(it->second.connect));
        }
        loop_.cancel(it->second.findTimer);
        it = runtime_.erase(it);
        if (address) {
            break;
        }
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
