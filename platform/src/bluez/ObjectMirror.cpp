// The mirror of bluetoothd: whether it is on the bus, its adapters, devices and attributes as its signals and
// listings describe them, the adapter in use, and the state all of that gives the centrals.

#include <algorithm>
#include <cstring>

#include "Core.h"

namespace platform::bluez {

namespace {

const char* stateName(CBManagerState state) {
    switch (state) {
        case CBManagerState::Unknown:
            return "unknown";
        case CBManagerState::Resetting:
            return "resetting";
        case CBManagerState::Unsupported:
            return "unsupported";
        case CBManagerState::Unauthorized:
            return "unauthorized";
        case CBManagerState::PoweredOff:
            return "powered off";
        case CBManagerState::PoweredOn:
            return "powered on";
    }
    return "?";
}

}  // namespace

// ---- bluetoothd's presence ----

// Who owns org.bluez: its unique name is the only sender whose signals the radio believes.
void Core::askOwner() {
    const uint64_t generation = generation_;
    call("org.freedesktop.DBus",
         BusCall{{}, "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner", {std::string(kBluezService)}},
         kSetupTimeout, [generation](Core& core, BusMessage* reply, const NSError* error) REQUIRES(core.mutex_) {
             if (generation != core.generation_) {
                 return;
             }
             std::string owner;  // NameHasNoOwner: nobody
             if (error && error->domain != kNameHasNoOwner) {
                 core.retrySetup(&Core::askOwner, *error);  // the bus did not answer in time
                 return;
             }
             if (!error) {
                 try {
                     owner = reply->readText();
                 } catch (const std::exception&) {
                     owner.clear();
                 }
             }
             core.ownerKnown_ = true;
             core.owner_ = owner;
             core.hasOwner_ = !owner.empty();
             if (core.hasOwner_) {
                 core.loadObjects();
             } else {
                 core.refreshState();
             }
         });
}

void Core::onNameOwnerChanged(BusMessage& message) {
    const std::string name = message.readText();
    const std::string oldOwner = message.readText();
    const std::string newOwner = message.readText();
    if (name != kBluezService) {
        return;
    }
    if (!oldOwner.empty() || objectsLoaded_) {
        bluetoothdLost(lostError("bluetoothd left the bus."));
    }
    ++generation_;
    ownerKnown_ = true;
    owner_ = newOwner;
    hasOwner_ = !newOwner.empty();
    if (hasOwner_) {
        loadObjects();
    }
    refreshState();
}

// bluetoothd went away (or the bus): links are lost, its objects and sessions with them.
void Core::bluetoothdLost(const NSError& why) {
    if (objectsLoaded_ || hasOwner_) {
        awaitingReturn_ = true;
    }
    loseAllLinks(why);
    agentLost();
    bondCallsLost(why);
    ++generation_;
    discovery_.reset();
    objectsLoaded_ = false;
    loadFailed_ = false;
    accessDenied_ = false;
    hasOwner_ = false;
    owner_.clear();
    adapters_.clear();
    devices_.clear();
    attributes_.clear();
    byAddress_.clear();
    adapter_.clear();
    dropCalls();
    forgetMtu(std::nullopt);
}

// ---- Its objects ----

void Core::loadObjects() {
    const uint64_t generation = generation_;
    callBluez("/", kObjectManager, "GetManagedObjects", {}, kSetupTimeout,
              [generation](Core& core, BusMessage* reply, const NSError* error) REQUIRES(core.mutex_) {
                  if (generation != core.generation_) {
                      return;
                  }
                  std::map<sdbus::ObjectPath, InterfaceMap> objects;
                  NSError failure;
                  if (!error) {
                      try {
                          objects = reply->readObjects();
                      } catch (const std::exception& e) {
                          failure = badReplyError(e.what());
                          error = &failure;
                      }
                  }
                  if (error) {
                      if (error->domain == kAccessDenied) {
                          // The bus's policy keeps this user from bluetoothd: nothing of it can be seen.
                          core.accessDenied_ = true;
                      } else {
                          core.loadFailed_ = true;
                          core.retrySetup(&Core::loadObjects, *error);
                      }
                      core.refreshState();
                      return;
                  }
                  core.setupBackoff_.reset();
                  core.objectsLoaded_ = true;
                  core.registerAgent();
                  core.loadFailed_ = false;
                  for (const auto& [path, interfaces] : objects) {
                      core.addInterfaces(path, interfaces, false);
                  }
                  core.chooseAdapter();
                  core.refreshState();
                  core.updateDiscovery();
              });
}

// A setup call failed for a reason that may pass (bluetoothd slow to answer, a bus in trouble): asked again on the
// backoff schedule, unless bluetoothd or the bus changed meanwhile, which asks anew anyway.
void Core::retrySetup(void (Core::*ask)(), const NSError& why) {
    if (setupBackoff_.fresh()) {
        NSLog("BlueZ radio: bluetoothd could not be asked, trying again: %@", &why);
    }
    const auto delay = setupBackoff_.next();
    trace_("setup failed ({}): again in {} ms", why.description,
           std::chrono::duration_cast<std::chrono::milliseconds>(delay).count());
    const uint64_t generation = generation_;
    loop_.after(delay, [generation, ask](Core& core) REQUIRES(core.mutex_) {
        if (generation == core.generation_ && core.bus_) {
            (core.*ask)();
        }
    });
}

void Core::onObjectManagerSignal(BusMessage& message) {
    if (!objectsLoaded_) {
        return;  // the listing asked for will include it
    }
    const std::string member = message.member();
    if (member == "InterfacesAdded") {
        const std::string path = message.readPath();
        addInterfaces(path, message.readInterfaces(), true);
    } else if (member == "InterfacesRemoved") {
        const std::string path = message.readPath();
        removeInterfaces(path, message.readStrings());
    }
}

void Core::addInterfaces(const std::string& path, const InterfaceMap& interfaces, bool live) {
    if (path.compare(0, 11, "/org/bluez/") != 0) {
        return;  // only bluetoothd's own objects count
    }
    for (const auto& [interface, props] : interfaces) {
        if (interface == kAdapterInterface) {
            auto& adapter = adapters_[path];
            adapter.path = path;
            applyAdapter(adapter, props);
            if (live && adapter_.empty()) {
                chooseAdapter();
                refreshState();
                updateDiscovery();
            }
        } else if (interface == kDeviceInterface) {
            auto& device = devices_[path];
            device.path = path;
            const std::string known = device.address;
            const DeviceChange change = applyDevice(device, props, {});
            if (!known.empty() && device.address != known) {
                readdressed(device, known);
            }
            if (device.adapter.empty()) {
                device.adapter = adapterPathOf(path);
            }
            if (device.address.empty()) {
                std::string element = lastElement(path);
                if (element.rfind("dev_", 0) == 0) {
                    element = element.substr(4);
                    std::replace(element.begin(), element.end(), '_', ':');
                    device.address = element;
                }
            }
            if (device.adapter != adapter_ || device.address.empty()) {
                continue;
            }
            byAddress_[device.address] = path;
            if (live) {
                deviceChanged(device, change);
                deviceSeen(device.address);
            }
        } else if (interface == kServiceInterface || interface == kCharacteristicInterface ||
                   interface == kDescriptorInterface) {
            const AttributeKind kind = interface == kServiceInterface          ? AttributeKind::Service
                                       : interface == kCharacteristicInterface ? AttributeKind::Characteristic
                                                                               : AttributeKind::Descriptor;
            if (auto attribute = makeAttribute(path, kind, props)) {
                attributes_[path] = std::move(*attribute);
            }
        }
    }
}

void Core::removeInterfaces(const std::string& path, const std::vector<std::string>& interfaces) {
    for (const auto& interface : interfaces) {
        if (interface == kAdapterInterface) {
            adapters_.erase(path);
            if (path == adapter_) {
                adapterLost();
            }
        } else if (interface == kDeviceInterface) {
            deviceRemoved(path);
        } else if (interface == kServiceInterface || interface == kCharacteristicInterface ||
                   interface == kDescriptorInterface) {
            const auto it = attributes_.find(path);
            if (it != attributes_.end()) {
                attributeRemoved(it->second);
                attributes_.erase(it);
            }
        }
    }
}

// The device changed its attribute table (Service Changed) while connected: a subscription to a characteristic
// that went ends, said on the console rather than going quiet.
void Core::attributeRemoved(const AttributeObject& attribute) {
    if (attribute.kind != AttributeKind::Characteristic) {
        return;
    }
    const auto device = devices_.find(attribute.device);
    if (device == devices_.end()) {
        return;
    }
    const auto rt = runtime_.find(device->second.address);
    if (rt == runtime_.end()) {
        return;
    }
    const auto entry = rt->second.notify.find(attribute.handle);
    if (entry == rt->second.notify.end()) {
        return;
    }
    if (!entry->second.active.empty()) {
        NSLog("BlueZ radio: %@ removed characteristic %@ (handle %@): its notifications end", device->second.address,
              attribute.uuid, std::to_string(attribute.handle));
    }
    loop_.cancel(entry->second.startTimer);
    rt->second.notify.erase(entry);
}

// bluetoothd signals MTU on the characteristics when the link's MTU changes (an exchange after the connection):
// mtu() follows it.
void Core::mtuChanged(const AttributeObject& characteristic) {
    const auto device = devices_.find(characteristic.device);
    if (device == devices_.end() || !characteristic.mtu) {
        return;
    }
    const std::string& address = device->second.address;
    const auto rt = runtime_.find(address);
    if (rt == runtime_.end() || rt->second.tree != TreeState::Ready) {
        return;  // not known yet: resolution reads it
    }
    rt->second.mtu = std::clamp(*characteristic.mtu, kDefaultMtu, 517u);
    trace_("link {}: MTU {}", address, rt->second.mtu);
    MutexLock lock(snapshotMutex_);
    mtus_[address] = rt->second.mtu;
}

void Core::adapterLost() {
    trace_("adapter {} removed", adapter_);
    awaitingReturn_ = true;
    loseAllLinks(lostError("The Bluetooth adapter was removed."));
    ++generation_;
    discovery_.reset();
    const std::string gone = adapter_;
    for (auto it = devices_.begin(); it != devices_.end();) {
        it = it->second.adapter == gone ? devices_.erase(it) : std::next(it);
    }
    for (auto it = attributes_.begin(); it != attributes_.end();) {
        it = it->first.compare(0, gone.size() + 1, gone + "/") == 0 ? attributes_.erase(it) : std::next(it);
    }
    adapter_.clear();
    byAddress_.clear();
    chooseAdapter();
    refreshState();
    updateDiscovery();
}

void Core::deviceRemoved(const std::string& path) {
    const auto it = devices_.find(path);
    if (it == devices_.end()) {
        return;
    }
    const std::string address = it->second.address;
    const auto indexed = byAddress_.find(address);
    if (indexed != byAddress_.end() && indexed->second == path) {
        endDevice(address, lostError("The device was removed by bluetoothd."), true);
        byAddress_.erase(address);
        // Forgotten once its link is reported down: at once, or with the loss held back (endDevice).
        bool lossHeld = false;
        for (const auto& entry : lossesPending_) {
            lossHeld = lossHeld || entry.first.second == address;
        }
        if (lossHeld) {
            forgetAfterLoss_.insert(address);
        } else {
            deviceForgotten(address);
        }
    }
    for (auto a = attributes_.lower_bound(path + "/");
         a != attributes_.end() && a->first.compare(0, path.size() + 1, path + "/") == 0;) {
        a = attributes_.erase(a);
    }
    devices_.erase(it);
}

// bluetoothd learnt the device's identity address: the object stays, but its address, which names the device to
// the centrals, changes. What they knew under the old one ends: its links are reported lost, and the device is
// found again under the new one. bluetoothd's own connection stays up (it may be a pairing just finished), so a
// connect under the new address is answered at once.
void Core::readdressed(DeviceObject& device, const std::string& old) {
    trace_("device {}: address {} -> {}", device.path, old, device.address);
    const auto indexed = byAddress_.find(old);
    if (indexed != byAddress_.end() && indexed->second == device.path) {
        endDevice(old, lostError("The device's address changed."), false);
        byAddress_.erase(old);
    }
    device.scanMarks.clear();
    device.report.reset();
    if (device.adapter == adapter_ && !device.address.empty()) {
        byAddress_[device.address] = device.path;
    }
}

// The device named `address` is no more, to every central: links and connects under way end with `why`.
// A link of a device removed may be part of a switch-off (bluetoothd removes temporary devices first when it is
// asked to switch off): its loss is told as a lost link's is (linkDown).
void Core::endDevice(const std::string& address, const NSError& why, bool maySwitchOff) {
    const bool switchingOff = maySwitchOff && adapterSwitchingOff();
    for (auto& [id, central] : centrals_) {
        const auto link = central.links.find(address);
        if (link == central.links.end()) {
            continue;
        }
        if (link->second.phase == Phase::Connecting) {
            central.links.erase(link);
            central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioConnectFailed(address, why); });
        } else if (link->second.phase == Phase::Disconnecting) {
            finishLink(id, address, nullptr, why);
        } else if (switchingOff) {
            finishLink(id, address, nullptr, why, true);
        } else if (maySwitchOff) {
            lossesPending_.emplace(std::make_pair(id, address), why);
        } else {
            finishLink(id, address, &why, why);
        }
    }
    if (!lossesPending_.empty() && !lossTimer_) {
        lossTimer_ = loop_.after(kSwitchOffGrace, [](Core& core) REQUIRES(core.mutex_) { core.reportLosses(); });
    }
    dropRuntime(address);
    forgetMtu(address);
}

