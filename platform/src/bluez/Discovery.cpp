// Discovery: the arbiter's decisions, the calls the core makes for them, and what counts as a device found by a
// central's scan.

#include <algorithm>

#include "Core.h"

namespace platform::bluez {

// ---- The arbiter ----

void DiscoveryArbiter::Wish::add(const std::optional<std::vector<CBUUID>>& services, std::optional<int> rssiFloor) {
    scan = true;
    if (!rssiFloor) {
        anyStrength = true;
        rssi.reset();
    } else if (!anyStrength) {
        rssi = rssi ? std::min(*rssi, *rssiFloor) : *rssiFloor;
    }
    if (!services || services->empty()) {
        all = true;
        return;
    }
    for (const auto& uuid : *services) {
        uuids.insert(uuidToBluez(uuid));
    }
}

std::string DiscoveryArbiter::Wish::key() const {
    std::string key = rssi ? "rssi " + std::to_string(*rssi) + ":" : std::string();
    if (all) {
        return key + "*";
    }
    for (const auto& uuid : uuids) {
        key += uuid + ",";
    }
    return key;
}

PropMap DiscoveryArbiter::Wish::filter() const {
    PropMap filter;
    filter["Transport"] = sdbus::Variant(std::string("le"));
    filter["DuplicateData"] = sdbus::Variant(true);
    if (rssi) {
        filter["RSSI"] = sdbus::Variant(static_cast<int16_t>(*rssi));
    }
    if (!all) {
        filter["UUIDs"] = sdbus::Variant(std::vector<std::string>(uuids.begin(), uuids.end()));
    }
    return filter;
}

DiscoveryArbiter::Step DiscoveryArbiter::next(const Wish& wish, bool poweredOn) {
    if (busy_) {
        dirty_ = true;
        return Step::None;
    }
    dirty_ = false;
    if (!poweredOn) {
        on_ = false;
        applied_.reset();
        return Step::None;
    }
    if (!wish.scan) {
        if (!on_) {
            return Step::None;
        }
        busy_ = true;
        return Step::Stop;
    }
    if (on_ && applied_ == wish.key()) {
        return Step::None;
    }
    busy_ = true;
    return Step::SetFilter;
}

DiscoveryArbiter::Then DiscoveryArbiter::settled() {
    busy_ = false;
    return dirty_ ? Then::Update : Then::Nothing;
}

DiscoveryArbiter::Then DiscoveryArbiter::stopped(uint64_t generation) {
    if (generation != generation_) {
        return Then::Nothing;
    }
    on_ = false;
    return settled();
}

DiscoveryArbiter::Then DiscoveryArbiter::filterSet(uint64_t generation, const std::string& key, bool ok) {
    if (generation != generation_) {
        return Then::Nothing;
    }
    if (!ok) {
        busy_ = false;
        return Then::Retry;
    }
    applied_ = key;
    return on_ ? settled() : Then::Start;
}

DiscoveryArbiter::Then DiscoveryArbiter::started(uint64_t generation, bool ok) {
    if (generation != generation_) {
        return Then::Nothing;
    }
    if (!ok) {
        applied_.reset();
        busy_ = false;
        return Then::Retry;
    }
    on_ = true;
    return settled();
}

void DiscoveryArbiter::reset() {
    ++generation_;
    on_ = false;
    busy_ = false;
    applied_.reset();
}

// ---- The calls ----

void Core::updateDiscovery() {
    DiscoveryArbiter::Wish wish;
    for (const auto& [id, central] : centrals_) {
        if (central.scanning) {
            wish.add(central.services, central.rssiFloor);
        }
    }
    if (anyFinding()) {
        wish.add(std::nullopt);  // a connect waits for a device bluetoothd forgot to be seen again
    }
    const uint64_t generation = discovery_.generation();
    switch (discovery_.next(wish, computeState() == CBManagerState::PoweredOn)) {
        case DiscoveryArbiter::Step::None:
            return;
        case DiscoveryArbiter::Step::Stop:
            trace_("discovery: stopping");
            callBluez(adapter_, kAdapterInterface, "StopDiscovery", {}, kSetupTimeout,
                      [generation](Core& core, BusMessage*, const NSError*)
                          REQUIRES(core.mutex_) { core.discoveryAnswered(core.discovery_.stopped(generation)); });
            return;
        case DiscoveryArbiter::Step::SetFilter:
            trace_("discovery: filter {}", wish.key());
            callBluez(adapter_, kAdapterInterface, "SetDiscoveryFilter", {wish.filter()}, kSetupTimeout,
                      [generation, key = wish.key()](Core& core, BusMessage*, const NSError* error)
                          REQUIRES(core.mutex_) {
                              core.discoveryAnswered(core.discovery_.filterSet(generation, key, !error), error);
                          });
            return;
    }
}

void Core::discoveryAnswered(DiscoveryArbiter::Then then, const NSError* error) {
    switch (then) {
        case DiscoveryArbiter::Then::Nothing:
            return;
        case DiscoveryArbiter::Then::Update:
            updateDiscovery();
            return;
        case DiscoveryArbiter::Then::Retry:
            discoveryRefused(error ? *error : lostError("bluetoothd did not start discovery."));
            return;
        case DiscoveryArbiter::Then::Start:
            break;
    }
    const uint64_t generation = discovery_.generation();
    callBluez(adapter_, kAdapterInterface, "StartDiscovery", {}, kSetupTimeout,
              [generation](Core& core, BusMessage*, const NSError* refusal) REQUIRES(core.mutex_) {
                  // bluetoothd answers InProgress both when the controller refused to scan and when this
                  // connection's session is already starting: either way this start did not make it scan, and the
                  // session may be gone (a refused start drops it).
                  core.trace_("discovery: {}", refusal ? "refused" : "on");
                  if (!refusal) {
                      core.discoveryFailures_ = 0;
                  }
                  core.discoveryAnswered(core.discovery_.started(generation, !refusal), refusal);
              });
}

// bluetoothd refused to set the filter or to start: the scan is asked for again after 1 and 2 s while a central
// still wants it; after the third refusal the scanning centrals are told their scan ended.
void Core::discoveryRefused(const NSError& why) {
    if (discoveryFailures_ == 0) {
        NSLog("BlueZ radio: bluetoothd did not start discovery, trying again: %@", &why);
    }
    if (++discoveryFailures_ < kDiscoveryAttempts) {
        const auto delay = std::chrono::seconds(1LL << (discoveryFailures_ - 1));
        const uint64_t generation = discovery_.generation();
        loop_.after(delay, [generation](Core& core) REQUIRES(core.mutex_) {
            if (generation != core.discovery_.generation()) {
                return;  // bluetoothd or the adapter changed: discovery starts over anyway
            }
            // InProgress also means this connection's session still exists: end it, so that the start asked next
            // is a fresh one, with its filter.
            core.callBluez(core.adapter_, kAdapterInterface, "StopDiscovery", {}, kSetupTimeout,
                           [](Core&, BusMessage*, const NSError*) {});
            core.discovery_.reset();
            core.updateDiscovery();
        });
        return;
    }
    NSLog("BlueZ radio: the scan ended: bluetoothd refused to start discovery %@ times: %@",
          std::to_string(discoveryFailures_), &why);
    discoveryFailures_ = 0;
    for (auto& [id, central] : centrals_) {
        if (central.scanning) {
            central.scanning = false;
            central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioScanEnded(why); });
        }
    }
    // A connect that waited for its device to be seen again fails too: nothing will see it.
    std::vector<std::string> finding;
    for (const auto& [address, rt] : runtime_) {
        if (rt.connect == ConnectState::Finding) {
            finding.push_back(address);
        }
    }
    for (const auto& address : finding) {
        endFinding(address, &why);
    }
    updateDiscovery();
}

