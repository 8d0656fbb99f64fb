// The GATT tree: the device's attribute table discovered once per connection, and the service,
// characteristic and descriptor objects built from it (rebuilt only when the table changed).

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SimulatorInternal.h"

namespace bluezsim {

using Impl = BluezSimulator::Impl;

namespace {

std::string handleName(const char* kind, AttributeHandle handle) {
    char text[32];
    std::snprintf(text, sizeof text, "/%s%04x", kind, static_cast<unsigned>(handle));
    return text;
}

std::vector<std::string> flagsOf(platform::CBCharacteristicProperties properties) {
    static const std::pair<platform::CBCharacteristicProperties, const char*> names[] = {
        {platform::CBCharacteristicPropertyBroadcast, "broadcast"},
        {platform::CBCharacteristicPropertyRead, "read"},
        {platform::CBCharacteristicPropertyWriteWithoutResponse, "write-without-response"},
        {platform::CBCharacteristicPropertyWrite, "write"},
        {platform::CBCharacteristicPropertyNotify, "notify"},
        {platform::CBCharacteristicPropertyIndicate, "indicate"},
        {platform::CBCharacteristicPropertyAuthenticatedSignedWrites, "authenticated-signed-writes"},
        {platform::CBCharacteristicPropertyExtendedProperties, "extended-properties"}};
    std::vector<std::string> out;
    for (const auto& [bit, name] : names) {
        if ((properties & bit) != 0) {
            out.emplace_back(name);
        }
    }
    return out;
}

// Services a bluetoothd plugin claims are not exported: GAP, HID and Scan Parameters.
bool claimedByPlugin(const CBUUID& uuid) {
    static const CBUUID claimed[] = {CBUUID::UUIDWithString("1800"), CBUUID::UUIDWithString("1812"),
                                     CBUUID::UUIDWithString("1813")};
    return std::find(std::begin(claimed), std::end(claimed), uuid) != std::end(claimed);
}

}  // namespace

// Discovery goes through the link's ATT queue, one request after the other.
void Impl::resolveServices(Device& d) {
    d.discovery = std::make_unique<Discovery>();
    d.discovery->id = ++next_id;
    const uint64_t id = d.discovery->id;
    attEnqueue(d, [this, key = d.key, epoch = d.epoch, id](uint64_t token) {
        Device* dev = nullptr;
        if (discoveryOf(key, id, dev) == nullptr) {
            return false;
        }
        central->discoverServices(
            key, [this, key, epoch, id, token](const NSError* error, const std::vector<ServiceInfo>& services) {
                loop.post([this, key, epoch, id, token, error = copyError(error), services] {
                    onAttAnswer(key, epoch, token, [&](Device&) { onServices(key, id, error, services); });
                });
            });
        return true;
    });
}

Impl::Discovery* Impl::discoveryOf(const std::string& key, uint64_t id, Device*& d) {
    d = find(key);
    if (d == nullptr || !d->discovery || d->discovery->id != id) {
        return nullptr;
    }
    return d->discovery.get();
}

void Impl::onServices(const std::string& key, uint64_t id, const std::optional<NSError>& error,
                      const std::vector<ServiceInfo>& services) {
    Device* d = nullptr;
    Discovery* disc = discoveryOf(key, id, d);
    if (disc == nullptr) {
        return;
    }
    if (error) {
        return finishDiscovery(*d, false);
    }
    disc->services = services;
    disc->outstanding = services.size();
    if (services.empty()) {
        return finishDiscovery(*d, true);
    }
    for (const ServiceInfo& s : services) {
        attEnqueue(*d, [this, key, epoch = d->epoch, id, handle = s.handle](uint64_t token) {
            Device* dev = nullptr;
            if (discoveryOf(key, id, dev) == nullptr) {
                return false;
            }
            central->discoverCharacteristics(
                key, handle,
                [this, key, epoch, id, handle, token](const NSError* e, const std::vector<CharacteristicInfo>& list) {
                    loop.post([this, key, epoch, id, handle, token, e = copyError(e), list] {
                        onAttAnswer(key, epoch, token, [&](Device&) { onCharacteristics(key, id, handle, e, list); });
                    });
                });
            return true;
        });
    }
}

void Impl::onCharacteristics(const std::string& key, uint64_t id, AttributeHandle service,
                             const std::optional<NSError>& error, const std::vector<CharacteristicInfo>& list) {
    Device* d = nullptr;
    Discovery* disc = discoveryOf(key, id, d);
    if (disc == nullptr) {
        return;
    }
    if (error) {
        return finishDiscovery(*d, false);
    }
    disc->characteristics[service] = list;
    disc->outstanding += list.size();
    for (const CharacteristicInfo& c : list) {
        attEnqueue(*d, [this, key, epoch = d->epoch, id, handle = c.handle](uint64_t token) {
            Device* dev = nullptr;
            if (discoveryOf(key, id, dev) == nullptr) {
                return false;
            }
            central->discoverDescriptors(
                key, handle,
                [this, key, epoch, id, handle, token](const NSError* e, const std::vector<DescriptorInfo>& descs) {
                    loop.post([this, key, epoch, id, handle, token, e = copyError(e), descs] {
                        onAttAnswer(key, epoch, token, [&](Device&) { onDescriptors(key, id, handle, e, descs); });
                    });
                });
            return true;
        });
    }
    stageDone(*d);
}

void Impl::onDescriptors(const std::string& key, uint64_t id, AttributeHandle characteristic,
                         const std::optional<NSError>& error, const std::vector<DescriptorInfo>& list) {
    Device* d = nullptr;
    Discovery* disc = discoveryOf(key, id, d);
    if (disc == nullptr) {
        return;
    }
    if (error) {
        return finishDiscovery(*d, false);
    }
    disc->descriptors[characteristic] = list;
    stageDone(*d);
}

void Impl::stageDone(Device& d) {
    if (--d.discovery->outstanding == 0) {
        finishDiscovery(d, true);
    }
}

std::string Impl::signatureOf(const Discovery& disc) {
    std::string s;
    for (const ServiceInfo& svc : disc.services) {
        s += "S" + std::to_string(svc.handle) + uuidText(svc.uuid);
        auto cit = disc.characteristics.find(svc.handle);
        if (cit == disc.characteristics.end()) {
            continue;
        }
        for (const CharacteristicInfo& c : cit->second) {
            s += "C" + std::to_string(c.handle) + uuidText(c.uuid) + std::to_string(c.properties);
            auto dit = disc.descriptors.find(c.handle);
            if (dit == disc.descriptors.end()) {
                continue;
            }
            for (const DescriptorInfo& desc : dit->second) {
                s += "D" + std::to_string(desc.handle) + uuidText(desc.uuid);
            }
        }
    }
    return s;
}

// Discovery is over: on success the tree is (re)built when the table differs from the exported one. Either
// way ServicesResolved becomes true, as bluetoothd sets it after a failed discovery too.
void Impl::finishDiscovery(Device& d, bool ok) {
    std::unique_ptr<Discovery> disc = std::move(d.discovery);
    const uint16_t mtu = static_cast<uint16_t>(central->mtu(d.key));
    if (ok) {
        const std::string signature = signatureOf(*disc);
        if (signature != d.tree_signature || d.services.empty()) {
            removeTree(d);
            buildTree(d, *disc, mtu);
            d.tree_signature = signature;
        }
        std::vector<std::string> uuids;
        for (const ServiceInfo& s : disc->services) {
            const std::string text = uuidText(s.uuid);
            if (std::find(uuids.begin(), uuids.end(), text) == uuids.end()) {
                uuids.push_back(text);
            }
        }
        d.resolved_once = true;
        if (uuids != d.uuids) {
            d.uuids = uuids;
            d.node->set(kDevice, "UUIDs", d.uuids);
        }
    }
    d.services_resolved = true;
    d.node->set(kDevice, "ServicesResolved", true);
    acquiredReady(d);
}

void Impl::buildTree(Device& d, const Discovery& disc, uint16_t mtu) {
    std::vector<ServiceInfo> services = disc.services;
    std::sort(services.begin(), services.end(),
              [](const ServiceInfo& a, const ServiceInfo& b) { return a.handle < b.handle; });
    Device* dp = &d;
    for (const ServiceInfo& info : services) {
        auto service = std::make_unique<Service>();
        service->handle = info.handle;
        service->uuid = info.uuid;
        if (claimedByPlugin(info.uuid)) {
            d.services.push_back(std::move(service));
            continue;
        }
        const std::string spath = d.path + handleName("service", info.handle);
        service->node = std::make_unique<ObjectNode>(tree, spath);
        ObjectNode& sn = *service->node;
        sn.addProperty<std::string>(kService, "UUID", uuidText(info.uuid));
        sn.addProperty<sdbus::ObjectPath>(kService, "Device", sdbus::ObjectPath(d.path));
        sn.addProperty<bool>(kService, "Primary", true);
        sn.addProperty<std::vector<sdbus::ObjectPath>>(kService, "Includes", {});
        tree.add(sn);
        auto cit = disc.characteristics.find(info.handle);
        if (cit != disc.characteristics.end()) {
            for (const CharacteristicInfo& ci : cit->second) {
                auto c = std::make_unique<Characteristic>();
                Characteristic* cp = c.get();
                c->handle = ci.handle;
                c->uuid = ci.uuid;
                c->properties = ci.properties;
                const std::string cpath = spath + handleName("char", ci.handle);
                c->node = std::make_unique<ObjectNode>(tree, cpath);
                ObjectNode& cn = *c->node;
                cn.addProperty<std::string>(kCharacteristic, "UUID", uuidText(ci.uuid));
                cn.addProperty<sdbus::ObjectPath>(kCharacteristic, "Service", sdbus::ObjectPath(spath));
                cn.addProperty<Bytes>(kCharacteristic, "Value", {});
                cn.addProperty<std::vector<std::string>>(kCharacteristic, "Flags", flagsOf(ci.properties));
                if (c->subscribable()) {
                    cn.addProperty<bool>(kCharacteristic, "Notifying", false);
                }
                // AcquireNotify takes notifications only, not indications.
                if ((ci.properties & platform::CBCharacteristicPropertyNotify) != 0) {
                    cn.addProperty<bool>(kCharacteristic, "NotifyAcquired", false);
                }
                if ((ci.properties & platform::CBCharacteristicPropertyWriteWithoutResponse) != 0) {
                    cn.addProperty<bool>(kCharacteristic, "WriteAcquired", false);
                }
                cn.addOptional<uint16_t>(kCharacteristic, "MTU");
                cn.set(kCharacteristic, "MTU", mtu);
                deviceMethod(cn, dp, kCharacteristic, "ReadValue", "a{sv}", "ay",
                             [this, dp, cp](sdbus::MethodCall& call) { readValue(*dp, *cp, call, false); });
                deviceMethod(cn, dp, kCharacteristic, "WriteValue", "aya{sv}", "",
                             [this, dp, cp](sdbus::MethodCall& call) { writeCharacteristic(*dp, *cp, call); });
                deviceMethod(cn, dp, kCharacteristic, "StartNotify", "", "",
                             [this, dp, cp](sdbus::MethodCall& call) { startNotify(*dp, *cp, call); });
                deviceMethod(cn, dp, kCharacteristic, "StopNotify", "", "",
                             [this, dp, cp](sdbus::MethodCall& call) { stopNotify(*dp, *cp, call); });
                deviceMethod(cn, dp, kCharacteristic, "AcquireWrite", "a{sv}", "hq",
                             [this, dp, cp](sdbus::MethodCall& call) { acquireWrite(*dp, *cp, call); });
                deviceMethod(cn, dp, kCharacteristic, "AcquireNotify", "a{sv}", "hq",
                             [this, dp, cp](sdbus::MethodCall& call) { acquireNotify(*dp, *cp, call); });
                tree.add(cn);
                auto dit = disc.descriptors.find(ci.handle);
                if (dit != disc.descriptors.end()) {
                    for (const DescriptorInfo& di : dit->second) {
                        auto desc = std::make_unique<Descriptor>();
                        Descriptor* ddp = desc.get();
                        desc->handle = di.handle;
                        desc->uuid = di.uuid;
                        desc->cccd = di.uuid == CBUUID::UUIDWithString("2902");
                        desc->node = std::make_unique<ObjectNode>(tree, cpath + handleName("desc", di.handle));
                        ObjectNode& dn = *desc->node;
                        dn.addProperty<std::string>(kDescriptor, "UUID", uuidText(di.uuid));
                        dn.addProperty<sdbus::ObjectPath>(kDescriptor, "Characteristic", sdbus::ObjectPath(cpath));
                        dn.addProperty<Bytes>(kDescriptor, "Value", {});
                        deviceMethod(dn, dp, kDescriptor, "ReadValue", "a{sv}", "ay",
                                     [this, dp, ddp](sdbus::MethodCall& call) { readValue(*dp, *ddp, call, true); });
                        deviceMethod(dn, dp, kDescriptor, "WriteValue", "aya{sv}", "",
                                     [this, dp, ddp](sdbus::MethodCall& call) { writeDescriptor(*dp, *ddp, call); });
                        tree.add(dn);
                        d.descriptors[di.handle] = ddp;
                        c->descriptors.push_back(std::move(desc));
                    }
                }
                d.characteristics[ci.handle] = cp;
                service->characteristics.push_back(std::move(c));
            }
        }
        d.services.push_back(std::move(service));
    }
}

void Impl::unexportTree(Device& d) {
    for (auto& service : d.services) {
        for (auto& c : service->characteristics) {
            for (auto& desc : c->descriptors) {
                tree.remove(*desc->node);
            }
            tree.remove(*c->node);
        }
        if (service->node) {
            tree.remove(*service->node);
        }
    }
}

void Impl::removeTree(Device& d) {
    const sdbus::Error lost = linkLost();
    failRequests(d, &lost);
    unexportTree(d);
    d.characteristics.clear();
    d.descriptors.clear();
    d.services.clear();
    d.tree_signature.clear();
}

}  // namespace bluezsim