void Core::chooseAdapter() {
    std::string best;
    for (const auto& [path, adapter] : adapters_) {
        const std::string name = lastElement(path);
        if (!wantedAdapter_.empty()) {
            if (name == wantedAdapter_) {
                best = path;
            }
        } else if (best.empty() || naturalLess(name, lastElement(best))) {
            best = path;
        }
    }
    if (best == adapter_) {
        return;
    }
    trace_("adapter in use: {}", best.empty() ? "none" : best);
    adapter_ = best;
    byAddress_.clear();
    for (const auto& [path, device] : devices_) {
        if (device.adapter == adapter_ && !device.address.empty()) {
            byAddress_[device.address] = path;
        }
    }
    if (!adapter_.empty()) {
        awaitingReturn_ = false;
    }
}

const DeviceObject* Core::deviceByAddress(const std::string& address) const {
    const auto it = byAddress_.find(address);
    if (it == byAddress_.end()) {
        return nullptr;
    }
    const auto d = devices_.find(it->second);
    return d == devices_.end() ? nullptr : &d->second;
}

// The hottest path: every advertisement and every notification is one of these. The body is read in place, each
// known property straight into its field.
void Core::onPropertiesChanged(BusMessage& message) {
    if (!objectsLoaded_) {
        return;
    }
    const char* interface = message.readText();
    if (std::strcmp(interface, kDeviceInterface) == 0) {
        const auto it = devices_.find(message.path());
        if (it == devices_.end()) {
            return;
        }
        DeviceUpdate update = message.readDeviceUpdate();
        // The old address is kept only when it changes, which is rare: not a copy per advertisement.
        std::string known;
        const bool readdress = update.address && *update.address != it->second.address;
        if (readdress) {
            known = it->second.address;
        }
        const DeviceChange change = applyDevice(it->second, std::move(update));
        if (readdress) {
            readdressed(it->second, known);
        }
        if (it->second.adapter == adapter_) {
            deviceChanged(it->second, change);
        }
    } else if (std::strcmp(interface, kCharacteristicInterface) == 0) {
        const auto it = attributes_.find(message.path());
        if (it == attributes_.end()) {
            return;
        }
        CharacteristicUpdate update = message.readCharacteristicUpdate();
        if (update.mtu && it->second.mtu != *update.mtu) {
            it->second.mtu = *update.mtu;
            mtuChanged(it->second);
        }
        if (update.writeAcquired) {
            it->second.writeAcquired = *update.writeAcquired;
            writeAcquiredChanged(it->second, *update.writeAcquired);
        }
        if (update.notifyAcquired) {
            it->second.notifyAcquired = *update.notifyAcquired;
        }
        if (update.value) {
            valueChanged(it->second, *update.value);
        }
    } else if (std::strcmp(interface, kAdapterInterface) == 0) {
        const std::string path = message.path();
        PropMap changed;
        std::vector<std::string> invalidated;
        message.readProperties(changed, invalidated);
        const auto it = adapters_.find(path);
        if (it == adapters_.end()) {
            return;
        }
        const bool wasPowered = it->second.powered;
        applyAdapter(it->second, changed);
        if (path == adapter_) {
            if (wasPowered && !it->second.powered) {
                poweredOff();
            }
            refreshState();
            updateDiscovery();
        }
    }
}