// ---- What counts as found ----

void Core::deviceChanged(DeviceObject& device, const DeviceChange& change) {
    if (change.rssi || change.advertisement) {
        reportAdvertisement(device, change.rssi);
    }
    if (change.connected) {
        if (device.connected) {
            linkCameUp(device.address);
        } else {
            linkDown(device.address);
        }
    }
    if (change.servicesResolved) {
        const auto rt = runtime_.find(device.address);
        if (device.servicesResolved) {
            ensureResolved(device.address);
        } else if (rt != runtime_.end()) {
            rt->second.tree = TreeState::Unresolved;
        }
    }
}

namespace {

bool matchesServices(const std::optional<std::vector<CBUUID>>& services, const DeviceObject& device) {
    if (!services || services->empty()) {
        return true;
    }
    if (!device.uuids) {
        return false;
    }
    for (const auto& uuid : device.serviceUuids) {
        if (std::find(services->begin(), services->end(), uuid) != services->end()) {
            return true;
        }
    }
    return false;
}

DeviceObject::ScanMark& scanMark(DeviceObject& device, uint64_t central) {
    for (auto& mark : device.scanMarks) {
        if (mark.central == central) {
            return mark;
        }
    }
    return device.scanMarks.emplace_back(DeviceObject::ScanMark{central, 0, 0});
}

radio::AdvertisementReport makeReport(const DeviceObject& device) {
    radio::AdvertisementReport report;
    report.device = device.address;
    report.address = device.address;
    report.name = device.name;
    report.rssi = device.rssi.value_or(0);
    auto& ad = report.advertisement;
    ad.localName = device.name;
    ad.txPowerLevel = device.txPower;
    // bluetoothd does not say; a central can only try.
    ad.isConnectable = true;
    if (device.manufacturerData && !device.manufacturerData->empty()) {
        std::vector<std::string> entries;
        for (const auto& [company, payload] : *device.manufacturerData) {
            std::string data;
            data.reserve(2 + payload.size());
            data += static_cast<char>(company & 0xFF);
            data += static_cast<char>(company >> 8);
            data += payload;
            entries.push_back(std::move(data));
        }
        ad.manufacturerData = entries.front();
        if (entries.size() > 1) {
            ad.manufacturerDataEntries = std::move(entries);
        }
    }
    if (device.serviceData && !device.serviceData->empty()) {
        std::vector<std::pair<CBUUID, std::string>> entries;
        for (const auto& [text, data] : *device.serviceData) {
            if (const auto uuid = uuidFromBluez(text)) {
                entries.emplace_back(*uuid, data);
            }
        }
        ad.serviceData = std::move(entries);
    }
    // Once bluetoothd has resolved the services, UUIDs lists them, not what the device advertises.
    if (device.uuids && !device.uuidsListServices()) {
        ad.serviceUUIDs = device.serviceUuids;
    }
    return report;
}

}  // namespace

