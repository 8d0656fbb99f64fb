// Discovery: each client's session and filter, the filters merged as bluetoothd merges them, the radio's scan
// kept while any client discovers, and what a sighting reports on the device's object.

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "SimulatorInternal.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;

namespace {

// bluetoothd re-signals RSSI without a discovery filter only when it moved this much.
constexpr int kRssiDelta = 8;

}  // namespace

// The next request of this kind meets the adapter's fault, if the world gives one still to come.
bool Impl::takeFault(const std::string& request, platform::sim::Fault& kind) {
    auto it = faults.find(request);
    if (it == faults.end()) {
        return false;
    }
    kind = it->second.kind;
    if (it->second.times && --*it->second.times == 0) {
        faults.erase(it);
    }
    return true;
}

void Impl::startDiscovery(sdbus::MethodCall& call) {
    if (!powered) {
        return replyError(call, notReady());
    }
    const std::string client = call.getSender();
    Session& session = sessions[client];
    if (session.discovering) {
        return replyError(call, busy());
    }
    session.discovering = true;
    remerge();
    if (!scanning) {
        platform::sim::Fault fault{};
        if (takeFault("start_discovery", fault)) {
            // The controller refused to start: the session is dropped, a filter it set stays for its next try.
            if (session.filter) {
                session.discovering = false;
            } else {
                sessions.erase(client);
            }
            remerge();
            return replyError(call, busy());
        }
        central->startScan(std::nullopt, true);
        scanning = true;
    }
    replyOk(call);
    if (!discovering) {
        discovering = true;
        adapter->set(kAdapter, "Discovering", true);
    }
}

void Impl::stopDiscovery(sdbus::MethodCall& call) {
    if (!powered) {
        return replyError(call, notReady());
    }
    auto it = sessions.find(call.getSender());
    if (it == sessions.end() || !it->second.discovering) {
        return replyError(call, failed("No discovery started"));
    }
    endSession(it);
    replyOk(call);
    stopScanIfUnused();
}

// A client's discovery ends; its filter stays for its next discovery.
void Impl::endSession(std::map<std::string, Session>::iterator it) {
    it->second.discovering = false;
    if (!it->second.filter) {
        sessions.erase(it);
    }
    remerge();
}

void Impl::stopScanIfUnused() {
    for (const auto& [client, session] : sessions) {
        if (session.discovering) {
            return;
        }
    }
    if (scanning) {
        central->stopScan();
        scanning = false;
    }
    discoveryStopped();
}

// Discovery is over: Discovering turns false, sightings are forgotten, and the temporary devices nobody can
// connect to go.
void Impl::discoveryStopped() {
    if (discovering) {
        discovering = false;
        adapter->set(kAdapter, "Discovering", false);
    }
    std::vector<Device*> gone;
    for (auto& [key, device] : devices) {
        forgetSighting(*device);
        if (device->temporary && !device->connectable && device->link == Link::Idle) {
            gone.push_back(device.get());
        }
    }
    for (Device* d : gone) {
        removeDevice(*d, false);
    }
}

// RSSI and TX power exist only while the device is seen in a discovery.
void Impl::forgetSighting(Device& d) {
    d.rssi.reset();
    d.tx_power.reset();
    d.node->unset(kDevice, "RSSI");
    d.node->unset(kDevice, "TxPower");
}