// ---- The state it gives ----

CBManagerState Core::computeState() const {
    if (busPhase_ == BusPhase::Connecting) {
        return CBManagerState::Unknown;
    }
    if (busPhase_ == BusPhase::Failed) {
        return awaitingReturn_ ? CBManagerState::Resetting : CBManagerState::Unsupported;
    }
    if (!ownerKnown_) {
        return CBManagerState::Unknown;
    }
    if (!hasOwner_) {
        return awaitingReturn_ ? CBManagerState::Resetting : CBManagerState::Unsupported;
    }
    if (accessDenied_) {
        return CBManagerState::Unauthorized;
    }
    if (loadFailed_) {
        return CBManagerState::Resetting;  // asked again soon
    }
    if (!objectsLoaded_) {
        return awaitingReturn_ ? CBManagerState::Resetting : CBManagerState::Unknown;
    }
    const auto it = adapters_.find(adapter_);
    if (adapter_.empty() || it == adapters_.end()) {
        return awaitingReturn_ ? CBManagerState::Resetting : CBManagerState::Unsupported;
    }
    if (const auto& roles = it->second.roles) {
        const bool central = std::find(roles->begin(), roles->end(), "central") != roles->end() ||
                             std::find(roles->begin(), roles->end(), "central-peripheral") != roles->end();
        if (!central) {
            return CBManagerState::Unsupported;
        }
    }
    return it->second.powered ? CBManagerState::PoweredOn : CBManagerState::PoweredOff;
}