// A device counts as found only once an RSSI was reported for it during this central's scan: remembered
// devices and bare objects from others' scans carry none. bluetoothd merges every client's filter, so each
// central's services are checked again here.
void Core::reportAdvertisement(DeviceObject& device, bool rssiReported) {
    for (auto& [id, central] : centrals_) {
        if (!central.scanning) {
            continue;
        }
        DeviceObject::ScanMark& mark = scanMark(device, id);
        if (rssiReported) {
            mark.rssiScan = central.scan;
        } else if (mark.rssiScan != central.scan) {
            continue;
        }
        if (!device.rssi || !matchesServices(central.services, device) ||
            (central.rssiFloor && *device.rssi < *central.rssiFloor)) {
            continue;
        }
        if (!central.duplicates) {
            if (mark.reportedScan == central.scan) {
                continue;
            }
            mark.reportedScan = central.scan;
        }
        // One immutable report, shared by every central that takes it, and sent again while the device reports
        // the same.
        if (!device.report) {
            device.report = std::make_shared<const radio::AdvertisementReport>(makeReport(device));
        }
        central.outbox->discovered(device.report);
        passQueued_ = true;
    }
}

// After the reports of it already queued. An object bluetoothd makes for the address later is a device never
// seen: it counts as found, and is reported, on its own, even one made while this was held back for a loss.
void Core::deviceForgotten(const std::string& address) {
    const auto indexed = byAddress_.find(address);
    if (indexed != byAddress_.end()) {
        if (const auto d = devices_.find(indexed->second); d != devices_.end()) {
            d->second.scanMarks.clear();
        }
    }
    for (auto& [id, central] : centrals_) {
        central.outbox->event([&](radio::RadioCentralEvents& l) { l.radioForgot(address); });
    }
}

// Delivers the reports and notifications of this loop pass, together per central.
void Core::flushPass() {
    passQueued_ = false;
    for (auto& [id, central] : centrals_) {
        central.outbox->flush();
    }
}

}  // namespace platform::bluez