void Impl::setDiscoveryFilter(sdbus::MethodCall& call) {
    Options options;
    call >> options;
    if (!powered) {
        return replyError(call, notReady());
    }
    platform::sim::Fault fault{};
    if (takeFault("set_discovery_filter", fault)) {
        if (fault == platform::sim::Fault::Silent) {
            return;  // a bluetoothd that never answers
        }
        // The one refusal of a valid filter bluetoothd has: a kernel too old for filtered discovery.
        return replyError(call, notSupported());
    }
    Filter filter;
    try {
        for (const auto& [key, value] : options) {
            const std::string type = value.peekValueType();
            if (key == "UUIDs" && type == "as") {
                for (const std::string& text : value.get<std::vector<std::string>>()) {
                    filter.uuids.push_back(CBUUID::UUIDWithString(text));
                }
            } else if (key == "RSSI" && type == "n") {
                const int rssi = value.get<int16_t>();
                if (rssi < -127 || rssi > 20) {
                    return replyError(call, invalidArguments());
                }
                filter.rssi = rssi;
            } else if (key == "Pathloss" && type == "q") {
                const int pathloss = value.get<uint16_t>();
                if (pathloss > 137) {
                    return replyError(call, invalidArguments());
                }
                filter.pathloss = pathloss;
            } else if (key == "Transport" && type == "s") {
                const std::string transport = value.get<std::string>();
                if (transport != "auto" && transport != "bredr" && transport != "le") {
                    return replyError(call, invalidArguments());
                }
            } else if (key == "DuplicateData" && type == "b") {
                filter.duplicates = value.get<bool>();
            } else if (key == "Discoverable" && type == "b") {
                // Taken; the simulated adapter is never made discoverable by it.
            } else if (key == "Pattern" && type == "s") {
                filter.pattern = value.get<std::string>();
            } else {
                return replyError(call, invalidArguments());
            }
        }
    } catch (const platform::NSException&) {
        return replyError(call, invalidArguments());
    }
    if (filter.rssi && filter.pathloss) {
        return replyError(call, invalidArguments());
    }
    const std::string client = call.getSender();
    auto it = sessions.find(client);
    // Any entry makes a filter, even one that asks for nothing ({"Transport": "auto"}); only {} clears it.
    if (!options.empty()) {
        sessions[client].filter = std::move(filter);
    } else if (it != sessions.end()) {
        it->second.filter.reset();
        if (!it->second.discovering) {
            sessions.erase(it);
        }
    }
    remerge();
    replyOk(call);
}

void Impl::remerge() {
    Merged m;
    std::vector<const Filter*> filters;
    bool unfiltered = false;
    for (const auto& [client, session] : sessions) {
        if (session.discovering) {
            if (session.filter) {
                filters.push_back(&*session.filter);
            } else {
                unfiltered = true;
            }
        }
    }
    // One client with a filter makes the discovery a filtered one, beside clients without.
    m.filtered = !filters.empty();
    const auto every = [&filters](auto test) { return std::all_of(filters.begin(), filters.end(), test); };
    for (const Filter* f : filters) {
        m.duplicates = m.duplicates || f->duplicates;
    }
    if (m.filtered && !unfiltered) {
        // A client without a filter, or a filter without UUIDs, takes every device.
        m.all_uuids = !every([](const Filter* f) { return !f->uuids.empty(); });
        if (!m.all_uuids) {
            for (const Filter* f : filters) {
                m.uuids.insert(m.uuids.end(), f->uuids.begin(), f->uuids.end());
            }
        }
        if (every([](const Filter* f) { return f->rssi.has_value(); })) {
            for (const Filter* f : filters) {
                m.rssi = m.rssi ? std::min(*m.rssi, *f->rssi) : *f->rssi;
            }
        }
        if (every([](const Filter* f) { return f->pathloss.has_value(); })) {
            for (const Filter* f : filters) {
                m.pathloss = m.pathloss ? std::max(*m.pathloss, *f->pathloss) : *f->pathloss;
            }
        }
        if (every([](const Filter* f) { return !f->pattern.empty(); })) {
            for (const Filter* f : filters) {
                m.patterns.push_back(f->pattern);
            }
        }
    }
    merged = std::move(m);
}

bool Impl::matches(const AdvertisementReport& r, const std::string& address) const {
    if (!merged.all_uuids) {
        bool hit = false;
        const auto wanted = [this](const CBUUID& u) {
            return std::find(merged.uuids.begin(), merged.uuids.end(), u) != merged.uuids.end();
        };
        // Only the advertised UUID lists count, not the UUIDs of service data.
        if (r.advertisement.serviceUUIDs) {
            for (const CBUUID& u : *r.advertisement.serviceUUIDs) {
                hit = hit || wanted(u);
            }
        }
        if (!hit) {
            return false;
        }
    }
    if (merged.rssi && r.rssi < *merged.rssi) {
        return false;
    }
    if (merged.pathloss) {
        if (!r.advertisement.txPowerLevel || *r.advertisement.txPowerLevel - r.rssi > *merged.pathloss) {
            return false;
        }
    }
    if (!merged.patterns.empty()) {
        bool hit = false;
        for (const std::string& p : merged.patterns) {
            hit = hit || address.compare(0, p.size(), p) == 0 || (r.name && r.name->compare(0, p.size(), p) == 0);
        }
        if (!hit) {
            return false;
        }
    }
    return true;
}