void Core::refreshState() {
    const CBManagerState now = computeState();
    CBManagerState before;
    {
        MutexLock lock(snapshotMutex_);
        authorization_ = accessDenied_ ? CBManagerAuthorization::Denied : CBManagerAuthorization::AllowedAlways;
        if (now == state_) {
            return;
        }
        before = state_;
        state_ = now;
    }
    trace_("state {} -> {}", stateName(before), stateName(now));
    for (auto& [id, central] : centrals_) {
        central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioStateChanged(now); });
    }
    if (before == CBManagerState::PoweredOn) {
        // Bluetooth went away: every scan ends, as the platform's do; a program scans again once it is back.
        for (auto& [id, central] : centrals_) {
            central.scanning = false;
        }
        updateDiscovery();
    }
}

// The adapter was switched off: links end without events (the state change says it all), and bluetoothd has
// dropped every discovery session.
void Core::poweredOff() {
    for (auto& [id, central] : centrals_) {
        const auto links = central.links;
        for (const auto& [address, link] : links) {
            finishLink(id, address, nullptr, lostError("The Bluetooth adapter was switched off."), true);
        }
    }
    dropRuntime(std::nullopt);
    discovery_.reset();
    forgetMtu(std::nullopt);
}

// Every link of every central is lost, with `why` (bluetoothd or the adapter went away).
void Core::loseAllLinks(const NSError& why) {
    for (auto& [id, central] : centrals_) {
        const auto links = central.links;
        for (const auto& entry : links) {
            const std::string& address = entry.first;
            const Link& link = entry.second;
            if (link.phase == Phase::Connecting) {
                central.links.erase(address);
                central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioConnectFailed(address, why); });
            } else {
                finishLink(id, address, link.phase == Phase::Disconnecting ? nullptr : &why, why);
            }
        }
    }
    dropRuntime(std::nullopt);
    forgetMtu(std::nullopt);
}

// One device's MTU, or every one's, is no longer known to other threads.
void Core::forgetMtu(const std::optional<std::string>& address) {
    MutexLock lock(snapshotMutex_);
    if (address) {
        mtus_.erase(*address);
    } else {
        mtus_.clear();
    }
}

}  // namespace platform::bluez