void Impl::onDiscovered(const AdvertisementReport& r) {
    if (!scanning || !adapter) {
        return;
    }
    // A device out of this adapter's range.
    if (setup.heard && setup.heard->count(r.device) == 0) {
        return;
    }
    Device* d = find(r.device);
    const bool created = d == nullptr;
    if (created && (d = createDevice(r)) == nullptr) {
        return;
    }
    seen(*d);
    d->connectable = r.advertisement.isConnectable.value_or(true);
    // A device that does not match the filters is still made, but bare.
    if (matches(r, d->address)) {
        applyReport(*d, r);
    }
    if (created) {
        tree.add(*d->node);
    }
}

void Impl::applyReport(Device& d, const AdvertisementReport& r) {
    ObjectNode& n = *d.node;
    if (r.name && d.name != r.name) {
        d.name = r.name;
        n.set(kDevice, "Name", *r.name);
        if (!d.alias) {
            n.set(kDevice, "Alias", *r.name);
        }
    }
    if (!d.rssi || merged.filtered || std::abs(*d.rssi - r.rssi) >= kRssiDelta) {
        d.rssi = r.rssi;
        n.set(kDevice, "RSSI", static_cast<int16_t>(r.rssi));
    }
    const auto& ad = r.advertisement;
    if (ad.txPowerLevel && d.tx_power != ad.txPowerLevel) {
        d.tx_power = ad.txPowerLevel;
        n.set(kDevice, "TxPower", static_cast<int16_t>(*ad.txPowerLevel));
    }
    if (ad.manufacturerData && ad.manufacturerData->size() >= 2) {
        // Every company's entry of the report (the world's radio lists them when there are several).
        const std::vector<std::string> entries =
            ad.manufacturerDataEntries ? *ad.manufacturerDataEntries : std::vector<std::string>{*ad.manufacturerData};
        // With duplicates asked for, each report replaces the data and is signalled; else only changes are.
        bool change = merged.duplicates;
        if (merged.duplicates) {
            d.manufacturer_data.clear();
        }
        for (const std::string& m : entries) {
            if (m.size() < 2) {
                continue;
            }
            const auto company = static_cast<uint16_t>(static_cast<uint8_t>(m[0]) | (static_cast<uint8_t>(m[1]) << 8));
            Bytes payload(m.begin() + 2, m.end());
            auto it = d.manufacturer_data.find(company);
            if (it == d.manufacturer_data.end() || it->second != payload) {
                d.manufacturer_data[company] = std::move(payload);
                change = true;
            }
        }
        if (change) {
            std::map<uint16_t, sdbus::Variant> dict;
            for (const auto& [id, bytes] : d.manufacturer_data) {
                dict.emplace(id, sdbus::Variant(bytes));
            }
            n.set(kDevice, "ManufacturerData", dict);
        }
    }
    if (ad.serviceData && !ad.serviceData->empty()) {
        bool change = merged.duplicates;
        if (merged.duplicates) {
            d.service_data.clear();
        }
        for (const auto& [uuid, data] : *ad.serviceData) {
            Bytes bytes = bytesOf(data);
            Bytes& slot = d.service_data[uuidText(uuid)];
            change = change || slot != bytes;
            slot = std::move(bytes);
        }
        if (change) {
            std::map<std::string, sdbus::Variant> dict;
            for (const auto& [uuid, bytes] : d.service_data) {
                dict.emplace(uuid, sdbus::Variant(bytes));
            }
            n.set(kDevice, "ServiceData", dict);
        }
    }
    if (!d.resolved_once && ad.serviceUUIDs) {
        bool change = false;
        for (const CBUUID& u : *ad.serviceUUIDs) {
            const std::string text = uuidText(u);
            if (std::find(d.uuids.begin(), d.uuids.end(), text) == d.uuids.end()) {
                d.uuids.push_back(text);
                change = true;
            }
        }
        if (change) {
            n.set(kDevice, "UUIDs", d.uuids);
        }
    }
}

}  // namespace bluezsim
